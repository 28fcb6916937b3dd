#include "PlinthL3Records/MacVlan.h"

namespace PlinthL3Unicast {

std::size_t MacVlan::hash(std::size_t seed) const {
    seed = hashMix(seed, addr.value());
    seed = hashMix(seed, (std::uint64_t{vlan} << 32) | vlanMask);
    return hashMix(seed, addrMask.value());
}

std::ostream& operator<<(std::ostream& os, MacVlan const& key) {
    return os << key.addr << '/' << key.addrMask << " vlan " << key.vlan << '/' << key.vlanMask;
}

namespace {
// The key without its flag.
MacVlan untagged(MacVlanTagged const& key) {
    return {key.addr, key.vlan, key.vlanMask, key.addrMask};
}
}  // namespace

// The flag rides in the address's unused top bits: one more mixing round for
// it alone made every keyed table of tagged keys markedly slower.
std::size_t MacVlanTagged::hash(std::size_t seed) const {
    seed = hashMix(seed, addr.value() | (std::uint64_t{tagged} << 48));
    seed = hashMix(seed, (std::uint64_t{vlan} << 32) | vlanMask);
    return hashMix(seed, addrMask.value());
}

std::ostream& operator<<(std::ostream& os, MacVlanTagged const& key) {
    return os << untagged(key) << (key.tagged ? " tagged" : "");
}

}  // namespace PlinthL3Unicast
