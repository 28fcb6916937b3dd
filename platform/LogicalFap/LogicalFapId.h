#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <ostream>

namespace LogicalFap {

// The logical identity (0 to 65535) under which the chip agent knows one
// forwarding chip.
class LogicalFapId {
  public:
    constexpr LogicalFapId() = default;
    constexpr explicit LogicalFapId(std::uint16_t value) : value_(value) {}
    constexpr std::uint16_t value() const { return value_; }

    friend constexpr bool operator==(LogicalFapId, LogicalFapId) = default;
    friend constexpr auto operator<=>(LogicalFapId, LogicalFapId) = default;

  private:
    std::uint16_t value_ = 0;
};

// Written as "fap<N>".
inline std::ostream& operator<<(std::ostream& os, LogicalFapId id) {
    return os << "fap" << id.value();
}

// Trace records keep the id as its 16-bit value.
inline std::uint16_t jotterValue(LogicalFapId const& id) {
    return id.value();
}

}  // namespace LogicalFap

template <>
struct std::hash<LogicalFap::LogicalFapId> {
    std::size_t operator()(LogicalFap::LogicalFapId id) const noexcept { return id.value(); }
};
