// Prints the records of a trace ring file, oldest first, one line each.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "Duplex/RingReader.h"

int main(int argc, char** argv) {
    if (argc != 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(
            "usage: plinth-ring PATH\n"
            "Prints the records of the trace ring file PATH, oldest first, as\n"
            "\"SEQ SOURCE:LINE TEXT\". Exits 2 when the file cannot be read.\n",
            argc == 2 ? stdout : stderr);
        return argc == 2 ? 0 : 2;
    }
    try {
        for (std::string const& line : Duplex::ringLines(argv[1])) {
            std::printf("%s\n", line.c_str());
        }
    } catch (std::exception const& e) {
        std::fprintf(stderr, "plinth-ring: %s\n", e.what());
        return 2;
    }
    return 0;
}
