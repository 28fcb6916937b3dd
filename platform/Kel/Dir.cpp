#include "Kel/Dir.h"

#include "Kel/Error.h"
#include "Kel/Type.h"

namespace Kel {

namespace {

TypeImpl const dirType("Kel::Dir", {}, createByName<Dir>);

ModuleRegistration const registration({"Kel", {&dirType}});

}  // namespace

TypeImpl const* Dir::fwkType() const {
    return &dirType;
}

Ptr<Entity> Dir::child(std::string_view name) const {
    auto it = children_.find(name);
    return it == children_.end() ? nullptr : it->second;
}

void Dir::childIs(Vosk::String const& name, Ptr<Entity> const& child) {
    children_[name.stdString()] = child;
    child->parentIs(this);
}

Ptr<Entity> Dir::childDel(std::string_view name) {
    auto it = children_.find(name);
    if (it == children_.end()) {
        return nullptr;
    }
    Ptr<Entity> removed = std::move(it->second);
    children_.erase(it);
    removed->parentIs(nullptr);
    return removed;
}

namespace {

// The first component of `path` and the rest after its slash.
std::pair<std::string_view, std::string_view> splitFirst(std::string_view path) {
    std::size_t slash = path.find('/');
    std::string_view first = path.substr(0, slash);
    if (first.empty()) {
        throw Exception("empty component in path");
    }
    return {first, slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1)};
}

}  // namespace

Ptr<Entity> Dir::getEntity(std::string_view path) const {
    auto [first, rest] = splitFirst(path);
    Ptr<Entity> at = child(first);
    if (rest.empty() || !at) {
        return at;
    }
    auto const* dir = dynamic_cast<Dir const*>(at.get());
    return dir ? dir->getEntity(rest) : nullptr;
}

void Dir::entityIs(std::string_view path, Ptr<Entity> const& entity) {
    auto [first, rest] = splitFirst(path);
    if (rest.empty()) {
        return childIs(std::string(first), entity);
    }
    Ptr<Entity> next = child(first);
    if (!next) {
        next = newPtr<Dir>(std::string(first));
        childIs(std::string(first), next);
    }
    auto* dir = dynamic_cast<Dir*>(next.get());
    if (!dir) {
        throw Exception("'" + std::string(first) + "' is not a directory");
    }
    dir->entityIs(rest, entity);
}

Ptr<Entity> Dir::entityDel(std::string_view path) {
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return childDel(path);
    }
    auto dir = dynamicPtrCast<Dir>(getEntity(path.substr(0, slash)));
    return dir ? dir->childDel(path.substr(slash + 1)) : nullptr;
}

}  // namespace Kel
