#include "Pakt/EthAddr.h"

#include <charconv>

namespace Pakt {

std::optional<EthAddr> EthAddr::parse(std::string_view text) {
    // Exactly six two-digit groups separated by colons: 17 characters.
    if (text.size() != 17) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (std::size_t at = 0; at < text.size(); at += 3) {
        unsigned byte = 0;
        char const* digits = text.data() + at;
        auto [end, ec] = std::from_chars(digits, digits + 2, byte, 16);
        if (ec != std::errc() || end != digits + 2 || (at > 0 && text[at - 1] != ':')) {
            return std::nullopt;
        }
        value = (value << 8) | byte;
    }
    return EthAddr(value);
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
