#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Jotter {

// One record of a ring file, rendered as the text trace would have shown it.
struct RingRecord {
    std::uint64_t seq = 0;
    std::string source;
    std::uint32_t line = 0;
    std::string text;

    // "SEQ SOURCE:LINE TEXT"
    std::string rendered() const;
};

// Reads a ring file written by RingBuf without needing anything else: the
// descriptions travel in the file. The whole file is checked when it is
// read; a file that is truncated, corrupt, empty or not a ring file throws
// RingFileError naming the file and the fault.
class RingReader {
  public:
    explicit RingReader(std::string path);

    std::string const& path() const { return path_; }
    // Oldest first.
    std::vector<RingRecord> const& records() const { return records_; }
    std::vector<std::string> lines() const;

  private:
    std::string path_;
    std::vector<RingRecord> records_;
};

}  // namespace Jotter
