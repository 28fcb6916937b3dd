// The My Station paths end to end on the real plug-in and platform, wired
// as the mounter wires them, each beside its floors: the same inserts and
// erases with the same key and value types done directly on a hash map, one
// map per structure the path has to change. There are two floors: the
// node-based std::unordered_map, and the flat map the platform's keyed
// collections are built on.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <unordered_map>

#include "Host.h"
#include "Jotter/RingBuf.h"
#include "Kel/Collection.h"
#include "PlinthCentral/ChipAgent.h"
#include "PlinthL3Records/MyStationDir.h"
#include "PlinthL3Records/MyStationTable.h"
#include "PlinthL3Records/RoutingRecords.h"
#include "PlinthL3Unicast/L3MyStationMounter.h"
#include "PlinthL3Unicast/L3MyStationSm.h"
#include "PlinthL3Unicast/L3VrrpHelper.h"
#include "PlinthProfile/Profile.h"
#include "RunBenchmarks.h"
#include "Switch.h"

namespace {

using PlinthL3Unicast::MacVlan;
using PlinthL3Unicast::MacVlanTagged;
using PlinthL3Unicast::MyStationConfig;
using PlinthL3Unicast::MyStationStatus;
using TableEntry = PlinthL3Unicast::MyStationTable::Entry;

constexpr char const* kChip = "benchChip";
constexpr char const* kTaggedChip = "benchChipTagged";
constexpr std::uint16_t kFapId = 3;
// Keys cycle through this many MACs (or VLANs), so the maps see different
// buckets without growing.
constexpr std::uint64_t kKeyCycle = 4000;
constexpr std::uint64_t kRouterMacBase = 0x001c73000000ULL;
constexpr std::uint64_t kVrrpMac = 0x00005e000105ULL;
constexpr std::uint32_t kExactVlanMask = 0xfff;
constexpr std::size_t kMemoryEntries = 100000;
constexpr std::size_t kRestartRouterMacs = 10000;
constexpr std::size_t kRestartVrrpMacs = 1000;

// The two floors, spelled with the same parameters.
template <class K, class V, class H>
using StdMap = std::unordered_map<K, V, H>;
template <class K, class V, class H>
using FlatMap = typename Kel::Collection<K, V, H>::Map;
using MacTypeMaskHash = Brix::MacTypeMaskHash;
using MacVlanHash = std::hash<MacVlan>;
using MacVlanTaggedHash = std::hash<MacVlanTagged>;

Brix::MacTypeMask routerMacKey(std::uint64_t i) {
    return {Pakt::EthAddr(kRouterMacBase + i), Brix::MacType::interface};
}

MacVlan anyVlanKey(Pakt::EthAddr mac) {
    return {mac, 0, 0, Pakt::EthAddr::broadcast()};
}

MacVlan exactVlanKey(Pakt::EthAddr mac, std::uint32_t vlan) {
    return {mac, vlan, kExactVlanMask, Pakt::EthAddr::broadcast()};
}

MacVlanTagged tableKey(MacVlan const& key, bool tagged) {
    return {key.addr, key.vlan, key.vlanMask, key.addrMask, tagged};
}

std::uint32_t vrrpVlan(std::uint64_t i) {
    return 1 + static_cast<std::uint32_t>(i % kKeyCycle);
}

void chipProfileIs(char const* chip, bool tagged) {
    Kel::Ptr<Asic::ChipProfile> profile(new Asic::ChipProfile(chip));
    profile->featureIs(Kel::newPtr<PlinthL3Unicast::MyStationAttr>(tagged));
    PlinthProfile::chipProfileIs(profile);
}

void logicalFapIdIs(PlinthCentral::FeatureAgentCommonSmData& fcsd, char const* chip) {
    LogicalFap::LogicalFapId id(kFapId);
    // Module information first: the id's notification looks it up.
    fcsd.logicalModInfoIs(
        id, Kel::newPtr<PlinthCentral::LogicalModuleInfo>(PlinthCentral::ChipInfo{chip, 1}));
    fcsd.logicalFapIdInsertedIs(id);
}

// Bytes the allocator has handed out and not taken back, mapped chunks
// included (large bucket arrays are mapped).
std::int64_t allocatedBytes() {
    struct mallinfo2 info = mallinfo2();
    return static_cast<std::int64_t>(info.uordblks + info.hblkhd);
}

// A switch with the plug-in started by its mounter and the table live.
class Rig {
  public:
    explicit Rig(bool tagged) {
        char const* chip = tagged ? kTaggedChip : kChip;
        chipProfileIs(chip, tagged);
        mounter_ = PlinthL3Unicast::MyStationMounter::MyStationMounterIs("myStation");
        mounter_->contextIs(switch_.context());
        mounter_->doInit();
        switch_.sysdb()->doCompleteMounts();
        logicalFapIdIs(*switch_.featureCommon(), chip);
    }
    ~Rig() { mounter_ = nullptr; }

