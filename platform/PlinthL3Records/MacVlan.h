#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <ostream>

#include "Pakt/EthAddr.h"

namespace PlinthL3Unicast {

// The key of every My Station configuration and status entry.
struct MacVlan {
    Pakt::EthAddr addr;
    std::uint32_t vlan = 0;      // 0: any VLAN
    std::uint32_t vlanMask = 0;  // 0 for router MACs, 0xfff for an exact VLAN
    Pakt::EthAddr addrMask = Pakt::EthAddr::broadcast();

    std::size_t hash(std::size_t seed) const;
    friend bool operator==(MacVlan const&, MacVlan const&) = default;
    // Address first, as 48-bit numbers, then VLAN, VLAN mask and address mask.
    friend auto operator<=>(MacVlan const&, MacVlan const&) = default;
};
std::ostream& operator<<(std::ostream& os, MacVlan const& key);

// The key of a table entry: the primary entry of a key has `tagged` false,
// the second entry for tagged frames true.
struct MacVlanTagged {
    Pakt::EthAddr addr;
    std::uint32_t vlan = 0;
    std::uint32_t vlanMask = 0;
    Pakt::EthAddr addrMask = Pakt::EthAddr::broadcast();
    bool tagged = false;

    std::size_t hash(std::size_t seed) const;
    friend bool operator==(MacVlanTagged const&, MacVlanTagged const&) = default;
    friend auto operator<=>(MacVlanTagged const&, MacVlanTagged const&) = default;
};
std::ostream& operator<<(std::ostream& os, MacVlanTagged const& key);

// Mixes `value` into `seed`; the one hash combiner of the records.
inline std::size_t hashMix(std::size_t seed, std::uint64_t value) {
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdULL;
    value ^= value >> 33;
    return seed ^
           (static_cast<std::size_t>(value) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

}  // namespace PlinthL3Unicast

template <>
struct std::hash<PlinthL3Unicast::MacVlan> {
    std::size_t operator()(PlinthL3Unicast::MacVlan const& k) const noexcept { return k.hash(0); }
};
template <>
struct std::hash<PlinthL3Unicast::MacVlanTagged> {
    std::size_t operator()(PlinthL3Unicast::MacVlanTagged const& k) const noexcept {
        return k.hash(0);
    }
};
