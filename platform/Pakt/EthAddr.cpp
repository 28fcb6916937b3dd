#include "Pakt/EthAddr.h"

namespace Pakt {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::optional<EthAddr> EthAddr::parse(std::string_view text) {
    // Exactly six two-digit groups separated by colons: 17 characters.
    if (text.size() != 17) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (std::size_t group = 0; group < 6; ++group) {
        std::size_t at = group * 3;
        if (group > 0 && text[at - 1] != ':') {
            return std::nullopt;
        }
        int hi = hexDigit(text[at]);
        int lo = hexDigit(text[at + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        value = (value << 8) | static_cast<std::uint64_t>(hi * 16 + lo);
    }
    return EthAddr(value);
}

std::array<std::uint8_t, 6> EthAddr::bytes() const {
    std::array<std::uint8_t, 6> out{};
    for (int i = 0; i < 6; ++i) {
        out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value_ >> (8 * (5 - i)));
    }
    return out;
}

EthAddr EthAddr::fromBytes(std::uint8_t const* bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < 6; ++i) {
        value = (value << 8) | bytes[i];
    }
    return EthAddr(value);
}

std::string EthAddr::stringValue() const {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(17, ':');
    auto b = bytes();
    for (std::size_t i = 0; i < 6; ++i) {
        out[i * 3] = kDigits[b[i] >> 4];
        out[i * 3 + 1] = kDigits[b[i] & 0xf];
    }
    return out;
}

std::ostream& operator<<(std::ostream& os, EthAddr const& addr) {
    return os << addr.stringValue();
}

}  // namespace Pakt
