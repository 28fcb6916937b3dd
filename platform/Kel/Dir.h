#pragma once

#include <map>
#include <string>
#include <string_view>

#include "Kel/Entity.h"

namespace Kel {

// An entity that holds named children: the inner nodes of the entity tree,
// and the root of an entity store, whose entities sit at slash-separated
// paths below it.
class Dir : public Entity {
  public:
    explicit Dir(Vosk::String name = {}) : Entity(std::move(name)) {}
    TypeImpl const* fwkType() const override;

    Ptr<Entity> child(std::string_view name) const;
    // Replaces a child of the same name. The directory owns its children.
    void childIs(Vosk::String const& name, Ptr<Entity> const& child);
    Ptr<Entity> childDel(std::string_view name);

    // The entity at `path`; null when a component is missing or is not a
    // directory. Kel::Exception for an empty component.
    Ptr<Entity> getEntity(std::string_view path) const;
    // Places `entity` at `path`, making the directories on the way. Throws
    // Kel::Exception when a component on the way is not a directory.
    void entityIs(std::string_view path, Ptr<Entity> const& entity);
    Ptr<Entity> entityDel(std::string_view path);

  private:
    std::map<std::string, Ptr<Entity>, std::less<>> children_;
};

}  // namespace Kel