    PlinthAgent::Switch const& sw() const { return switch_; }
    PlinthL3Unicast::MyStationMounter& mounter() const { return *mounter_; }

    bool tableLive() const {
        auto const& sm = mounter_->l3MyStationSm();
        return sm && sm->myStationTable() && switch_.smRunningState()->running();
    }
    // Whether the table holds the entries of `key` (`tables` of them) and the
    // status directory records it; with `present` false, whether all are gone.
    bool programmed(MacVlan const& key, int tables, bool present) const {
        auto const& table = *mounter_->l3MyStationSm()->myStationTable();
        bool primary = table.entry(tableKey(key, false)) != nullptr;
        bool tagged = table.entry(tableKey(key, true)) != nullptr;
        bool status = mounter_->myStationStatusDir()->status(key) != nullptr;
        if (!present) {
            return !primary && !tagged && !status;
        }
        return primary && tagged == (tables == 2) && status;
    }

  private:
    PlinthAgent::Switch switch_;
    Kel::Ptr<PlinthL3Unicast::MyStationMounter> mounter_;
};

// The default ring file for the life of a benchmark, when asked for.
class RingFile {
  public:
    explicit RingFile(bool on) {
        if (!on) {
            return;
        }
        path_ = std::filesystem::temp_directory_path() /
                ("plinth-mystation-bench-" + std::to_string(::getpid()) + ".ring");
        Jotter::defaultHandleIs(path_.string(), 4U << 20);
    }
    ~RingFile() {
        if (!path_.empty()) {
            Jotter::defaultHandleDel();
            std::filesystem::remove(path_);
        }
    }
    RingFile(RingFile const&) = delete;
    RingFile& operator=(RingFile const&) = delete;

  private:
    std::filesystem::path path_;
};

// ---- 1. Router-MAC event -----------------------------------------------------------

bool routerMacRoundTrip(Rig const& rig, std::uint64_t i) {
    auto db = rig.sw().routerMacDb();
    MacVlan key = anyVlanKey(routerMacKey(i).mac);
    db->routerMacIs(routerMacKey(i), {true});
    bool added = rig.programmed(key, 1, true);
    db->routerMacDel(routerMacKey(i));
    return added && rig.programmed(key, 1, false);
}

// One iteration: a router MAC with routing on added to the database, then
// removed; each runs until its table entry and status entry follow.
void routerMacPath(benchmark::State& state, bool ring) {
    Rig rig(false);
    RingFile ringFile(ring);
    if (!rig.tableLive() || !routerMacRoundTrip(rig, kKeyCycle)) {
        state.SkipWithError("router MAC not programmed and removed");
        return;
    }
    Brix::BrixRouterMacDb& db = *rig.sw().routerMacDb();
    std::uint64_t i = 0;
    for (auto _ : state) {
        Brix::MacTypeMask key = routerMacKey(i++ % kKeyCycle);
        db.routerMacIs(key, {true});
        db.routerMacDel(key);
    }
    if (!routerMacRoundTrip(rig, kKeyCycle + 1)) {
        state.SkipWithError("router MAC not programmed and removed after the run");
    }
}
BENCHMARK_CAPTURE(routerMacPath, ringOff, false);
BENCHMARK_CAPTURE(routerMacPath, ringOn, true);

// The payload of a router-MAC status record, held in place.
struct RouterMacStatusRecord {
    Brix::MacTypeMask key;
    bool v4OrV6RoutingEnabled = false;
    Brix::RouterMacStatus status = Brix::RouterMacStatus::unknown;
};

template <template <class, class, class> class Map>
struct RouterMacFloorMaps {
    Map<Brix::MacTypeMask, Brix::BrixRouterMac, MacTypeMaskHash> db;
    Map<Brix::MacTypeMask, RouterMacStatusRecord, MacTypeMaskHash> record;
    Map<MacVlan, MyStationConfig, MacVlanHash> config;
    Map<MacVlanTagged, TableEntry, MacVlanTaggedHash> table;
    Map<MacVlan, MyStationStatus, MacVlanHash> status;

