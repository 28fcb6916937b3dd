// The plug-in driven in this process through the agent's host.
//
// Random event sequences against an independent model of what the
// configuration directory, the status directory, the chip table, the
// router-MAC status database and the routing status must hold. The model is
// written from the behaviour the plug-in promises, not from its code.
//
// PLINTH_MODEL_SEED=N replays one seed; PLINTH_MODEL_EVENTS=N sets the
// events per seed (soak runs).
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <tuple>

#include "AgentProcess.h"
#include "CaseName.h"
#include "Host.h"
#include "Jotter/RingBuf.h"
#include "OwnProcess.h"

namespace {

namespace S = PlinthAgent::Scenario;
using PlinthL3Unicast::MacVlan, PlinthL3Unicast::MacVlanTagged;
// An entry: l3Enabled, VLAN id and mask, tagged VLAN id and mask.
using Entry = std::tuple<bool, std::uint16_t, std::uint16_t, std::uint16_t, std::uint16_t>;
using MacState = std::pair<std::uint64_t, bool>;  // MAC, valid

// What one run of the plug-in holds; a stop ends it. `wired` is false after
// a start whose table replay failed: nothing past the VRRP machines was wired.
struct Run {
    bool started = false, wired = false, tableLive = false, running = false;
    std::map<MacVlan, bool> config;  // key -> l3Enabled
    std::set<MacVlan> status;
    std::map<MacVlanTagged, Entry> table;
    MacState applied[2];  // [1] the system router MAC, [0] the virtual one
};

struct Model : Run {
    Model(bool vrrpOn, bool tagged) : vrrpOn_(vrrpOn), tagged_(tagged) {}

    // Applies one scenario command to the model. The configuration directory
    // has no defined order, yet the table's replay stops at the first key the
    // chip cannot hold: `order` is the directory's own order after the event.
    void apply(S::Command const& command, std::vector<MacVlan> const& order) {
        // A branch whose event changes nothing falls through the others.
        // Shared router encap MACs are skipped on intake: nothing follows them.
        if (auto* r = std::get_if<S::RouterMacSet>(&command);
            r && r->key.macType != Brix::MacType::sharedRouterEncap) {
            auto [it, inserted] = routerMacDb_.try_emplace(r->key, r->routing);
            if ((inserted || std::exchange(it->second, r->routing) != r->routing) && wired) {
                routerMacSeen(r->key, r->routing);
            }
        } else if (auto* d = std::get_if<S::RouterMacDel>(&command);
                   d && routerMacDb_.erase(d->key) && wired) {
            statusDb.erase(d->key);
            configDel(routerKey(d->key.mac.value()));
        } else if (auto* rc = std::get_if<S::RoutingConfig>(&command)) {
            bool const system = rc->kind == S::RouterKind::system;
            MacState const n{rc->mac.value(), rc->valid};
            if (std::exchange(desired_[system], n) != n && wired) {
                reconcile(system);
            }
        } else if (auto* va = std::get_if<S::VrrpAdd>(&command);
                   va && vrrp_.insert(vrrpKey(va->mac, va->vlan)).second && started && vrrpOn_) {
            configSet(vrrpKey(va->mac, va->vlan), true);
        } else if (auto* vd = std::get_if<S::VrrpDel>(&command);
                   vd && vrrp_.erase(vrrpKey(vd->mac, vd->vlan)) && started && vrrpOn_) {
            configDel(vrrpKey(vd->mac, vd->vlan));
        } else if (auto* fa = std::get_if<S::FapAdd>(&command)) {
            faps_.insert(fa->id);
            createTableIfDue(order);
        } else if (auto* fd = std::get_if<S::FapDel>(&command)) {
            faps_.erase(fd->id);
        } else if (std::holds_alternative<S::Start>(command)) {
            start(order);
        } else if (std::holds_alternative<S::Stop>(command)) {
            static_cast<Run&>(*this) = {};
        }
    }

