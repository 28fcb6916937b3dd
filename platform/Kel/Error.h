#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace Kel {

// Errors the framework raises for outside input or bounded values. Broken
// invariants are not exceptions: they end in a fatal assertion.
struct Exception : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct RangeException : Exception {
    using Exception::Exception;
};
struct NewEntityArgsException : Exception {
    using Exception::Exception;
};
struct UnknownTypeException : Exception {
    using Exception::Exception;
};
struct EnumValueException : Exception {
    using Exception::Exception;
};

[[noreturn]] void throwRangeException(std::string const& message);
[[noreturn]] void throwNewEntityArgsException(std::string const& typeName);

// Reports a broken invariant on standard error as
// "SOURCE:LINE: FUNCTION: Assertion `EXPRESSION' failed." and aborts. The
// trace ring file needs no flush: it is mapped shared, so the last records
// are in the file whatever way the process ends.
[[noreturn]] void assertionFailed(char const* expression, char const* function, char const* source,
                                  int line);

// A 12-bit unsigned value, as the chip's VLAN fields hold it.
class U12 {
  public:
    static constexpr std::uint16_t kMax = 0x0fff;
    constexpr U12() = default;
    explicit U12(std::uint64_t value) : value_(checked(value)) {}
    constexpr std::uint16_t value() const { return value_; }
    friend constexpr bool operator==(U12, U12) = default;

  private:
    static std::uint16_t checked(std::uint64_t value);
    std::uint16_t value_ = 0;
};

}  // namespace Kel

// A fatal assertion. `text` is what the report shows as the expression; the
// function signature and the source unit are spelled out by the caller so
// that the report reads the same whatever the compiler.
#define KEL_ASSERT(condition, text, function, source) \
    ((condition) ? static_cast<void>(0)               \
                 : ::Kel::assertionFailed((text), (function), (source), __LINE__))
