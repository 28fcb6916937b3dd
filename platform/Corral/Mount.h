#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "Vosk/String.h"

namespace Corral {

// How a group of mounts completed.
enum class MountStatus : std::uint8_t {
    complete = 0,    // every mounted path held an entity of the declared type
    incomplete = 1,  // at least one path was missing or of another type
};
std::ostream& operator<<(std::ostream& os, MountStatus status);

// The flag set of one mount: bit 0 read, bit 1 write.
using AllMountFlags = std::uint32_t;
inline constexpr AllMountFlags kMountRead = 1U << 0;
inline constexpr AllMountFlags kMountWrite = 1U << 1;

// One path the mounter needs, with the type it expects there.
class Mount {
  public:
    Mount(Vosk::String path, Vosk::String typeName)
        : path_(std::move(path)), typeName_(std::move(typeName)) {}

    Vosk::String const& path() const { return path_; }
    Vosk::String const& typeName() const { return typeName_; }
    AllMountFlags flags() const { return flags_; }
    void flagsIs(AllMountFlags flags) { flags_ = flags; }
    // Adds the flags named by a string of letters: "r" reads, "w" reads and
    // writes. Throws Kel::RangeException for any other letter.
    void handleFlags(Vosk::String const& letters);

  private:
    Vosk::String path_;
    Vosk::String typeName_;
    AllMountFlags flags_ = kMountRead;
};

}  // namespace Corral
