#pragma once

#include <string_view>
#include <vector>

#include "Kel/Dir.h"

namespace Local {

// The agent's own entity store: entities that live in the agent process and
// go with it, unlike the system database.
class EntityManager : public Kel::Entity {
public:
    struct MountRecord {
        Vosk::String path;
        Vosk::String typeName;
    };

    EntityManager();

    // Declares that the plug-in uses the entity at `path` with type `typeName`.
    // The store is filled by its owner; a mount only binds to what is there.
    void doMount(Vosk::String const& path, Vosk::String const& typeName);
    // Null when nothing is at `path`.
    Kel::Ptr<Kel::Entity> getEntity(std::string_view path) const;
    void entityIs(std::string_view path, Kel::Ptr<Kel::Entity> const& entity);
    Kel::Ptr<Kel::Entity> entityDel(std::string_view path);

    std::vector<MountRecord> const& mounts() const { return mounts_; }

private:
    Kel::Ptr<Kel::Dir> root_;
    std::vector<MountRecord> mounts_;
};

}  // namespace Local
