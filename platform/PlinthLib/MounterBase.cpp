#include "PlinthLib/MounterBase.h"

namespace PlinthLib {

Kel::Ptr<Kel::Entity> MounterBase::sharedEntity(std::string_view name) const {
    return sharedEntities() ? sharedEntities()->child(name) : nullptr;
}

}  // namespace PlinthLib
