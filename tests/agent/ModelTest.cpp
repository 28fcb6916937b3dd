// Random event sequences against an independent model of what the
// configuration directory, the status directory, the chip table, the
// router-MAC status database and the routing status must hold. The model is
// written from the behaviour the plug-in promises, not from its code.
//
// PLINTH_MODEL_SEED=N replays one seed; PLINTH_MODEL_EVENTS=N sets the
// events per seed (soak runs).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <vector>

#include "Host.h"

namespace {

using PlinthL3Unicast::MacVlan;
using PlinthL3Unicast::MacVlanTagged;

struct EntryModel {
    bool l3;
    std::uint16_t vlanId, vlanIdMask, taggedVlanId, taggedVlanIdMask;
    friend bool operator==(EntryModel const&, EntryModel const&) = default;
};

struct MacStateModel {
    std::uint64_t mac = 0;
    bool valid = false;
    friend bool operator==(MacStateModel const&, MacStateModel const&) = default;
};

class Model {
  public:
    Model(bool vrrpOn, bool tagged) : vrrpOn_(vrrpOn), tagged_(tagged) {}

    // Applies one scenario command to the model. The configuration directory
    // has no defined order, yet the table's replay stops at the first key the
    // chip cannot hold: `order` is the directory's own order after the event.
    void apply(PlinthAgent::Scenario::Command const& c, std::vector<MacVlan> const& order);

    bool started = false;
    // False after a start whose table replay failed: nothing past the VRRP
    // machines was wired.
    bool wired = false;
    bool tableLive = false;
    bool running = false;
    std::map<Brix::MacTypeMask, bool> statusDb;
    std::map<MacVlan, bool> config;  // key -> l3Enabled
    std::set<MacVlan> status;
    std::map<MacVlanTagged, EntryModel> table;
    MacStateModel appliedSystem, appliedVirtual;

  private:
    static MacVlan routerKey(std::uint64_t mac) {
        return {Pakt::EthAddr(mac), 0, 0, Pakt::EthAddr::broadcast()};
    }
    static MacVlanTagged tableKey(MacVlan const& k, bool tagged) {
        return {k.addr, k.vlan, k.vlanMask, Pakt::EthAddr::broadcast(), tagged};
    }
    // Only a change reaches the table programmer: an unchanged write does not
    // program a key that a stopped replay left out.
    void configSet(MacVlan const& k, bool l3) {
        auto [it, inserted] = config.try_emplace(k, l3);
        if (inserted || it->second != l3) {
            it->second = l3;
            program(k);
        }
    }
    void configDel(MacVlan const& k) {
        if (config.erase(k) > 0) {
            unprogram(k);
        }
    }
    static bool chipCannotHold(MacVlan const& k) {
        return k.vlan != 0 && ((k.vlan & 0xffff) > 0xfff || (k.vlanMask & 0xffff) > 0xfff);
    }
    void program(MacVlan const& k) {
        if (!tableLive || chipCannotHold(k)) {
            return;  // the chip cannot hold it: dropped before any write
        }
        std::uint32_t const id = k.vlan & 0xffff, mask = k.vlanMask & 0xffff;
        bool const l3 = config.at(k);
        if (k.vlan == 0) {
            table[tableKey(k, false)] = {l3, 0, 0, 0, 0};
        } else {
            auto i = static_cast<std::uint16_t>(id), m = static_cast<std::uint16_t>(mask);
            table[tableKey(k, false)] = {l3, i, m, 0, 0};
            if (tagged_) {
                table[tableKey(k, true)] = {l3, 0, 0, i, m};
            }
        }
        status.insert(k);
    }
    void unprogram(MacVlan const& k) {
        if (!tableLive) {
            return;
        }
        table.erase(tableKey(k, false));
        if (k.vlan != 0 && tagged_) {
            table.erase(tableKey(k, true));
        }
        status.erase(k);
    }
    void routerMacSeen(Brix::MacTypeMask const& key, bool routing) {
        if (key.macType == Brix::MacType::sharedRouterEncap) {
            return;
        }
        auto it = statusDb.find(key);
        if (it == statusDb.end()) {
            statusDb[key] = routing;
            if (routing) {
                configSet(routerKey(key.mac.value()), true);
            }
        } else if (it->second != routing) {
            it->second = routing;
            routing ? configSet(routerKey(key.mac.value()), true)
                    : configDel(routerKey(key.mac.value()));
        }
    }
    void reconcile(bool system) {
        MacStateModel const n = system ? desiredSystem_ : desiredVirtual_;
        MacStateModel& applied = system ? appliedSystem : appliedVirtual;
        if (!system && !n.valid) {
            configDel(routerKey(n.mac));
        } else {
            if (applied.mac != 0) {
                configDel(routerKey(applied.mac));
            }
            configSet(routerKey(n.mac), n.valid);
        }
        applied = n;
    }
    // False when the replay stopped at a key the chip cannot hold: the keys
    // after it stay out and the table is not reported running.
    bool createTableIfDue(std::vector<MacVlan> const& order) {
        if (!wired || tableLive || faps_.empty()) {
            return true;
        }
        tableLive = true;
        for (MacVlan const& k : order) {
            if (!config.contains(k)) {
                continue;  // written after the table's creation
            }
            if (chipCannotHold(k)) {
                return false;
            }
            program(k);
        }
        running = true;
        return true;
    }
    void start(std::vector<MacVlan> const& order);
    void stop() {
        started = wired = tableLive = running = false;
        config.clear();
        status.clear();
        table.clear();
        appliedSystem = appliedVirtual = {};
    }

