#pragma once

#include <map>

#include "Asic/ChipInfo.h"
#include "Kel/Ptr.h"

namespace Asic {

// One capability record of a chip profile; its type record is its key.
class Feature : public Kel::PtrInterface {};

// What a chip offers, as the profile database describes it.
class ChipProfile : public Kel::PtrInterface {
  public:
    using Features = std::map<Kel::TypeImpl const*, Kel::Ptr<Feature const>>;

    explicit ChipProfile(std::string chipName) : chipName_(std::move(chipName)) {}
    std::string const& chipName() const { return chipName_; }

    Features const& features() const { return features_; }
    // Keyed by the feature's own type record, replacing one of the same type.
    void featureIs(Kel::Ptr<Feature const> const& feature) {
        features_[feature->fwkType()] = feature;
    }

  private:
    std::string chipName_;
    Features features_;
};

}  // namespace Asic
