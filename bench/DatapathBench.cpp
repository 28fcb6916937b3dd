// The datapath's costs: a frame through the eBPF program with 10,000 table
// entries in its maps (BPF_PROG_TEST_RUN, a million 64-byte frames per run),
// beside an empty program through the same path; and a router-MAC event
// through the agent's host with the datapath attached, beside the same
// event without it. Needs root: the program makes network and mount
// namespaces of its own, with a BPF file system, and attaches to their
// loopback port.
#include <benchmark/benchmark.h>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <linux/bpf.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>

#include "Datapath.h"
#include "Host.h"
#include "RunBenchmarks.h"

namespace {

namespace D = PlinthAgent::Datapath;
using PlinthL3Unicast::MacVlanTagged;
using PlinthL3Unicast::MyStationTable;

constexpr std::uint32_t kRepeat = 1000000;
constexpr std::uint64_t kAnyVlanBase = 0x021c73000000ULL;
constexpr std::uint64_t kExactVlanBase = 0x021c74000000ULL;
constexpr std::uint64_t kEntriesEach = 5000;  // of each kind: 10,000 in all
constexpr std::uint16_t kPortVlan = 10;
constexpr int kLoopback = 1;
constexpr std::uint64_t kKeyCycle = 4000;

void warn(std::string const& warning) {
    std::cerr << "DatapathBench: warning: " << warning << '\n';
}

// The table entry the plug-in commits for a MAC on any VLAN or on one.
std::pair<MacVlanTagged, MyStationTable::Entry> entry(std::uint64_t mac, std::uint16_t vlan) {
    MyStationTable::Entry e;
    e.entryFlag1 = e.entryFlag2 = e.entryFlag3 = e.entryFlag4 = 1;
    e.macAddr = Pakt::EthAddr(mac);
    e.macAddrMask = Pakt::EthAddr::broadcast();
    if (vlan != 0) {
        e.vlanId = Kel::U12(vlan);
        e.vlanIdMask = Kel::U12(0xfff);
    }
    return {{Pakt::EthAddr(mac), vlan, vlan != 0 ? 0xfffU : 0U, Pakt::EthAddr::broadcast(), false},
            e};
}

// The datapath on the loopback port with 10,000 entries: half a MAC on any
// VLAN, half a MAC on the port's VLAN.
class FrameRig {
  public:
    FrameRig()
        : datapath_({{"lo"}, "/sys/fs/bpf/frames", {{"lo", kPortVlan}}}, warn),
          table_(Kel::newPtr<MyStationTable>()) {
        datapath_.tableIs(table_, true, false);
        for (std::uint64_t i = 0; i < kEntriesEach; ++i) {
            auto const [anyKey, anyEntry] = entry(kAnyVlanBase + i, 0);
            table_->entryCommit(anyKey, anyEntry);
            auto const [exactKey, exactEntry] = entry(kExactVlanBase + i, kPortVlan);
            table_->entryCommit(exactKey, exactEntry);
        }
    }
    ~FrameRig() { datapath_.tableIs(nullptr, false, false); }

    D::EbpfDatapath& datapath() { return datapath_; }

