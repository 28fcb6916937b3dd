#pragma once

#include <string>

namespace Kel {

// printf-style formatting into a string.
std::string _fmt(char const* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace Kel
