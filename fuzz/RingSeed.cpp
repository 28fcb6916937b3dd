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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuzz-ring-seed SCRATCH OUT\n");
        return 2;
    }
    std::remove(argv[1]);
    Jotter::defaultHandleIs(argv[1], 4096);  // the smallest ring
    Kel::traceSinkIs([](std::string_view) {});
    writeRecords();
    Jotter::defaultHandleDel();

    std::ifstream in(argv[1], std::ios::binary);
    std::vector<char> const full{std::istreambuf_iterator<char>(in),
                                 std::istreambuf_iterator<char>()};
    std::remove(argv[1]);
    Jotter::RingFormat::FileHeader h;
    std::memcpy(&h, full.data(), sizeof h);
    char const* desc = full.data() + sizeof h;
    char const* ring = desc + h.descBytes;
    std::uint32_t length = 0;
    for (h.descBytes = 0; std::memcpy(&length, desc + h.descBytes, sizeof length), length != 0;) {
        h.descBytes += length;
    }
    std::ofstream out(argv[2], std::ios::binary);
    out.write(reinterpret_cast<char const*>(&h), sizeof h);
    out.write(desc, static_cast<std::streamsize>(h.descBytes));
    out.write(ring, static_cast<std::streamsize>(h.ringBytes));
    return 0;
}