  private:
    D::EbpfDatapath datapath_;
    Kel::Ptr<MyStationTable> table_;
};

FrameRig& frameRig() {
    static FrameRig rig;
    return rig;
}

// Runs `program` on kRepeat copies of an untagged 64-byte frame to `dst`
// arriving on the loopback port; the mean time per frame in ns, or -1.
double frameRun(int program, std::uint64_t dst) {
    std::array<std::uint8_t, 64> frame{};
    auto const bytes = Pakt::EthAddr(dst).bytes();
    std::copy(bytes.begin(), bytes.end(), frame.begin());
    frame[6] = 0x02;
    frame[12] = 0x08;  // IPv4
    __sk_buff context{};
    context.ifindex = kLoopback;
    bpf_test_run_opts run{};
    run.sz = sizeof run;
    run.data_in = frame.data();
    run.data_size_in = frame.size();
    run.ctx_in = &context;
    run.ctx_size_in = sizeof context;
    run.repeat = kRepeat;
    return bpf_prog_test_run_opts(program, &run) == 0 ? run.duration : -1;
}

enum class Frame { exactVlanHit, anyVlanHit, miss, floor };

// One iteration: a million frames; the counter is the time of one.
void frames(benchmark::State& state, Frame kind) {
    auto& datapath = frameRig().datapath();
    std::uint64_t const mac = kind == Frame::exactVlanHit ? kExactVlanBase + kEntriesEach / 2
                              : kind == Frame::anyVlanHit ? kAnyVlanBase + kEntriesEach / 2
                                                          : 0x021c75000000ULL;
    int const program = kind == Frame::floor ? datapath.floorFd() : datapath.programFd("lo");
    auto const key = entry(mac, kind == Frame::exactVlanHit ? kPortVlan : 0).first;
    std::uint64_t const before = datapath.hits(key);
    double total = 0;
    for (auto _ : state) {
        double const ns = frameRun(program, mac);
        if (ns < 0) {
            state.SkipWithError((std::string("test run failed: ") + std::strerror(errno)).c_str());
            return;
        }
        total += ns;
    }
    bool const hit = kind == Frame::exactVlanHit || kind == Frame::anyVlanHit;
    std::uint64_t const expected = hit ? before + state.iterations() * kRepeat : before;
    if (datapath.hits(key) != expected) {
        state.SkipWithError("the frames did not match as they should");
        return;
    }
    state.counters["nsPerFrame"] = total / static_cast<double>(state.iterations());
}
BENCHMARK_CAPTURE(frames, exactVlanHit, Frame::exactVlanHit);
BENCHMARK_CAPTURE(frames, anyVlanHit, Frame::anyVlanHit);
BENCHMARK_CAPTURE(frames, miss, Frame::miss);
BENCHMARK_CAPTURE(frames, floor, Frame::floor);

// One iteration: a router MAC with routing on set, then deleted, through
// the agent's host, the table running; with the datapath, each change also
// reaches its maps.
void routerMacEvent(benchmark::State& state, bool attached) {
    namespace S = PlinthAgent::Scenario;
    std::filesystem::path const toggles = std::filesystem::temp_directory_path() /
                                          ("plinth-datapath-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(toggles);
    {
        std::optional<D::EbpfDatapath> datapath;
        PlinthAgent::Host host(PLINTH_PLUGIN_PATH, toggles);
        if (attached) {
            host.datapathIs(&datapath.emplace(D::Options{{"lo"}, "/sys/fs/bpf/events", {}}, warn));
        }
        std::ostringstream sink;
        host.apply(S::Start{}, sink);
        host.apply(S::FapAdd{0, "plinth0"}, sink);
        std::vector<S::Command> set, del;
        for (std::uint64_t i = 0; i < kKeyCycle; ++i) {
            Brix::MacTypeMask const key{Pakt::EthAddr(kAnyVlanBase + i), Brix::MacType::interface};
            set.emplace_back(S::RouterMacSet{key, true});
            del.emplace_back(S::RouterMacDel{key});
        }
        std::uint64_t i = 0;
        for (auto _ : state) {
            host.apply(set[i % kKeyCycle], sink);
            host.apply(del[i++ % kKeyCycle], sink);
        }
        if (datapath && datapath->hits(entry(kAnyVlanBase, 0).first) != 0) {
            state.SkipWithError("unexpected hits");
        }
    }
    std::filesystem::remove_all(toggles);
}
BENCHMARK_CAPTURE(routerMacEvent, withoutDatapath, false);
BENCHMARK_CAPTURE(routerMacEvent, withDatapath, true);

// Network and mount namespaces of this process's own, with a BPF file
// system; false, saying why, when they cannot be made.
bool privateNamespaces() {
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("bpf", "/sys/fs/bpf", "bpf", 0, nullptr) != 0) {
        std::cerr << "DatapathBench: skipped: no private network and mount namespaces with a BPF "
                     "file system ("
                  << std::strerror(errno) << "); run as root\n";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // The status ctest reads as "skipped".
    constexpr int kSkipped = 77;
    if (!privateNamespaces()) {
        char const* required = std::getenv("PLINTH_REQUIRE_NETNS");
        return required != nullptr && std::string(required) == "1" ? 1 : kSkipped;
    }
    return runBenchmarks(argc, argv);
}
