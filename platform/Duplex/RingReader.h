#pragma once

#include <string>
#include <vector>

namespace Duplex {

// The records of the ring file at `path`, oldest first, each as the text
// trace would have shown it: "SEQ SOURCE:LINE TEXT". The whole file is checked
// first; one that is missing, not a regular file, unreadable, empty,
// truncated, corrupt or not a ring file throws Jotter::RingFileError naming
// the file and the fault.
std::vector<std::string> ringLines(std::string const& path);

}  // namespace Duplex
