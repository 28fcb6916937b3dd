#pragma once

#include <string_view>
#include <vector>

#include "Kel/Dir.h"

namespace Local {

// The agent's own entity store: entities that live in the agent process and
// go with it, unlike the system database.
class EntityManager : public Kel::Dir {
  public:
    struct MountRecord {
        Vosk::String path;
        Vosk::String typeName;
    };

    // Declares that the plug-in uses the entity at `path` with type `typeName`.
    // The store is filled by its owner; a mount only binds to what is there.
    void doMount(Vosk::String const& path, Vosk::String const& typeName) {
        mounts_.push_back({path, typeName});
    }

    std::vector<MountRecord> const& mounts() const { return mounts_; }

  private:
    std::vector<MountRecord> mounts_;
};

}  // namespace Local
