#pragma once

#include <ostream>
#include <string>

// Parameterised cases carry a `name`. It names the test, and it is what
// GoogleTest prints for the case, so that ctest lists the same test names in
// every build instead of the case's bytes (addresses included). A test file
// brings PrintTo into its own namespace, where GoogleTest looks for it.
namespace PlinthTest {

inline auto const byName = [](auto const& info) { return std::string(info.param.name); };

// Names the two cases of a ::testing::Bool() parameter.
inline auto byFlag(char const* whenTrue, char const* whenFalse) {
    return [=](auto const& info) { return std::string(info.param ? whenTrue : whenFalse); };
}

template <class Case>
requires requires(Case const& c) {
    c.name;
}
void PrintTo(Case const& c, std::ostream* os) {
    *os << c.name;
}

}  // namespace PlinthTest
