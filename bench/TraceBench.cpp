// The cost of a trace site: with its text level off and no ring file (the
// common case in production), and recording one ring-buffer record.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "Jotter/RingBuf.h"
#include "Kel/Trace.h"
#include "Pakt/EthAddr.h"

namespace {

void traceSite(benchmark::State& state, bool ring) {
    static Kel::TraceHandle& handle = Kel::traceHandle("TraceBench");
    auto path = std::filesystem::temp_directory_path() / "plinth-trace-bench.ring";
    if (ring) {
        Jotter::defaultHandleIs(path.string(), 4U << 20);
    }
    Pakt::EthAddr mac(0x001c73aabb01ULL);
    std::uint32_t vlan = 100;
    for (auto _ : state) {
        KEL_TRACE(handle, 0, "bench/TraceBench", "handleConfig addr: %s vlan/mask: 0x%s%s/0x%s",
                  mac, std::hex, vlan, vlan);
        benchmark::ClobberMemory();
    }
    Jotter::defaultHandleDel();
    std::filesystem::remove(path);
}
void traceSiteOff(benchmark::State& state) {
    traceSite(state, false);
}
BENCHMARK(traceSiteOff);
void ringRecord(benchmark::State& state) {
    traceSite(state, true);
}
BENCHMARK(ringRecord);

}  // namespace

BENCHMARK_MAIN();
