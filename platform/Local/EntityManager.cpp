#include "Local/EntityManager.h"

namespace Local {

void EntityManager::doMount(Vosk::String const& path, Vosk::String const& typeName) {
    mounts_.push_back({path, typeName});
}

}  // namespace Local