    bool const vrrpOn_;
    bool const tagged_;
    std::map<Brix::MacTypeMask, bool> routerMacDb_;
    MacStateModel desiredSystem_, desiredVirtual_;
    std::set<std::pair<std::uint64_t, std::uint32_t>> vrrp_;
    std::set<std::uint16_t> faps_;
};

void Model::start(std::vector<MacVlan> const& order) {
    started = wired = true;
    // The VRRP machines write their entries before the table programmer is
    // made, and its replay takes them.
    if (vrrpOn_) {
        for (auto const& [mac, vlan] : vrrp_) {
            config[{Pakt::EthAddr(mac), vlan, 0xfff, Pakt::EthAddr::broadcast()}] = true;
        }
    }
    if (!createTableIfDue(order)) {
        // The programmer's creation failed and took its table with it; the
        // statuses it wrote stay, and nothing after it was wired.
        wired = tableLive = false;
        table.clear();
        return;
    }
    statusDb.clear();  // stale records of the previous run are dropped
    for (auto const& [key, routing] : routerMacDb_) {
        routerMacSeen(key, routing);
    }
    reconcile(true);
    reconcile(false);
}

void Model::apply(PlinthAgent::Scenario::Command const& command,
                  std::vector<MacVlan> const& order) {
    namespace S = PlinthAgent::Scenario;
    if (auto const* r = std::get_if<S::RouterMacSet>(&command)) {
        auto [it, inserted] = routerMacDb_.try_emplace(r->key, r->routing);
        if (!inserted && it->second == r->routing) {
            return;
        }
        it->second = r->routing;
        if (wired) {
            routerMacSeen(r->key, r->routing);
        }
    } else if (auto const* d = std::get_if<S::RouterMacDel>(&command)) {
        if (routerMacDb_.erase(d->key) > 0 && wired &&
            d->key.macType != Brix::MacType::sharedRouterEncap) {
            statusDb.erase(d->key);
            configDel(routerKey(d->key.mac.value()));
        }
    } else if (auto const* rc = std::get_if<S::RoutingConfig>(&command)) {
        bool const system = rc->kind == S::RouterKind::system;
        MacStateModel& desired = system ? desiredSystem_ : desiredVirtual_;
        MacStateModel const n{rc->mac.value(), rc->valid};
        if (desired == n) {
            return;
        }
        desired = n;
        if (wired) {
            reconcile(system);
        }
    } else if (auto const* va = std::get_if<S::VrrpAdd>(&command)) {
        if (vrrp_.insert({va->mac.value(), va->vlan}).second && started && vrrpOn_) {
            configSet({va->mac, va->vlan, 0xfff, Pakt::EthAddr::broadcast()}, true);
        }
    } else if (auto const* vd = std::get_if<S::VrrpDel>(&command)) {
        if (vrrp_.erase({vd->mac.value(), vd->vlan}) > 0 && started && vrrpOn_) {
            configDel({vd->mac, vd->vlan, 0xfff, Pakt::EthAddr::broadcast()});
        }
    } else if (auto const* fa = std::get_if<S::FapAdd>(&command)) {
        faps_.insert(fa->id);
        createTableIfDue(order);
    } else if (auto const* fd = std::get_if<S::FapDel>(&command)) {
        faps_.erase(fd->id);
    } else if (std::holds_alternative<S::Start>(command)) {
        start(order);
    } else if (std::holds_alternative<S::Stop>(command)) {
        stop();
    }
}

// Random scenario lines over small pools, so that keys collide often.
class EventSource {
  public:
    explicit EventSource(std::uint64_t seed) : rng_(seed) {}

