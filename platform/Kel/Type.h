#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "Kel/Entity.h"
#include "Kel/Error.h"

namespace Kel {

// Values and arguments of reflective access. An entity travels as a counted
// reference to PtrInterface, const when the attribute holds it const; other
// values travel as themselves.
using Value = std::any;
using ArgList = std::vector<std::any>;

// Operations of genericIfAttributeOp.
enum class AttrOp : int { read = 0, write = 1, del = 2, invoke = 10 };

// Results of genericIfAttributeOp.
inline constexpr int kAttrOpOk = 0;
inline constexpr int kAttrOpNotSupported = 1;
inline constexpr int kAttrOpNoSuchAttribute = 2;

// An attribute identity is its position in the type's declaration order.
using AttrId = std::uint32_t;

struct AttributeImpl {
    using OpFn = std::function<int(PtrInterface& self, AttrOp op, Value& io, ArgList const& args)>;
    std::string name;
    OpFn op;
};

// The type record of a class: its name, its attributes in declaration order,
// and how to create an instance by name (the directory factory) or from an
// argument vector (through the class's `Is` factory).
class TypeImpl {
  public:
    using NameFactory = Ptr<Entity> (*)(Vosk::String const& name);
    using ArgsFactory = Ptr<PtrInterface> (*)(ArgList const& args);

    TypeImpl(std::string name, std::vector<AttributeImpl> attributes,
             NameFactory nameFactory = nullptr, ArgsFactory argsFactory = nullptr);

    std::string const& name() const { return name_; }
    std::size_t attributeCount() const { return attributes_.size(); }
    std::string const& attributeName(AttrId id) const { return attributes_.at(id).name; }
    std::optional<AttrId> attrId(std::string_view name) const;

    // 0 when done, 1 when the attribute does not allow `op`, 2 when the type
    // has no attribute `id`. Throws RangeException when `self` is not an
    // instance of this type: the attributes' operations rely on it.
    int genericIfAttributeOp(PtrInterface& self, AttrId id, AttrOp op, Value& io,
                             ArgList const& args = {}) const;
    int genericIfAttributeOp(PtrInterface& self, std::string_view name, AttrOp op, Value& io,
                             ArgList const& args = {}) const;

    // Throws UnknownTypeException when the type has no such factory, and
    // whatever the factory raises for arguments it cannot take.
    Ptr<PtrInterface> genericIfConstructFromCtorArgs(ArgList const& args) const;
    // The directory factory: a new entity from a name alone, notifications on.
    // Any constructor argument is refused with NewEntityArgsException.
    Ptr<Entity> newEntity(Vosk::String const& name, ArgList const& ctorArgs = {}) const;

