// Prints the records of a trace ring file, oldest first, one line each.
#include <cstdio>
#include <cstring>
#include <exception>

#include "Jotter/RingBuf.h"
#include "Jotter/RingReader.h"

namespace {

constexpr int kUsageError = 2;

void usage(std::FILE* out) {
    std::fputs(
        "usage: plinth-ring PATH\n"
        "Prints the records of the trace ring file PATH, oldest first, as\n"
        "\"SEQ SOURCE:LINE TEXT\". Exits 2 when the file cannot be read.\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (argc != 2) {
        usage(stderr);
        return kUsageError;
    }
    try {
        Jotter::RingReader reader(argv[1]);
        for (Jotter::RingRecord const& record : reader.records()) {
            std::printf("%s\n", record.rendered().c_str());
        }
    } catch (Jotter::RingFileError const& e) {
        std::fprintf(stderr, "plinth-ring: %s: %s\n", e.path().c_str(), e.reason().c_str());
        return kUsageError;
    } catch (std::exception const& e) {
        std::fprintf(stderr, "plinth-ring: %s: %s\n", argv[1], e.what());
        return kUsageError;
    }
    return 0;
}
