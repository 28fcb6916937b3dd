#pragma once

#include <string_view>

#include "Plugin/Mounter.h"

namespace PlinthLib {

// The base of the chip family's plug-in mounters: adds the agent's shared
// in-process entities.
class MounterBase : public Plugin::Mounter {
  public:
    explicit MounterBase(Vosk::String name) : Plugin::Mounter(std::move(name)) {}

    // The shared entity of that name, or null.
    Kel::Ptr<Kel::Entity> sharedEntity(std::string_view name) const {
        return sharedEntities() ? sharedEntities()->child(name) : nullptr;
    }
};

}  // namespace PlinthLib
