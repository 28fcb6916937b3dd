#include "Kel/Dir.h"

#include "Kel/Error.h"
#include "Kel/Type.h"

namespace Kel {

namespace {

TypeImpl const dirType("Kel::Dir",
                       {attrRead<Dir>("children", [](Dir& d) { return d.children().size(); })},
                       [](Vosk::String const& name) -> Ptr<Entity> {
                           return Kel::newPtr<Dir>(name);
                       });

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

Ptr<Entity> Dir::entityAt(std::string_view path) const {
    Ptr<Entity> at;
    Dir const* dir = this;
    for (std::string_view part : splitPath(path)) {
        if (dir == nullptr) {
            return nullptr;
        }
        at = dir->child(part);
        if (!at) {
            return nullptr;
        }
        dir = dynamic_cast<Dir const*>(at.get());
    }
    return at;
}

void Dir::entityAtIs(std::string_view path, Ptr<Entity> const& entity) {
    auto parts = splitPath(path);
    if (parts.empty()) {
        throw Exception("empty path");
    }
    // Borrowed: each directory on the way is held by the one above it.
    Dir* dir = this;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        Ptr<Entity> next = dir->child(parts[i]);
        if (!next) {
            next = Kel::newPtr<Dir>(std::string(parts[i]));
            dir->childIs(std::string(parts[i]), next);
        }
        dir = dynamic_cast<Dir*>(next.get());
        if (!dir) {
            throw Exception("'" + std::string(parts[i]) + "' in " + std::string(path) +
                            " is not a directory");
        }
    }
    dir->childIs(std::string(parts.back()), entity);
}

Ptr<Entity> Dir::entityAtDel(std::string_view path) {
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return childDel(path);
    }
    auto dir = dynamicPtrCast<Dir>(entityAt(path.substr(0, slash)));
    return dir ? dir->childDel(path.substr(slash + 1)) : nullptr;
}

std::vector<std::string_view> splitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        auto slash = path.find('/');
        std::string_view part = path.substr(0, slash);
        if (part.empty()) {
            throw Exception("empty component in path");
        }
        parts.push_back(part);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    }
    return parts;
}

}  // namespace Kel
