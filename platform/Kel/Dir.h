#pragma once

#include <map>
#include <string>
#include <string_view>

#include "Kel/Entity.h"

namespace Kel {

// An entity that holds named children: the inner nodes of the entity tree.
class Dir : public Entity {
  public:
    explicit Dir(Vosk::String name = {}) : Entity(std::move(name)) {}
    TypeImpl const* fwkType() const override;

    Ptr<Entity> child(std::string_view name) const;
    // Replaces a child of the same name. The directory owns its children.
    void childIs(Vosk::String const& name, Ptr<Entity> const& child);
    Ptr<Entity> childDel(std::string_view name);
    std::map<std::string, Ptr<Entity>, std::less<>> const& children() const { return children_; }

    // The entity at a slash-separated path below this directory; null when a
    // component is missing or is not a directory.
    Ptr<Entity> entityAt(std::string_view path) const;
    // Places `entity` at `path`, making the directories on the way. Throws
    // Kel::Exception when a component on the way is not a directory.
    void entityAtIs(std::string_view path, Ptr<Entity> const& entity);
    Ptr<Entity> entityAtDel(std::string_view path);

  private:
    std::map<std::string, Ptr<Entity>, std::less<>> children_;
};

// The root of an entity store: entities at slash-separated paths below it.
class EntityTree : public Dir {
  public:
    // Null when nothing is at `path`.
    Ptr<Entity> getEntity(std::string_view path) const { return entityAt(path); }
    // Places `entity` at `path`, making the directories on the way.
    void entityIs(std::string_view path, Ptr<Entity> const& entity) { entityAtIs(path, entity); }
    Ptr<Entity> entityDel(std::string_view path) { return entityAtDel(path); }
};

// Splits "a/b/c" into its components, refusing empty ones.
std::vector<std::string_view> splitPath(std::string_view path);

}  // namespace Kel