    std::string next(bool started) {
        int const roll = pick(100);
        if (roll < 3) {
            return started ? "stop" : "start";
        }
        if (roll < 30) {
            return "router-mac set " + mac() + " " + type() + " routing=" + onOff();
        }
        if (roll < 40) {
            return "router-mac del " + mac() + " " + type();
        }
        if (roll < 55) {
            return std::string("routing-config ") + (pick(2) ? "system " : "virtual ") + mac() +
                   (pick(3) ? " valid" : " invalid");
        }
        if (roll < 75) {
            return "vrrp add " + mac() + " vlan=" + vlan();
        }
        if (roll < 88) {
            return "vrrp del " + mac() + " vlan=" + vlan();
        }
        if (roll < 95) {
            return "fap add " + std::to_string(pick(3));
        }
        return "fap del " + std::to_string(pick(3));
    }

  private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    std::string mac() {
        static char const* const macs[] = {"00:00:00:00:00:00", "00:1c:73:00:00:01",
                                           "00:1c:73:00:00:02", "00:00:5e:00:01:01",
                                           "00:00:5e:00:02:07", "02:00:00:00:00:04"};
        return macs[pick(6)];
    }
    std::string type() {
        static char const* const types[] = {
            "system",    "virtual", "vrrp", "mlag-peer", "shared-router-encap",
            "interface", "gateway"};
        return types[pick(7)];
    }
    std::string vlan() {
        static char const* const vlans[] = {"0", "1", "100", "4094", "4095", "4096", "0x10005"};
        return vlans[pick(7)];
    }
    std::string onOff() { return pick(3) ? "on" : "off"; }

