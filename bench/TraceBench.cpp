// The cost of a trace site: with its text level off and no ring file (the
// common case in production), and recording one ring-buffer record.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "Jotter/RingBuf.h"
#include "Kel/Trace.h"
#include "Pakt/EthAddr.h"

namespace {

constexpr char const* kSource = "bench/TraceBench";

Kel::TraceHandle& handle() {
    static Kel::TraceHandle& h = Kel::traceHandle("TraceBench");
    return h;
}

void traceSiteOff(benchmark::State& state) {
    handle().levelsIs(0);
    Pakt::EthAddr mac(0x001c73aabb01ULL);
    std::uint32_t vlan = 100;
    for (auto _ : state) {
        KEL_TRACE(handle(), 0, kSource, "handleConfig addr: %s vlan/mask: 0x%s%s/0x%s", mac,
                  std::hex, vlan, vlan);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(traceSiteOff);

void ringRecord(benchmark::State& state) {
    handle().levelsIs(0);
    auto path = std::filesystem::temp_directory_path() / "plinth-trace-bench.ring";
    std::filesystem::remove(path);
    Jotter::defaultHandleIs(path.string(), 4U << 20);
    Pakt::EthAddr mac(0x001c73aabb01ULL);
    std::uint32_t vlan = 100;
    for (auto _ : state) {
        KEL_TRACE(handle(), 0, kSource, "handleConfig addr: %s vlan/mask: 0x%s%s/0x%s", mac,
                  std::hex, vlan, vlan);
        benchmark::ClobberMemory();
    }
    Jotter::defaultHandleDel();
    std::filesystem::remove(path);
}
BENCHMARK(ringRecord);

}  // namespace

BENCHMARK_MAIN();
