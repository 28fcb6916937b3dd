#include "PlinthL3Common/VrrpMac.h"

#include <cstdint>

namespace PlinthL3Common {

namespace {
// The address without its last byte, the VRRP router id.
constexpr std::uint64_t kPrefixMask = 0xffff'ffff'ff00ULL;
constexpr std::uint64_t kIpv4Prefix = 0x0000'5e00'0100ULL;
constexpr std::uint64_t kIpv6Prefix = 0x0000'5e00'0200ULL;
}  // namespace

bool isVrrpMac(Pakt::EthAddr const& mac) {
    std::uint64_t const prefix = mac.value() & kPrefixMask;
    return prefix == kIpv4Prefix || prefix == kIpv6Prefix;
}

}  // namespace PlinthL3Common
