#pragma once

#include <cstdint>
#include <string>

// The feature-toggle service. Toggles are the `"Name": true|false` members of
// small JSON objects, one per file, in the toggle directory.

// 1 or 0 for toggle `name` in `file`; `defaultState` when the file or the
// name is missing, or when the file cannot be read or is not valid (then
// Toggle::lastError() says why).
std::uint32_t getToggleState(std::string const& name, std::string const& file, bool defaultState);

namespace Toggle {

// Where toggle files are read from; "/etc/plinth" when never set or set empty.
void toggleDirIs(std::string const& dir);

// What was wrong with the file when the last getToggleState fell back to its
// default, naming the file; empty when nothing was.
std::string lastError();

}  // namespace Toggle