    std::mt19937_64 rng_;
};

std::uint64_t envNumber(char const* name, std::uint64_t fallback) {
    char const* v = std::getenv(name);
    return v ? std::strtoull(v, nullptr, 0) : fallback;
}

class ModelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        toggleDir_ =
            std::filesystem::temp_directory_path() / ("plinth-model-" + std::to_string(::getpid()));
        std::filesystem::create_directories(toggleDir_);
    }
    void TearDown() override { std::filesystem::remove_all(toggleDir_); }

    // Runs `events` random events from `seed`, comparing after each.
    void runSeed(std::uint64_t seed, bool vrrpOn, bool tagged, std::uint64_t events) {
        std::int64_t const live = Kel::liveObjects();
        {
            PlinthAgent::Host host(PLINTH_PLUGIN_PATH, toggleDir_.string());
            std::ostringstream ignored;
            apply(host, tagged ? "chip tagged-entry on" : "chip tagged-entry off", ignored);
            apply(host, vrrpOn ? "toggle PlinthL3UnicastVrrp on" : "toggle PlinthL3UnicastVrrp off",
                  ignored);
            Model model(vrrpOn, tagged);
            EventSource source(seed);
            for (std::uint64_t i = 0; i < events; ++i) {
                std::string const line = source.next(model.started);
                SCOPED_TRACE("seed " + std::to_string(seed) + " event " + std::to_string(i) + ": " +
                             line);
                auto command = PlinthAgent::Scenario::parseLine(line);
                ASSERT_TRUE(command);
                host.apply(*command, ignored);
                model.apply(*command, configOrder(host));
                ASSERT_NO_FATAL_FAILURE(compare(host, model));
            }
        }
        EXPECT_EQ(Kel::liveObjects(), live) << "seed " << seed << " left objects alive";
    }

    static void apply(PlinthAgent::Host& host, std::string const& line, std::ostream& out) {
        host.apply(*PlinthAgent::Scenario::parseLine(line), out);
    }

    static std::vector<MacVlan> configOrder(PlinthAgent::Host const& host) {
        std::vector<MacVlan> order;
        if (auto dir = host.configDir()) {
            for (auto const& [key, c] : dir->config()) {
                order.push_back(key);
            }
        }
        return order;
    }

    static void compare(PlinthAgent::Host const& host, Model const& model) {
        ASSERT_EQ(host.started(), model.started);
        auto const& sw = host.switchModel();
        std::map<Brix::MacTypeMask, bool> statusDb;
        for (auto const& [key, record] : sw.routerMacStatusDb()->macStatusDb()) {
            ASSERT_EQ(record->status(), Brix::RouterMacStatus::programmed);
            statusDb[key] = record->v4OrV6RoutingEnabled();
        }
        ASSERT_EQ(statusDb, model.statusDb);
        if (!model.started) {
            return;
        }
        ASSERT_EQ(sw.smRunningState()->running(), model.running);
        std::map<MacVlan, bool> config;
        for (auto const& [key, c] : host.configDir()->config()) {
            ASSERT_TRUE(c.stationFlag && !c.configFlag3 && c.configFlag4 && c.configFlag5);
            ASSERT_EQ(c.macVlan, key);
            config[key] = c.l3Enabled;
        }
        ASSERT_EQ(config, model.config);
        std::set<MacVlan> status;
        for (auto const& [key, s] : host.statusDir()->status()) {
            ASSERT_EQ(s, (PlinthL3Unicast::MyStationStatus{{key}}));
            status.insert(key);
        }
        ASSERT_EQ(status, model.status);
        std::map<MacVlanTagged, EntryModel> table;
        if (auto t = host.table()) {
            for (auto const& [key, e] : t->entries()) {
                ASSERT_EQ(e.entryFlag1, 1);
                ASSERT_TRUE(e.entryFlag2 == e.entryFlag3 && e.entryFlag3 == e.entryFlag4);
                ASSERT_EQ(e.macAddr, key.addr);
                ASSERT_EQ(e.macAddrMask, Pakt::EthAddr::broadcast());
                table[key] = {e.entryFlag2 == 1, e.vlanId.value(), e.vlanIdMask.value(),
                              e.taggedVlanId.value(), e.taggedVlanIdMask.value()};
            }
        }
        ASSERT_EQ(table, model.table);
        auto routing = sw.routingStatus();
        ASSERT_EQ((MacStateModel{routing->routerMac().mac.value(), routing->routerMac().valid}),
                  model.appliedSystem);
        ASSERT_EQ((MacStateModel{routing->virtualRouterMac().mac.value(),
                                 routing->virtualRouterMac().valid}),
                  model.appliedVirtual);
    }

    void runSeeds(bool vrrpOn) {
        std::uint64_t const events = envNumber("PLINTH_MODEL_EVENTS", 2500);
        if (char const* only = std::getenv("PLINTH_MODEL_SEED")) {
            std::uint64_t seed = std::strtoull(only, nullptr, 0);
            runSeed(seed, vrrpOn, seed % 2 == 0, events);
            return;
        }
        for (std::uint64_t seed = 1; seed <= 4 && !HasFatalFailure(); ++seed) {
            std::cout << "model: seed " << seed << ", " << events << " events\n";
            runSeed(seed, vrrpOn, seed % 2 == 0, events);
        }
    }

    std::filesystem::path toggleDir_;
};

// The toggle is read once per process, so each setting has a test (and so
// a process) of its own.
TEST_F(ModelTest, RandomEventsWithVrrpOn) {
    runSeeds(true);
}
TEST_F(ModelTest, RandomEventsWithVrrpOff) {
    runSeeds(false);
}

}  // namespace
