// The ring-file reader on arbitrary bytes: it either refuses the file with
// RingFileError or renders its records; nothing else may happen.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Duplex/RingReader.h"
#include "Jotter/RingFormat.h"
#include "ScratchDir.h"

namespace {

// One scratch file for the whole run, rewritten for every input.
std::string const& scratchPath() {
    static PlinthFuzz::ScratchDir const dir("plinth-fuzz-ring");
    static std::string const path = dir.path() + "/ring";
    return path;
}

void writeScratch(std::uint8_t const* data, std::size_t size) {
    std::FILE* f = std::fopen(scratchPath().c_str(), "wb");
    if (f == nullptr || (size > 0 && std::fwrite(data, 1, size, f) != size) ||
        std::fclose(f) != 0) {
        std::perror("scratch ring file");
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    writeScratch(data, size);
    try {
        // Every record renders at least its sequence number and source.
        for (std::string const& line : Duplex::ringLines(scratchPath())) {
            if (line.find(':') == std::string::npos) {
                std::abort();
            }
        }
    } catch (Jotter::RingFileError const&) {
    }
    return 0;
}