    static MacVlan routerKey(std::uint64_t mac) { return {Pakt::EthAddr(mac), 0, 0}; }
    static MacVlan vrrpKey(Pakt::EthAddr mac, std::uint32_t vlan) { return {mac, vlan, 0xfff}; }
    static MacVlanTagged tableKey(MacVlan const& k, bool tagged) {
        return {k.addr, k.vlan, k.vlanMask, Pakt::EthAddr::broadcast(), tagged};
    }
    // Only a change reaches the table programmer: an unchanged write does not
    // program a key that a stopped replay left out.
    void configSet(MacVlan const& k, bool l3) {
        auto [it, inserted] = config.try_emplace(k, l3);
        if (inserted || std::exchange(it->second, l3) != l3) {
            program(k);
        }
    }
    void configDel(MacVlan const& k) {
        if (config.erase(k) > 0 && tableLive) {
            table.erase(tableKey(k, false));
            table.erase(tableKey(k, true));
            status.erase(k);
        }
    }
    // False when the chip cannot hold the key (a VLAN id or mask wider than
    // 12 bits on a key with a VLAN): it is dropped before any write.
    bool program(MacVlan const& k) {
        bool const tooWide = (k.vlan & 0xffff) > 0xfff || (k.vlanMask & 0xffff) > 0xfff;
        if (!tableLive || (k.vlan != 0 && tooWide)) {
            return !tableLive;
        }
        auto const id = static_cast<std::uint16_t>(k.vlan),
                   mask = static_cast<std::uint16_t>(k.vlanMask);
        bool const l3 = config.at(k);
        table[tableKey(k, false)] = {l3, id, k.vlan == 0 ? 0 : mask, 0, 0};
        if (k.vlan != 0 && tagged_) {
            table[tableKey(k, true)] = {l3, 0, 0, id, mask};
        }
        status.insert(k);
        return true;
    }
    void routerMacSeen(Brix::MacTypeMask const& key, bool routing) {
        auto [it, inserted] = statusDb.try_emplace(key, routing);
        if (inserted ? routing : std::exchange(it->second, routing) != routing) {
            routing ? configSet(routerKey(key.mac.value()), true)
                    : configDel(routerKey(key.mac.value()));
        }
    }
    void reconcile(bool system) {
        MacState const n = desired_[system];
        if (!system && !n.second) {
            configDel(routerKey(n.first));
        } else {
            if (applied[system].first != 0) {
                configDel(routerKey(applied[system].first));
            }
            configSet(routerKey(n.first), n.second);
        }
        applied[system] = n;
    }
    // False when the replay stopped at a key the chip cannot hold: the keys
    // after it stay out and the table is not reported running.
    bool createTableIfDue(std::vector<MacVlan> const& order) {
        if (!wired || tableLive || faps_.empty()) {
            return true;
        }
        tableLive = true;
        for (MacVlan const& k : order) {
            // A key not in the model's configuration was written after the
            // table's creation.
            if (config.contains(k) && !program(k)) {
                return false;
            }
        }
        return running = true;
    }
    void start(std::vector<MacVlan> const& order) {
        started = wired = true;
        // The VRRP machines write their entries before the table programmer
        // is made, and its replay takes them.
        if (vrrpOn_) {
            std::ranges::for_each(vrrp_, [&](MacVlan const& k) { config[k] = true; });
        }
        if (!createTableIfDue(order)) {
            // The programmer's creation failed and took its table with it;
            // the statuses it wrote stay, and nothing after it was wired.
            wired = tableLive = false;
            table.clear();
            return;
        }
        statusDb.clear();  // stale records of the previous run are dropped
        std::ranges::for_each(routerMacDb_,
                              [&](auto const& kv) { routerMacSeen(kv.first, kv.second); });
        reconcile(true);
        reconcile(false);
    }

