#pragma once

#include "Asic/ChipProfile.h"

namespace PlinthProfile {

// The profile database of the chip family, filled by the agent from its
// platform description before any chip comes up.
void chipProfileIs(Kel::Ptr<Asic::ChipProfile const> const& profile);
void chipProfileDel(std::string const& chipName);

// The profile of the chip named in `chipInfo`, or null for an unknown chip.
Kel::Ptr<Asic::ChipProfile const> activeChipProfile(Asic::ChipInfo const& chipInfo);

}  // namespace PlinthProfile