  private:
    std::string name_;
    std::vector<AttributeImpl> attributes_;
    NameFactory nameFactory_;
    ArgsFactory argsFactory_;
};

// What one source unit registers when its library is loaded.
struct Module {
    std::string name;
    std::vector<TypeImpl const*> types;
};

// Registers a module's types, replacing any registered under the same name.
void kelModuleIs(Module const& module);

// A source unit's load-time registration: one namespace-scope constant per
// unit, whose construction registers the unit's module.
struct ModuleRegistration {
    explicit ModuleRegistration(Module const& module) { kelModuleIs(module); }
};

// The directory factory of a type: built from the name when the type takes
// one, else default-constructed.
template <class T>
Ptr<Entity> createByName(Vosk::String const& name) {
    if constexpr (std::is_constructible_v<T, Vosk::String>) {
        return Ptr<Entity>(new T(name));
    } else {
        return Ptr<Entity>(new T());
    }
}
// Null when no loaded module declares the type.
TypeImpl const* typeImpl(std::string_view typeName);
// Creates an entity by type name; UnknownTypeException for an unknown type.
Ptr<Entity> newEntity(std::string_view typeName, Vosk::String const& name,
                      ArgList const& ctorArgs = {});

// The type record of a class that offers no reflective attributes, made on
// first use: the class's fwkType() answers it.
template <class T>
TypeImpl const* plainType(char const* name) {
    static TypeImpl const type(name, {});
    return &type;
}

template <class T>
struct IsPtr : std::false_type {};
template <class T>
struct IsPtr<Ptr<T>> : std::true_type {};

// How a value travels through reflective access. Entity references travel
// as Ptr<PtrInterface> (or Ptr<PtrInterface const>), whatever their declared
// type, so that a caller that does not know a plug-in's own classes can still
// walk its attributes; fromValue casts them back, refusing a reference of
// another type and a writable one from a read-only reference.
template <class V>
Value toValue(V const& value) {
    if constexpr (IsPtr<V>::value) {
        using Entry = std::conditional_t<std::is_const_v<typename V::element_type>,
                                         PtrInterface const, PtrInterface>;
        return Ptr<Entry>(value.get());
    } else {
        return value;
    }
}

template <class T, class Raw>
Ptr<T> typedPtr(Raw* raw) {
    if (raw == nullptr) {
        return nullptr;
    }
    auto* typed = dynamic_cast<T*>(raw);
    if (typed == nullptr) {
        throwRangeException("entity reference of the wrong type");
    }
    return Ptr<T>(typed);
}

// Throws RangeException when `value` does not hold a V.
template <class V>
V fromValue(Value const& value) {
    if constexpr (IsPtr<V>::value) {
        using T = typename V::element_type;
        if (auto const* p = std::any_cast<Ptr<PtrInterface>>(&value)) {
            return typedPtr<T>(p->get());
        }
        if (auto const* p = std::any_cast<Ptr<PtrInterface const>>(&value)) {
            if constexpr (std::is_const_v<T>) {
                return typedPtr<T>(p->get());
            } else {
                throwRangeException("entity reference is read-only");
            }
        }
        throwRangeException("value is not an entity reference");
    } else {
        auto const* p = std::any_cast<V>(&value);
        if (p == nullptr) {
            throwRangeException("value has the wrong type");
        }
        return *p;
    }
}

// Argument `index` of a reflective call; a missing or mistyped one is a
// RangeException naming the position.
template <class T>
T argAt(ArgList const& args, std::size_t index) {
    if (index >= args.size()) {
        throwRangeException("argument " + std::to_string(index) + " missing");
    }
    try {
        return fromValue<T>(args[index]);
    } catch (RangeException const& e) {
        throwRangeException("argument " + std::to_string(index) + ": " + e.what());
    }
}

// ---- Building attribute tables ---------------------------------------------
// Each builder returns an AttributeImpl whose operation answers 1 for every
// operation it does not name. Accessors are anything std::invoke takes with
// the object first: a lambda, or a pointer to a member function.

// Operation 0 only: `get(self)` stored in the result.
template <class C, class Get>
AttributeImpl attrRead(std::string name, Get get) {
    return {std::move(name), [get](PtrInterface& self, AttrOp op, Value& io, ArgList const&) {
                if (op != AttrOp::read) {
                    return kAttrOpNotSupported;
                }
                io = toValue(std::invoke(get, static_cast<C&>(self)));
                return kAttrOpOk;
            }};
}

// Operations 0 and 1: read, and replace with the value passed in `io`.
template <class C, class Get, class Set>
AttributeImpl attrReadWrite(std::string name, Get get, Set set) {
    using V = std::decay_t<std::invoke_result_t<Get, C&>>;
    return {std::move(name), [get, set](PtrInterface& self, AttrOp op, Value& io, ArgList const&) {
                C& c = static_cast<C&>(self);
                if (op == AttrOp::read) {
                    io = toValue(std::invoke(get, c));
                    return kAttrOpOk;
                }
                if (op == AttrOp::write) {
                    std::invoke(set, c, fromValue<V>(io));
                    return kAttrOpOk;
                }
                return kAttrOpNotSupported;
            }};
}

// An owned child: 0 reads, 1 creates (result: the child now current),
// 2 deletes (result: the removed child).
template <class C, class Get, class Create, class Delete>
AttributeImpl attrOwned(std::string name, Get get, Create create, Delete del) {
    return {std::move(name),
            [get, create, del](PtrInterface& self, AttrOp op, Value& io, ArgList const&) {
                C& c = static_cast<C&>(self);
                switch (op) {
                    case AttrOp::read:
                        io = toValue(std::invoke(get, c));
                        return kAttrOpOk;
                    case AttrOp::write:
                        io = toValue(std::invoke(create, c));
                        return kAttrOpOk;
                    case AttrOp::del:
                        io = toValue(std::invoke(del, c));
                        return kAttrOpOk;
                    default:
                        return kAttrOpNotSupported;
                }
            }};
}

// Operation 10: `call(self, args, result)`; read arguments with argAt and
// store a result with toValue.
template <class C, class Call>
AttributeImpl attrInvoke(std::string name, Call call) {
    return {std::move(name), [call](PtrInterface& self, AttrOp op, Value& io, ArgList const& args) {
                if (op != AttrOp::invoke) {
                    return kAttrOpNotSupported;
                }
                call(static_cast<C&>(self), args, io);
                return kAttrOpOk;
            }};
}

}  // namespace Kel
