#pragma once

#include <compare>
#include <cstdint>
#include <functional>

#include "Pakt/EthAddr.h"

namespace Bridging {

// A MAC address on one VLAN.
struct MacVlanPair {
    Pakt::EthAddr mac;
    std::uint32_t vlan = 0;

    friend bool operator==(MacVlanPair const&, MacVlanPair const&) = default;
    friend auto operator<=>(MacVlanPair const&, MacVlanPair const&) = default;
};

}  // namespace Bridging

template <>
struct std::hash<Bridging::MacVlanPair> {
    std::size_t operator()(Bridging::MacVlanPair const& p) const noexcept {
        return std::hash<std::uint64_t>()(p.mac.value() ^ (std::uint64_t{p.vlan} << 48));
    }
};
