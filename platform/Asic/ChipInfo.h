#pragma once

#include <cstdint>
#include <string>

namespace Asic {

using UnitId = std::uint32_t;

// What identifies a chip to the profile database. A value, copied whole.
struct ChipInfo {
    std::string chipName;
    std::uint32_t revision = 0;

    std::string stringValue() const {
        return "chip " + chipName + " rev " + std::to_string(revision);
    }
    friend bool operator==(ChipInfo const&, ChipInfo const&) = default;
};

}  // namespace Asic
