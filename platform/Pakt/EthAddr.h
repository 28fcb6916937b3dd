#pragma once

#include <array>
#include <bit>
#include <compare>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace Pakt {

// A 48-bit Ethernet MAC address. Orders and hashes as the 48-bit number.
class EthAddr {
  public:
    constexpr EthAddr() = default;
    constexpr explicit EthAddr(std::uint64_t value) : value_(value & kMask) {}

    static constexpr EthAddr broadcast() { return EthAddr(kMask); }
    // "xx:xx:xx:xx:xx:xx", hex digits of either case; nullopt otherwise.
    static std::optional<EthAddr> parse(std::string_view text);

    constexpr std::uint64_t value() const { return value_; }
    constexpr bool isZero() const { return value_ == 0; }
    // Most significant byte first, as on the wire: one byte swap, which a
    // trace record of a MAC pays on every change.
    std::array<std::uint8_t, 6> bytes() const {
        std::uint64_t wire = value_ << 16;
        if constexpr (std::endian::native == std::endian::little) {
            wire = __builtin_bswap64(wire);
        }
        std::array<std::uint8_t, 6> out;
        std::memcpy(out.data(), &wire, out.size());
        return out;
    }
    static EthAddr fromBytes(std::uint8_t const* bytes);
    // Lower-case "xx:xx:xx:xx:xx:xx".
    std::string stringValue() const;

    friend constexpr bool operator==(EthAddr, EthAddr) = default;
    friend constexpr auto operator<=>(EthAddr, EthAddr) = default;

  private:
    static constexpr std::uint64_t kMask = 0xffff'ffff'ffffULL;
    std::uint64_t value_ = 0;
};

std::ostream& operator<<(std::ostream& os, EthAddr const& addr);

}  // namespace Pakt

template <>
struct std::hash<Pakt::EthAddr> {
    std::size_t operator()(Pakt::EthAddr const& a) const noexcept {
        return std::hash<std::uint64_t>()(a.value());
    }
};
