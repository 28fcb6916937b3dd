// The MAC address parser on arbitrary text: it accepts exactly the six
// colon-separated hex pairs, and what it accepts formats back to the input.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Pakt/EthAddr.h"

namespace {

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    std::string_view const text(reinterpret_cast<char const*>(data), size);
    auto const mac = Pakt::EthAddr::parse(text);
    if (!mac) {
        return 0;
    }
    // Anything accepted is 17 characters, so it formats back character for
    // character; a parser that let anything else through fails here.
    if (mac->stringValue() != lowered(text)) {
        std::abort();
    }
    if (Pakt::EthAddr::fromBytes(mac->bytes().data()) != *mac) {
        std::abort();
    }
    return 0;
}
