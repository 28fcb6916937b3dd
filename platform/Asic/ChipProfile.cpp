#include "Asic/ChipProfile.h"

namespace Asic {

void ChipProfile::featureIs(Kel::Ptr<Feature const> const& feature) {
    features_[feature->fwkType()] = feature;
}

}  // namespace Asic