    bool const vrrpOn_, tagged_;
    std::map<Brix::MacTypeMask, bool> statusDb;  // outlives a stop
    std::map<Brix::MacTypeMask, bool> routerMacDb_;
    MacState desired_[2];
    std::set<MacVlan> vrrp_;
    std::set<std::uint16_t> faps_;
};

char const* const kMacs[] = {"00:00:00:00:00:00", "00:1c:73:00:00:01", "00:1c:73:00:00:02",
                             "00:00:5e:00:01:01", "00:00:5e:00:02:07", "02:00:00:00:00:04"};
char const* const kTypes[] = {"system",    "virtual", "vrrp", "mlag-peer", "shared-router-encap",
                              "interface", "gateway"};
char const* const kVlans[] = {"0", "1", "100", "4094", "4095", "4096", "0x10005"};

// Random scenario lines over small pools, so that keys collide often.
struct EventSource {
    std::mt19937_64 rng;

    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
    std::string next(bool started) {
        int const roll = pick(100);
        std::string const mac = kMacs[pick(6)], type = kTypes[pick(7)];
        if (roll < 3) {
            return started ? "stop" : "start";
        }
        if (roll < 40) {
            return roll < 30 ? "router-mac set " + mac + " " + type +
                                   (pick(3) ? " routing=on" : " routing=off")
                             : "router-mac del " + mac + " " + type;
        }
        if (roll < 55) {
            return (pick(2) ? "routing-config system " : "routing-config virtual ") + mac +
                   (pick(3) ? " valid" : " invalid");
        }
        if (roll < 88) {
            return (roll < 75 ? "vrrp add " : "vrrp del ") + mac + " vlan=" + kVlans[pick(7)];
        }
        return std::string(roll < 95 ? "fap add " : "fap del ") + std::to_string(pick(3));
    }
};

void compare(PlinthAgent::Host const& host, Model const& model) {
    ASSERT_EQ(host.started(), model.started);
    auto const& sw = host.switchModel();
    std::map<Brix::MacTypeMask, bool> statusDb;
    for (auto const& [key, record] : sw.routerMacStatusDb()->macStatusDb()) {
        ASSERT_EQ(record.status(), Brix::RouterMacStatus::programmed);
        statusDb[key] = record.v4OrV6RoutingEnabled();
    }
    ASSERT_EQ(statusDb, model.statusDb);
    if (!model.started) {
        return;
    }
    ASSERT_EQ(sw.smRunningState()->running(), model.running);
    std::map<MacVlan, bool> config;
    for (auto const& [key, c] : host.configDir()->config()) {
        ASSERT_TRUE(c.macVlan == key && c.stationFlag && !c.configFlag3 && c.configFlag4 &&
                    c.configFlag5);
        config[key] = c.l3Enabled;
    }
    ASSERT_EQ(config, model.config);
    std::set<MacVlan> status;
    for (auto const& [key, s] : host.statusDir()->status()) {
        ASSERT_EQ(s, (PlinthL3Unicast::MyStationStatus{{key}}));
        status.insert(key);
    }
    ASSERT_EQ(status, model.status);
    std::map<MacVlanTagged, Entry> table;
    if (auto t = host.table()) {
        for (auto const& [key, e] : t->entries()) {
            ASSERT_TRUE(e.entryFlag1 == 1 && e.entryFlag2 == e.entryFlag3 &&
                        e.entryFlag3 == e.entryFlag4 && e.macAddr == key.addr &&
                        e.macAddrMask == Pakt::EthAddr::broadcast());
            table[key] = {e.entryFlag2 == 1, e.vlanId.value(), e.vlanIdMask.value(),
                          e.taggedVlanId.value(), e.taggedVlanIdMask.value()};
        }
    }
    ASSERT_EQ(table, model.table);
    auto const &system = sw.routingStatus()->routerMac(),
               &virt = sw.routingStatus()->virtualRouterMac();
    ASSERT_EQ(MacState(system.mac.value(), system.valid), model.applied[1]);
    ASSERT_EQ(MacState(virt.mac.value(), virt.valid), model.applied[0]);
}

class ModelTest : public PlinthTest::AgentDirTest, public testing::WithParamInterface<bool> {};

// Runs PLINTH_MODEL_EVENTS (2,500) random events from each seed (or the one
// PLINTH_MODEL_SEED names), comparing after each; the even seeds on a chip
// that wants tagged entries. The toggle is read once per process, so each
// setting runs in a process of its own.
TEST_P(ModelTest, StateMatchesAnIndependentModelAfterEveryEvent) {
    PlinthTest::inOwnProcess([&] {
        bool const vrrpOn = GetParam();
        char const* const only = std::getenv("PLINTH_MODEL_SEED");
        char const* const events = std::getenv("PLINTH_MODEL_EVENTS");
        std::uint64_t const n = events ? std::strtoull(events, nullptr, 0) : 2500;
        std::uint64_t const first = only ? std::strtoull(only, nullptr, 0) : 1;
        for (std::uint64_t seed = first; seed <= (only ? first : 4); ++seed) {
            std::cout << "model: seed " << seed << ", " << n << " events\n";
            std::int64_t const live = Kel::liveObjects();
            {
                PlinthAgent::Host host(PLINTH_PLUGIN_PATH, dir_.string());
                std::ostringstream ignored;
                host.apply(S::ChipTaggedEntry{seed % 2 == 0}, ignored);
                host.apply(S::ToggleSet{"PlinthL3UnicastVrrp", vrrpOn}, ignored);
                Model model(vrrpOn, seed % 2 == 0);
                EventSource source{std::mt19937_64(seed)};
                for (std::uint64_t i = 0; i < n; ++i) {
                    std::string const line = source.next(model.started);
                    SCOPED_TRACE("seed " + std::to_string(seed) + " event " + std::to_string(i) +
                                 ": " + line);
                    auto command = S::parseLine(line);
                    host.apply(*command, ignored);
                    auto const dir = host.configDir();  // and its own order
                    model.apply(*command, dir ? dir->config().keys() : std::vector<MacVlan>{});
                    ASSERT_NO_FATAL_FAILURE(compare(host, model));
                }
            }
            EXPECT_EQ(Kel::liveObjects(), live) << "seed " << seed << " left objects alive";
        }
    });
}
INSTANTIATE_TEST_SUITE_P(, ModelTest, testing::Bool(), PlinthTest::byFlag("VrrpOn", "VrrpOff"));

// Every trace site of the plug-in records its arguments in the ring file
// under the codes of their types: the agent's host runs scenarios that reach
// the sites, and the descriptions in the ring file are compared with one
// table.
// Each site's whole format -> its codes, one per argument.
// clang-format off
std::string const kHelperSm = "virtual void PlinthL3Unicast::L3MyStationHelperSm::handleRouterMac("
                              "const Brix::MacTypeMask&, bool, bool) mac: %s v4OrV6RoutingEnabled: %s -- ",
                  kMounter = "virtual void PlinthL3Unicast::MyStationMounter::",
                  kSm = "void PlinthL3Unicast::L3MyStationSm::", kVrrp = "PlinthL3Unicast::VrrpSmHelper::";
std::map<std::string, std::string> const kExpected = {
    // L3MyStationMounter
    {kMounter + "doInit()", ""},
    {kMounter + "doMountsComplete(Corral::MountStatus, const Ptr&), mountStatus = %s, em = %s", "u q"},
    {"toggle file unreadable, default used: %s", "p"},
    {"routing/fhrp/hardware/status missing, My Station wiring refused", ""},
    {"brixL3Status missing, My Station wiring refused", ""},
    // L3MyStationHelperSm
    {"handleRouterMac", ""},
    {" Skipping received mlag shared router encap for T4 ", ""},
    {kHelperSm + "Added", "EC b"}, {kHelperSm + "Updated", "EC b"}, {kHelperSm + "Removed", "EC b"},
    {"handleRouterType routerType: %s", "u"},
    {"handleRouterType old mac: %s valid: %s", "EC b"},
    {"handleRouterType remove existing mac: %s/%s vlan: %s/%s", "EC EC i i"},
    {"handleRouterType add new mac: %s/%s vlan: %s/%s l3Enabled: %s", "EC EC i i b"},
    {"updateRouterMacState routerType: %s mac: %s valid: %s", "u EC b"},
    {"handleInitialized", ""},
    {"%s skipped: %s missing", "p p"},
    // L3MyStationSm
    {kSm + "handleInitialized()", ""},
    {kSm + "handleLogicalFapId()", ""},
    {"handleLogicalFapId MyStationTable is already initialized ", ""},
    {"handleLogicalFapId no module information for %s, waiting", "s"},
    {kSm + "handleLogicalFapId(LogicalFap::LogicalFapId) module: %s", "s"},
    {kSm + "handleLogicalFapId(LogicalFap::LogicalFapId) chipInfo: %s", "p"},
    {kSm + "handleConfig()", ""},
    {"handleConfig addr: %s vlan/mask: 0x%s%s/0x%s", "EC x i i"},
    {"handleConfig MyStationTable is not yet initialized ", ""},
    {"handleConfig Routing is enabled ", ""},
    {"handleConfig Routing is disabled ", ""},
    // L3VrrpHelper
    {"virtual bool " + kVrrp + "addVirtualRouterMac(const Pakt::EthAddr&, U32), mac: %s, vlan: %s", "EC i"},
    {"virtual void " + kVrrp + "deleteVirtualRouterMac(const Pakt::EthAddr&, U32), mac: %s, vlan: %s", "EC i"},
    {"void " + kVrrp + "configureTcam(const Pakt::EthAddr&, U32, bool) macAddr: %s vlanId: %s", "EC i"},
    {"virtual void " + kVrrp + "syncVrrpStateOnInit(const Ptr&)", ""},
    // A dispatch entry's failure.
    {"%s dropped a change: %s", "p p"},
};
// clang-format on

// Scenarios that together reach every site above, each on a switch of its
// own. "unmoduled" stands for an id the chip agent announces before its
// module information, which no scenario command can do.
std::vector<std::string> const kScenarios = {
    // Every router type, intake change and table state.
    "chip tagged-entry on\nrouter-mac set 00:1c:73:00:00:01 interface routing=on\n"
    "router-mac set 00:1c:73:00:00:02 shared-router-encap routing=on\n"
    "routing-config system 00:1c:73:00:00:0a valid\n"
    "routing-config virtual 00:1c:73:00:00:0b valid\nstart\nunmoduled\n"
    "vrrp add 00:00:5e:00:01:01 vlan=10\nfap add 0\nfap add 1\n"
    "router-mac set 00:1c:73:00:00:01 interface routing=off\n"
    "router-mac del 00:1c:73:00:00:01 interface\nrouting-config system 00:1c:73:00:00:0c valid\n"
    "vrrp del 00:00:5e:00:01:01 vlan=10\nvrrp add 00:00:5e:00:01:02 vlan=4096\nstop\nstart\n",
    // Missing inputs, and a mount completion that fails at the table's replay.
    "omit hardware/brix/routerMacStatusDb/l3RouterMacStatusDb\n"
    "omit l3/myStationRoutingConfig\nomit l3/smState/2\n"
    "router-mac set 00:1c:73:00:00:01 interface routing=on\n"
    "vrrp add 00:00:5e:00:01:02 vlan=4096\nfap add 0\nstart\n",
    "omit featureCommon\nstart\n",
    "omit routing/fhrp/hardware/status\nstart\n",
    "omit brixL3Status\nstart\n",
};

using TraceSitesTest = PlinthTest::AgentDirTest;

TEST_F(TraceSitesTest, EverySiteRecordsTheCodesOfItsArguments) {
    PlinthTest::inOwnProcess([&] {
        std::string const ring = dir_ / "trace.ring";
        Jotter::defaultHandleIs(ring, 4U << 20);
        file("PlinthLib.json", "{not json");  // toggles are read once, by the first switch
        for (auto const& scenario : kScenarios) {
            PlinthAgent::Host host(PLINTH_PLUGIN_PATH, dir_.string());
            std::istringstream lines(scenario);
            std::ostringstream ignored;
            for (std::string line; std::getline(lines, line);) {
                if (line == "unmoduled") {
                    host.switchModel().featureCommon()->logicalFapIdInsertedIs(
                        LogicalFap::LogicalFapId(5));
                } else {
                    host.apply(*PlinthAgent::Scenario::parseLine(line), ignored);
                }
            }
        }
        Jotter::defaultHandleDel();

        std::string const raw = PlinthTest::slurp(ring);
        std::vector<std::uint8_t> const bytes(raw.begin(), raw.end());
        Jotter::RingFormat::Image image;  // views into `bytes`
        ASSERT_EQ(Jotter::RingFormat::parse(bytes, image), "");
        // Each site of the plug-in that the scenarios reached, with its codes.
        std::set<std::pair<std::string, std::string>> seen;
        for (auto const& desc : image.descs) {
            if (desc.source.starts_with("PlinthL3Unicast/")) {
                std::string codes;
                for (auto code : desc.codes) {
                    codes += (codes.empty() ? "" : " ") + std::string(Jotter::codeText(code));
                }
                seen.emplace(desc.format, codes);
            }
        }
        EXPECT_EQ(seen, decltype(seen)(kExpected.begin(), kExpected.end()));
    });
}

}  // namespace
