#include "Kel/Error.h"

#include <cstdio>
#include <cstdlib>

namespace Kel {

void throwRangeException(std::string const& message) {
    throw RangeException(message);
}

void throwNewEntityArgsException(std::string const& typeName) {
    throw NewEntityArgsException("type " + typeName +
                                 " is created from a name alone; constructor arguments refused");
}

void assertionFailed(char const* expression, char const* function, char const* source, int line) {
    std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", source, line, function, expression);
    std::fflush(stderr);
    std::abort();
}

std::uint16_t U12::checked(std::uint64_t value) {
    if (value > kMax) {
        throwRangeException("U12::value < 0 or > 0x0fff not allowed");
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace Kel
