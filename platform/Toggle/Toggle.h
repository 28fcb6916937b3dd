#pragma once

#include <cstdint>
#include <string>

// The feature-toggle service. Toggles live in small JSON files, one object
// of `"Name": true|false|number` members, in the toggle directory.

// The state of toggle `name` in `file`: 1 or 0 for true or false, the number
// itself for a number, and `defaultState` when the file, the name or a valid
// value is missing. Callers use the lowest bit.
std::uint32_t getToggleState(std::string const& name, std::string const& file, bool defaultState);

namespace Toggle {

// Where toggle files are read from. Defaults to $PLINTH_TOGGLE_DIR, else
// "/etc/plinth".
void toggleDirIs(std::string const& dir);
std::string toggleDir();

// Why the last getToggleState fell back to its default although the file
// exists (for instance "PlinthLib.json:3: expected ',' or '}'"), or empty.
std::string lastError();

}  // namespace Toggle
