#include "Kel/Type.h"

#include <map>
#include <mutex>

namespace Kel {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, TypeImpl const*, std::less<>> types;
};

// Function-local so that registration from another library's static
// initialisers finds it constructed, whatever the load order.
Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

TypeImpl::TypeImpl(std::string name, std::vector<AttributeImpl> attributes, NameFactory nameFactory,
                   ArgsFactory argsFactory)
    : name_(std::move(name)),
      attributes_(std::move(attributes)),
      nameFactory_(nameFactory),
      argsFactory_(argsFactory) {}

std::optional<AttrId> TypeImpl::attrId(std::string_view name) const {
    for (AttrId id = 0; id < attributes_.size(); ++id) {
        if (attributes_[id].name == name) {
            return id;
        }
    }
    return std::nullopt;
}

int TypeImpl::genericIfAttributeOp(PtrInterface& self, AttrId id, AttrOp op, Value& io,
                                   ArgList const& args) const {
    if (self.fwkType() != this) {
        TypeImpl const* actual = self.fwkType();
        throwRangeException(
            (actual != nullptr ? actual->name() : std::string("an untyped object")) + " is not a " +
            name_);
    }
    if (id >= attributes_.size()) {
        return kAttrOpNoSuchAttribute;
    }
    return attributes_[id].op(self, op, io, args);
}

int TypeImpl::genericIfAttributeOp(PtrInterface& self, std::string_view name, AttrOp op, Value& io,
                                   ArgList const& args) const {
    auto id = attrId(name);
    return id ? genericIfAttributeOp(self, *id, op, io, args) : kAttrOpNoSuchAttribute;
}

Ptr<PtrInterface> TypeImpl::genericIfConstructFromCtorArgs(ArgList const& args) const {
    if (argsFactory_ == nullptr) {
        throw UnknownTypeException("type " + name_ + " cannot be constructed from arguments");
    }
    return argsFactory_(args);
}

Ptr<Entity> TypeImpl::newEntity(Vosk::String const& name, ArgList const& ctorArgs) const {
    if (!ctorArgs.empty()) {
        throwNewEntityArgsException(name_);
    }
    if (nameFactory_ == nullptr) {
        throw UnknownTypeException("type " + name_ + " cannot be created by name");
    }
    return nameFactory_(name);
}

void kelModuleIs(Module const& module) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (TypeImpl const* type : module.types) {
        r.types[type->name()] = type;
    }
}

TypeImpl const* typeImpl(std::string_view typeName) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.types.find(typeName);
    return it == r.types.end() ? nullptr : it->second;
}

Ptr<Entity> newEntity(std::string_view typeName, Vosk::String const& name,
                      ArgList const& ctorArgs) {
    TypeImpl const* type = typeImpl(typeName);
    if (type == nullptr) {
        throw UnknownTypeException("no registered type " + std::string(typeName));
    }
    return type->newEntity(name, ctorArgs);
}

}  // namespace Kel
