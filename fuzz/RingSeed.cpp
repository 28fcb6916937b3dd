// Writes a small, valid ring file for the ring reader's fuzz corpus: a few
// records of every argument code, laid out as compactly as the reader
// accepts (no spare description room, the smallest ring), so that mutations
// land on bytes that mean something.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Jotter/RingBuf.h"
#include "Jotter/RingFormat.h"
#include "Kel/Trace.h"

namespace {

enum class Colour : std::uint8_t { red = 1, green = 2 };
std::ostream& operator<<(std::ostream& os, Colour c) {
    return os << (c == Colour::red ? "red" : "green");
}

void writeRecords() {
    auto& h = Kel::traceHandle("FuzzSeed");
    Pakt::EthAddr const mac(0x001c73aabb01ULL);
    KEL_TRACE(h, 0, "Fuzz/Seed", "mac %s vlan %s", mac, std::uint16_t{10});
    KEL_TRACE(h, 1, "Fuzz/Seed", "count %s big %s on %s", std::uint32_t{7}, std::uint64_t{1} << 40,
              true);
    KEL_TRACE(h, 2, "Fuzz/Seed", "colour %s name %s", Colour::green, std::string("Vlan10"));
    KEL_TRACE(h, 3, "Fuzz/Seed", "mask 0x%s%s", std::hex, std::uint32_t{0xfff});
    KEL_TRACE(h, 4, "Fuzz/Seed", "no arguments");
}

std::vector<std::uint8_t> readAll(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuzz-ring-seed SCRATCH OUT\n");
        return 2;
    }
    std::remove(argv[1]);
    Jotter::defaultHandleIs(argv[1], Jotter::RingFormat::kMinRing);
    Kel::traceSinkIs([](std::string_view) {});
    writeRecords();
    Jotter::defaultHandleDel();

    std::vector<std::uint8_t> const full = readAll(argv[1]);
    std::remove(argv[1]);
    Jotter::RingFormat::Image image;
    if (std::string error = Jotter::RingFormat::parse(full, image); !error.empty()) {
        std::fprintf(stderr, "fuzz-ring-seed: %s\n", error.c_str());
        return 1;
    }
    Jotter::RingFormat::FileHeader h = image.header;
    auto const oldDesc = h.descOffset;
    auto const oldRing = h.ringOffset;
    h.headerBytes = sizeof h;
    h.descOffset = sizeof h;
    h.descBytes = h.descUsed;
    h.ringOffset = h.descOffset + h.descBytes;

    std::vector<std::uint8_t> out(h.ringOffset + h.ringBytes);
    std::memcpy(out.data(), &h, sizeof h);
    std::memcpy(out.data() + h.descOffset, full.data() + oldDesc, h.descBytes);
    std::memcpy(out.data() + h.ringOffset, full.data() + oldRing, h.ringBytes);
    std::ofstream(argv[2], std::ios::binary)
        .write(reinterpret_cast<char const*>(out.data()), static_cast<std::streamsize>(out.size()));
    return 0;
}