    void add(Brix::MacTypeMask const& mac) {
        MacVlan key = anyVlanKey(mac.mac);
        db.emplace(mac, Brix::BrixRouterMac{true});
        record.emplace(mac, RouterMacStatusRecord{mac, true, Brix::RouterMacStatus::programmed});
        config.emplace(key, MyStationConfig{});
        table.emplace(tableKey(key, false), TableEntry{});
        status.emplace(key, MyStationStatus{});
    }
    void remove(Brix::MacTypeMask const& mac) {
        MacVlan key = anyVlanKey(mac.mac);
        db.erase(mac);
        record.erase(mac);
        config.erase(key);
        table.erase(tableKey(key, false));
        status.erase(key);
    }
};

template <template <class, class, class> class Map>
void routerMacFloor(benchmark::State& state) {
    RouterMacFloorMaps<Map> maps;
    std::uint64_t i = 0;
    for (auto _ : state) {
        Brix::MacTypeMask key = routerMacKey(i++ % kKeyCycle);
        maps.add(key);
        maps.remove(key);
        benchmark::DoNotOptimize(maps);
    }
}
BENCHMARK(routerMacFloor<StdMap>)->Name("routerMacFloor");
BENCHMARK(routerMacFloor<FlatMap>)->Name("routerMacFlatFloor");

// ---- 2. VRRP virtual MAC -------------------------------------------------------------

bool vrrpRoundTrip(Rig const& rig, std::uint32_t vlan, int tables) {
    auto& helper = *rig.mounter().vrrpSmHelper();
    MacVlan key = exactVlanKey(Pakt::EthAddr(kVrrpMac), vlan);
    helper.addVirtualRouterMac(key.addr, vlan);
    bool added = rig.programmed(key, tables, true);
    helper.deleteVirtualRouterMac(key.addr, vlan);
    return added && rig.programmed(key, tables, false);
}

// One iteration: the VRRP helper asked to add a virtual MAC on a VLAN, then
// to delete it, on a chip that needs a second, tagged entry or not.
void vrrpPath(benchmark::State& state, bool tagged) {
    Rig rig(tagged);
    int tables = tagged ? 2 : 1;
    if (!rig.tableLive() || !vrrpRoundTrip(rig, vrrpVlan(0), tables)) {
        state.SkipWithError("VRRP MAC not programmed and removed");
        return;
    }
    PlinthL3Unicast::VrrpSmHelper& helper = *rig.mounter().vrrpSmHelper();
    Pakt::EthAddr mac(kVrrpMac);
    std::uint64_t i = 0;
    for (auto _ : state) {
        std::uint32_t vlan = vrrpVlan(i++);
        helper.addVirtualRouterMac(mac, vlan);
        helper.deleteVirtualRouterMac(mac, vlan);
    }
    if (!vrrpRoundTrip(rig, vrrpVlan(1), tables)) {
        state.SkipWithError("VRRP MAC not programmed and removed after the run");
    }
}
BENCHMARK_CAPTURE(vrrpPath, untagged, false);
BENCHMARK_CAPTURE(vrrpPath, tagged, true);

template <template <class, class, class> class Map>
void vrrpFloorOn(benchmark::State& state, bool tagged) {
    Map<MacVlan, MyStationConfig, MacVlanHash> config;
    Map<MacVlanTagged, TableEntry, MacVlanTaggedHash> table;
    Map<MacVlan, MyStationStatus, MacVlanHash> status;
    Pakt::EthAddr mac(kVrrpMac);
    std::uint64_t i = 0;
    for (auto _ : state) {
        MacVlan key = exactVlanKey(mac, vrrpVlan(i++));
        config.emplace(key, MyStationConfig{});
        table.emplace(tableKey(key, false), TableEntry{});
        if (tagged) {
            table.emplace(tableKey(key, true), TableEntry{});
        }
        status.emplace(key, MyStationStatus{});
        config.erase(key);
        table.erase(tableKey(key, false));
        if (tagged) {
            table.erase(tableKey(key, true));
        }
        status.erase(key);
        benchmark::DoNotOptimize(table);
    }
}
void vrrpFloor(benchmark::State& state, bool tagged) {
    vrrpFloorOn<StdMap>(state, tagged);
}
void vrrpFlatFloor(benchmark::State& state, bool tagged) {
    vrrpFloorOn<FlatMap>(state, tagged);
}
BENCHMARK_CAPTURE(vrrpFloor, untagged, false);
BENCHMARK_CAPTURE(vrrpFloor, tagged, true);
BENCHMARK_CAPTURE(vrrpFlatFloor, untagged, false);
BENCHMARK_CAPTURE(vrrpFlatFloor, tagged, true);

// ---- 3. Table creation -----------------------------------------------------------------

Kel::Ptr<PlinthL3Unicast::MyStationConfigDir> configDirOf(std::size_t entries) {
    Kel::Ptr<PlinthL3Unicast::MyStationConfigDir> dir(new PlinthL3Unicast::MyStationConfigDir());
    for (std::size_t i = 0; i < entries; ++i) {
        MacVlan key = anyVlanKey(Pakt::EthAddr(kRouterMacBase + i));
        MyStationConfig config;
        config.macVlan = key;
        config.l3Enabled = true;
        config.stationFlag = true;
        dir->configIs(key, config);
    }
    return dir;
}

void perEntry(benchmark::State& state, std::size_t entries) {
    state.counters["perEntry"] = benchmark::Counter(
        static_cast<double>(entries),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// From the first logical FAP id to the running state, with the
// configuration entries already there: the table is created and every
// entry programmed and recorded.
void tableCreation(benchmark::State& state) {
    auto const entries = static_cast<std::size_t>(state.range(0));
    chipProfileIs(kChip, false);
    PlinthAgent::Switch sw;
    auto config = configDirOf(entries);
    for (auto _ : state) {
        state.PauseTiming();
        Kel::Ptr<PlinthCentral::FeatureAgentCommonSmData> fcsd(
            Kel::newPtr<PlinthCentral::FeatureAgentCommonSmData>());
        fcsd->logicalModInfoIs(
            LogicalFap::LogicalFapId(kFapId),
            Kel::newPtr<PlinthCentral::LogicalModuleInfo>(PlinthCentral::ChipInfo{kChip, 1}));
        Kel::Ptr<PlinthL3Unicast::MyStationStatusDir> status(
            Kel::newPtr<PlinthL3Unicast::MyStationStatusDir>());
        Kel::Ptr<PlinthL3Unicast::SmRunningState> running(new PlinthL3Unicast::SmRunningState());
        auto sm = PlinthL3Unicast::L3MyStationSm::L3MyStationSmIs(sw.sysdb(), fcsd, config, status,
                                                                  running);
        state.ResumeTiming();
        fcsd->logicalFapIdInsertedIs(LogicalFap::LogicalFapId(kFapId));
        state.PauseTiming();
        bool complete = running->running() && status->status().size() == entries &&
                        sm->myStationTable()->entrys() == entries;
        sm = nullptr;
        status = nullptr;
        fcsd = nullptr;
        state.ResumeTiming();
        if (!complete) {
            state.SkipWithError("table not complete at the running state");
            break;
        }
    }
    perEntry(state, entries);
}
BENCHMARK(tableCreation)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

template <template <class, class, class> class Map>
void tableCreationFloor(benchmark::State& state) {
    auto const entries = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        auto table = std::make_unique<Map<MacVlanTagged, TableEntry, MacVlanTaggedHash>>();
        auto status = std::make_unique<Map<MacVlan, MyStationStatus, MacVlanHash>>();
        state.ResumeTiming();
        for (std::size_t i = 0; i < entries; ++i) {
            MacVlan key = anyVlanKey(Pakt::EthAddr(kRouterMacBase + i));
            table->emplace(tableKey(key, false), TableEntry{});
            status->emplace(key, MyStationStatus{});
        }
        benchmark::DoNotOptimize(table);
        state.PauseTiming();
        table.reset();
        status.reset();
        state.ResumeTiming();
    }
    perEntry(state, entries);
}
BENCHMARK(tableCreationFloor<StdMap>)
    ->Name("tableCreationFloor")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(tableCreationFloor<FlatMap>)
    ->Name("tableCreationFlatFloor")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

// ---- 5. Memory per programmed router MAC ---------------------------------------------

// Bytes the router-MAC database itself takes for `entries` keys: the input,
// not part of what the plug-in and its platform keep.
std::int64_t routerMacDbBytes(std::size_t entries) {
    std::int64_t before = allocatedBytes();
    Kel::Ptr<Brix::BrixRouterMacDb> db(new Brix::BrixRouterMacDb());
    for (std::size_t i = 0; i < entries; ++i) {
        db->routerMacIs(routerMacKey(i), {true});
    }
    return allocatedBytes() - before;
}

// Bytes per entry that the floor's four maps take for `kMemoryEntries`
// router MACs (the database map, the input, left out).
template <template <class, class, class> class Map>
double floorBytesPerEntry() {
    std::int64_t before = allocatedBytes();
    RouterMacFloorMaps<Map> maps;
    for (std::size_t i = 0; i < kMemoryEntries; ++i) {
        maps.add(routerMacKey(i));
    }
    maps.db.clear();
    maps.db.rehash(0);
    return static_cast<double>(allocatedBytes() - before) / kMemoryEntries;
}

// What the plug-in and its platform keep per programmed router MAC (status
// record, configuration entry, table entry, status entry), and the floors'
// bytes for the same four maps.
void memoryPerRouterMac(benchmark::State& state) {
    double path = 0;
    double floor = 0;
    double flatFloor = 0;
    for (auto _ : state) {
        std::int64_t dbBytes = routerMacDbBytes(kMemoryEntries);
        Rig rig(false);
        std::int64_t before = allocatedBytes();
        for (std::size_t i = 0; i < kMemoryEntries; ++i) {
            rig.sw().routerMacDb()->routerMacIs(routerMacKey(i), {true});
        }
        std::int64_t pathBytes = allocatedBytes() - before - dbBytes;
        if (rig.mounter().myStationStatusDir()->status().size() != kMemoryEntries) {
            state.SkipWithError("not every router MAC programmed");
            break;
        }
        path = static_cast<double>(pathBytes) / kMemoryEntries;
        floor = floorBytesPerEntry<StdMap>();
        flatFloor = floorBytesPerEntry<FlatMap>();
    }
    state.counters["bytesPerEntry"] = path;
    state.counters["floorBytesPerEntry"] = floor;
    state.counters["flatFloorBytesPerEntry"] = flatFloor;
}
BENCHMARK(memoryPerRouterMac)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- 6. Agent restart ------------------------------------------------------------------

// A toggle directory of its own for the host, removed at the end.
class ToggleDir {
  public:
    ToggleDir()
        : path_(std::filesystem::temp_directory_path() /
                ("plinth-restart-bench-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(path_);
    }
    ~ToggleDir() { std::filesystem::remove_all(path_); }
    ToggleDir(ToggleDir const&) = delete;
    ToggleDir& operator=(ToggleDir const&) = delete;
    std::string string() const { return path_.string(); }

  private:
    std::filesystem::path path_;
};

// One iteration: the agent stopped and started again, as plinth-agent does
// it, with the chip's logical FAP id present and the system database holding
// router MACs with routing on and VRRP MACs on as many VLANs; the table and
// both directories are complete again before the next.
void agentRestart(benchmark::State& state) {
    namespace S = PlinthAgent::Scenario;
    ToggleDir toggles;
    PlinthAgent::Host host(PLINTH_PLUGIN_PATH, toggles.string());
    std::ostringstream ignored;
    host.apply(S::Start{}, ignored);
    host.apply(S::FapAdd{kFapId, "plinth0"}, ignored);
    for (std::size_t i = 0; i < kRestartRouterMacs; ++i) {
        host.apply(S::RouterMacSet{routerMacKey(i), true}, ignored);
    }
    for (std::size_t i = 0; i < kRestartVrrpMacs; ++i) {
        host.apply(S::VrrpAdd{Pakt::EthAddr(kVrrpMac), vrrpVlan(i)}, ignored);
    }
    std::size_t const entries = kRestartRouterMacs + kRestartVrrpMacs;
    auto complete = [&] {
        auto table = host.table();
        auto status = host.statusDir();
        return table && status && table->entrys() >= entries && status->status().size() >= entries;
    };
    if (!complete()) {
        state.SkipWithError("table not complete before the first restart");
        return;
    }
    for (auto _ : state) {
        host.apply(S::Stop{}, ignored);
        host.apply(S::Start{}, ignored);
        state.PauseTiming();
        bool const done = complete();
        state.ResumeTiming();
        if (!done) {
            state.SkipWithError("table not complete after a restart");
            break;
        }
    }
    perEntry(state, entries);
}
BENCHMARK(agentRestart)->Unit(benchmark::kMillisecond);

// The same restart done on the floor's maps: the old local maps freed, the
// status records dropped and made again, every entry put into the
// configuration directory, the table and the status directory.
template <template <class, class, class> class Map>
void agentRestartFloor(benchmark::State& state) {
    using Records = Map<Brix::MacTypeMask, RouterMacStatusRecord, MacTypeMaskHash>;
    using Local = RouterMacFloorMaps<Map>;
    std::size_t const entries = kRestartRouterMacs + kRestartVrrpMacs;
    auto records = std::make_unique<Records>();
    auto local = std::make_unique<Local>();
    auto fill = [&] {
        for (std::size_t i = 0; i < kRestartRouterMacs; ++i) {
            Brix::MacTypeMask mac = routerMacKey(i);
            MacVlan key = anyVlanKey(mac.mac);
            records->emplace(mac,
                             RouterMacStatusRecord{mac, true, Brix::RouterMacStatus::programmed});
            local->config.emplace(key, MyStationConfig{});
            local->table.emplace(tableKey(key, false), TableEntry{});
            local->status.emplace(key, MyStationStatus{});
        }
        for (std::size_t i = 0; i < kRestartVrrpMacs; ++i) {
            MacVlan key = exactVlanKey(Pakt::EthAddr(kVrrpMac), vrrpVlan(i));
            local->config.emplace(key, MyStationConfig{});
            local->table.emplace(tableKey(key, false), TableEntry{});
            local->status.emplace(key, MyStationStatus{});
        }
    };
    fill();
    for (auto _ : state) {
        local = std::make_unique<Local>();
        for (std::size_t i = 0; i < kRestartRouterMacs; ++i) {
            records->erase(routerMacKey(i));
        }
        fill();
        benchmark::DoNotOptimize(local);
    }
    perEntry(state, entries);
}
BENCHMARK(agentRestartFloor<StdMap>)->Name("agentRestartFloor")->Unit(benchmark::kMillisecond);
BENCHMARK(agentRestartFloor<FlatMap>)->Name("agentRestartFlatFloor")->Unit(benchmark::kMillisecond);

}  // namespace

// Each iteration builds its tables and frees them again. By default the
// allocator hands large freed blocks back to the kernel and takes them again
// with fresh page faults, which on a virtual machine cost more than the work
// measured, and cost the paths and their floors differently. The agent builds
// its tables once; keeping freed memory in the process measures that work.
int main(int argc, char** argv) {
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    return runBenchmarks(argc, argv);
}
