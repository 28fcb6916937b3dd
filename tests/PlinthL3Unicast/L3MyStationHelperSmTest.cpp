#include "PlinthL3Unicast/L3MyStationHelperSm.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Jotter/RingBuf.h"
#include "Jotter/RingFormat.h"
#include "PlinthL3Records/MyStationDir.h"
#include "Switch.h"
#include "TraceCapture.h"

namespace {

using Brix::MacType;
using Brix::MacTypeMask;
using PlinthL3::MacState;
using PlinthL3Unicast::L3MyStationHelperSm;
using PlinthL3Unicast::MacVlan;
using PlinthL3Unicast::MyStationConfig;
using PlinthL3Unicast::MyStationConfigDir;
using PlinthL3Unicast::RouterTypes;

constexpr char kHandleRouterMacSignature[] =
    "virtual void PlinthL3Unicast::L3MyStationHelperSm::handleRouterMac(const "
    "Brix::MacTypeMask&, bool, bool)";
constexpr char kSource[] = "PlinthL3Unicast/L3MyStationHelperSm";

constexpr std::uint64_t kA = 0x001c7300000a;
constexpr std::uint64_t kB = 0x001c7300000b;
constexpr std::uint64_t kC = 0x001c7300000c;
constexpr std::uint64_t kV = 0x00005e000101;
constexpr std::uint64_t kW = 0x00005e000102;

constexpr RouterTypes kSystem = RouterTypes::systemRouter;
constexpr RouterTypes kVirtual = RouterTypes::virtualRouter;
constexpr auto kBogusType = static_cast<RouterTypes>(2);

MacTypeMask key(std::uint64_t mac, MacType type = MacType::system) {
    return MacTypeMask{Pakt::EthAddr(mac), type};
}
MacState state(std::uint64_t mac, bool valid) {
    return MacState{Pakt::EthAddr(mac), valid};
}
std::string macText(std::uint64_t mac) {
    return Pakt::EthAddr(mac).stringValue();
}
// A bool in a text trace line goes through the stream as it is set.
std::string boolText(bool b) {
    return b ? "1" : "0";
}

// ---- Expected trace texts --------------------------------------------------------

std::string changeLine(std::uint64_t mac, bool routing, char const* suffix) {
    return std::string(kHandleRouterMacSignature) + " mac: " + macText(mac) +
           " v4OrV6RoutingEnabled: " + boolText(routing) + " -- " + suffix;
}
std::string typeLine(RouterTypes t) {
    return "handleRouterType routerType: " + std::string(stringValue(t).stdString());
}
std::string oldLine(std::uint64_t mac, bool valid) {
    return "handleRouterType old mac: " + macText(mac) + " valid: " + boolText(valid);
}
std::string removeLine(std::uint64_t mac) {
    return "handleRouterType remove existing mac: " + macText(mac) + "/ff:ff:ff:ff:ff:ff vlan: 0/0";
}
std::string addLine(std::uint64_t mac, bool l3Enabled) {
    return "handleRouterType add new mac: " + macText(mac) +
           "/ff:ff:ff:ff:ff:ff vlan: 0/0 l3Enabled: " + boolText(l3Enabled);
}
std::string updateLine(RouterTypes t, std::uint64_t mac, bool valid) {
    return "updateRouterMacState routerType: " + stringValue(t).stdString() +
           " mac: " + macText(mac) + " valid: " + boolText(valid);
}
std::string const kIntakeEntry = "handleRouterMac";
std::string const kSkip = " Skipping received mlag shared router encap for T4 ";

// ---- Expected directory and database contents --------------------------------------

using Configs = std::map<MacVlan, MyStationConfig>;
using Statuses = std::map<MacTypeMask, bool>;  // routing flag; status always programmed

MacVlan routerKey(std::uint64_t mac) {
    return MacVlan{Pakt::EthAddr(mac), 0, 0, Pakt::EthAddr::broadcast()};
}

Configs configs(std::vector<std::pair<std::uint64_t, bool>> const& l3EnabledByMac) {
    Configs out;
    for (auto const& [mac, l3Enabled] : l3EnabledByMac) {
        MyStationConfig c;
        c.macVlan = routerKey(mac);
        c.l3Enabled = l3Enabled;
        c.stationFlag = c.configFlag4 = c.configFlag5 = true;
        c.configFlag3 = false;
        out.emplace(c.macVlan, c);
    }
    return out;
}

// A helper on the entities of a switch: router-MAC database, status
// database and the local routing configuration and status, with a
// configuration directory of its own whose changes the test records.
class HelperTest : public ::testing::Test {
  protected:
    HelperTest() : switch_(std::make_unique<PlinthAgent::Switch>()) { dirNew(); }

    void TearDown() override {
        helper_.reset();
        dirWatch_.reset();
        dir_.reset();
        switch_.reset();
        EXPECT_EQ(Kel::liveObjects(), liveAtStart_);
    }

    void dirNew() {
        dirWatch_.reset();
        dir_ = Kel::newPtr<MyStationConfigDir>();
        dirWatch_ = std::make_unique<Vosk::Subscriber>();
        dirWatch_->owner = &dirEvents_;
        dirWatch_->dispatch = &dirDispatch;
        dir_->notifieeList()->subscriberAdd(dirWatch_.get(), false);
    }

    void create() {
        helper_ = L3MyStationHelperSm::L3MyStationHelperSmIs(
            switch_->routerMacDb(), switch_->routerMacStatusDb(), switch_->routingConfig(),
            switch_->routingStatus(), dir_);
    }

    void forget() {
        capture_.clear();
        dirEvents_.clear();
    }

    Configs configsNow() const { return Configs(dir_->config().begin(), dir_->config().end()); }
    // Every record must say programmed; the map holds the routing flags.
    Statuses statusesNow() const {
        Statuses out;
        for (auto const& [k, record] : switch_->routerMacStatusDb()->macStatusDb()) {
            EXPECT_EQ(record->status(), Brix::RouterMacStatus::programmed) << k;
            out.emplace(k, record->v4OrV6RoutingEnabled());
        }
        return out;
    }
    std::pair<MacState, MacState> appliedNow() const {
        auto status = switch_->routingStatus();
        return {status->routerMac(), status->virtualRouterMac()};
    }

    static void dirDispatch(Vosk::Publisher*, Vosk::Subscriber* subscriber, short, void const* key,
                            void const* value) {
        auto* events = static_cast<std::vector<std::string>*>(subscriber->owner);
        auto const& k = *static_cast<MacVlan const*>(key);
        auto const* c = static_cast<MyStationConfig const*>(value);
        events->push_back(c ? "set " + k.addr.stringValue() + " " + boolText(c->l3Enabled)
                            : "del " + k.addr.stringValue());
    }

    std::int64_t const liveAtStart_ = Kel::liveObjects();
    PlinthTest::TraceCapture capture_{"L3MyStationHelperSm"};
    std::unique_ptr<PlinthAgent::Switch> switch_;
    Kel::Ptr<MyStationConfigDir> dir_;
    std::unique_ptr<Vosk::Subscriber> dirWatch_;
    std::vector<std::string> dirEvents_;
    Kel::Ptr<L3MyStationHelperSm> helper_;
};

// ---- Router MAC intake ---------------------------------------------------------------

// Cases print by name in failure reports.
template <class Case>
requires requires(Case const& c) {
    c.name;
}
void PrintTo(Case const& c, std::ostream* os) {
    *os << c.name;
}

struct Call {
    MacTypeMask key;
    bool present;
    bool routing;
};

struct IntakeCase {
    char const* name;
    std::vector<Call> calls;
    std::vector<std::pair<std::uint64_t, bool>> configs;  // MAC, l3Enabled
    Statuses statuses;
    std::vector<std::string> lastCallTrace;
};

MacTypeMask const kEncap = key(kA, MacType::sharedRouterEncap);

// clang-format off
std::vector<IntakeCase> const kIntakeCases = {
    {"NewMacWithRouting", {{key(kA), true, true}},
     {{kA, true}}, {{key(kA), true}}, {kIntakeEntry, changeLine(kA, true, "Added")}},
    {"NewMacWithoutRouting", {{key(kA), true, false}},
     {}, {{key(kA), false}}, {kIntakeEntry, changeLine(kA, false, "Added")}},
    {"RepeatedAnnouncementChangesNothing", {{key(kA), true, true}, {key(kA), true, true}},
     {{kA, true}}, {{key(kA), true}}, {kIntakeEntry}},
    {"RoutingTurnedOff", {{key(kA), true, true}, {key(kA), true, false}},
     {}, {{key(kA), false}}, {kIntakeEntry, changeLine(kA, false, "Updated")}},
    {"RoutingTurnedOn", {{key(kA), true, false}, {key(kA), true, true}},
     {{kA, true}}, {{key(kA), true}}, {kIntakeEntry, changeLine(kA, true, "Updated")}},
    {"Removal", {{key(kA, MacType::gateway), true, true}, {key(kA, MacType::gateway), false, false}},
     {}, {}, {kIntakeEntry, changeLine(kA, false, "Removed")}},
    // The Removed line shows the call's flag, not the stored one.
    {"RemovalOfMacNeverConfigured", {{key(kA), true, false}, {key(kA), false, true}},
     {}, {}, {kIntakeEntry, changeLine(kA, true, "Removed")}},
    {"TwoKeysShareOneEntry", {{key(kA), true, true}, {key(kA, MacType::interface), true, true},
                              {key(kA, MacType::interface), false, false}},
     {}, {{key(kA), true}}, {kIntakeEntry, changeLine(kA, false, "Removed")}},
    {"SharedRouterEncapAnnouncedIsSkipped", {{kEncap, true, true}}, {}, {}, {kIntakeEntry, kSkip}},
    {"SharedRouterEncapRemovedIsSkipped", {{kEncap, false, true}}, {}, {}, {kIntakeEntry, kSkip}},
};
// clang-format on

class IntakeTest : public HelperTest, public ::testing::WithParamInterface<IntakeCase> {};

TEST_P(IntakeTest, KeepsStatusRecordsAndEntries) {
    IntakeCase const& c = GetParam();
    create();
    for (Call const& call : c.calls) {
        forget();
        helper_->handleRouterMac(call.key, call.present, call.routing);
    }
    EXPECT_EQ(configsNow(), configs(c.configs));
    EXPECT_EQ(statusesNow(), c.statuses);
    EXPECT_EQ(capture_.texts(), c.lastCallTrace);
    for (auto const& line : capture_.lines()) {
        EXPECT_EQ(line.rfind(std::string("L3MyStationHelperSm/1 ") + kSource + ":", 0), 0U) << line;
        EXPECT_NE(line.find(" handleRouterMac: "), std::string::npos) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Calls, IntakeTest, ::testing::ValuesIn(kIntakeCases),
                         [](auto const& info) { return std::string(info.param.name); });

// ---- Router type reconciliation ---------------------------------------------------------

struct ReconcileCase {
    char const* name;
    RouterTypes type;
    MacState applied;
    MacState desired;
    std::vector<std::pair<std::uint64_t, bool>> before;  // entries already written
    std::vector<std::string> dirEvents;
    std::vector<std::pair<std::uint64_t, bool>> after;
    std::vector<std::string> trace;
};

std::string set(std::uint64_t mac, bool l3Enabled) {
    return "set " + macText(mac) + " " + boolText(l3Enabled);
}
std::string del(std::uint64_t mac) {
    return "del " + macText(mac);
}

// clang-format off
std::vector<ReconcileCase> const kReconcileCases = {
    {"SystemFirstApplication", kSystem, state(0, false), state(kA, true), {},
     {set(kA, true)}, {{kA, true}},
     {typeLine(kSystem), oldLine(0, false), addLine(kA, true), updateLine(kSystem, kA, true)}},
    {"SystemMacChanges", kSystem, state(kA, true), state(kB, true), {{kA, true}},
     {del(kA), set(kB, true)}, {{kB, true}},
     {typeLine(kSystem), oldLine(kA, true), removeLine(kA), addLine(kB, true),
      updateLine(kSystem, kB, true)}},
    {"SameValidMacIsDeletedAndWrittenAgain", kSystem, state(kA, true), state(kA, true), {{kA, true}},
     {del(kA), set(kA, true)}, {{kA, true}},
     {typeLine(kSystem), oldLine(kA, true), removeLine(kA), addLine(kA, true),
      updateLine(kSystem, kA, true)}},
    {"SystemTurnsInvalidKeepsEntryWithoutL3", kSystem, state(kA, true), state(kA, false), {{kA, true}},
     {del(kA), set(kA, false)}, {{kA, false}},
     {typeLine(kSystem), oldLine(kA, true), removeLine(kA), addLine(kA, false),
      updateLine(kSystem, kA, false)}},
    {"SystemAllZeroIsWrittenNotRemoved", kSystem, state(0, false), state(0, false), {},
     {set(0, false)}, {{0, false}},
     {typeLine(kSystem), oldLine(0, false), addLine(0, false), updateLine(kSystem, 0, false)}},
    // An applied state that is invalid still names a MAC to remove.
    {"OldInvalidMacIsRemovedToo", kSystem, state(kA, false), state(kB, true), {{kA, false}},
     {del(kA), set(kB, true)}, {{kB, true}},
     {typeLine(kSystem), oldLine(kA, false), removeLine(kA), addLine(kB, true),
      updateLine(kSystem, kB, true)}},
    {"VirtualTurnsInvalid", kVirtual, state(kV, true), state(kV, false), {{kV, true}},
     {del(kV)}, {},
     {typeLine(kVirtual), updateLine(kVirtual, kV, false)}},
    {"VirtualInvalidOtherMacLeavesAppliedEntry", kVirtual, state(kV, true), state(kW, false), {{kV, true}},
     {}, {{kV, true}},
     {typeLine(kVirtual), updateLine(kVirtual, kW, false)}},
    {"VirtualValidAgainAfterInvalid", kVirtual, state(kV, false), state(kV, true), {},
     {set(kV, true)}, {{kV, true}},
     {typeLine(kVirtual), oldLine(kV, false), removeLine(kV), addLine(kV, true),
      updateLine(kVirtual, kV, true)}},
};
// clang-format on

class ReconcileTest : public HelperTest, public ::testing::WithParamInterface<ReconcileCase> {};

TEST_P(ReconcileTest, ReplacesTheAppliedEntryAndRecordsTheDesiredState) {
    ReconcileCase const& c = GetParam();
    bool const system = c.type == kSystem;
    auto config = switch_->routingConfig();
    auto status = switch_->routingStatus();
    system ? config->routerMacIs(c.desired) : config->virtualRouterMacIs(c.desired);
    system ? status->routerMacIs(c.applied) : status->virtualRouterMacIs(c.applied);
    for (auto const& [k, v] : configs(c.before)) {
        dir_->configIs(k, v);
    }
    create();
    forget();

    helper_->handleRouterType(c.type);
    EXPECT_EQ(dirEvents_, c.dirEvents);
    EXPECT_EQ(configsNow(), configs(c.after));
    auto const [routerMac, virtualRouterMac] = appliedNow();
    EXPECT_EQ(system ? routerMac : virtualRouterMac, c.desired);
    EXPECT_EQ(system ? virtualRouterMac : routerMac, MacState{});
    EXPECT_EQ(capture_.texts(), c.trace);
    for (auto const& line : capture_.lines()) {
        EXPECT_EQ(line.rfind("L3MyStationHelperSm/0 ", 0), 0U) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(States, ReconcileTest, ::testing::ValuesIn(kReconcileCases),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(HelperTest, InitializationReconcilesSystemRouterThenVirtualRouter) {
    switch_->routingConfig()->routerMacIs(state(kA, true));
    switch_->routingConfig()->virtualRouterMacIs(state(kV, true));
    create();
    helper_->handleInitialized();  // not initialized yet: nothing is written
    EXPECT_TRUE(dirEvents_.empty());
    helper_->initializedIs(true);
    EXPECT_EQ(dirEvents_, (std::vector<std::string>{set(kA, true), set(kV, true)}));
    EXPECT_EQ(appliedNow(), std::make_pair(state(kA, true), state(kV, true)));
}

TEST_F(HelperTest, InitializationWithAllZeroStatesLeavesNoEntry) {
    create();
    helper_->initializedIs(true);
    // The system router writes the all-zero MAC without L3; the invalid
    // virtual router state carries the same MAC and deletes it again.
    EXPECT_EQ(dirEvents_, (std::vector<std::string>{set(0, false), del(0)}));
    EXPECT_EQ(appliedNow(), std::make_pair(MacState{}, MacState{}));
}

TEST_F(HelperTest, RoutingConfigChangesReconcileTheirOwnRouterType) {
    auto config = switch_->routingConfig();
    config->routerMacIs(state(kA, true));
    create();
    config->virtualRouterMacIs(state(kV, true));  // before initialization: applied at once
    EXPECT_EQ(configsNow(), configs({{kV, true}}));
    helper_->initializedIs(true);
    forget();
    config->routerMacIs(state(kB, true));
    config->notifieeList()->notify(2);  // no MAC state: ignored
    config->virtualRouterMacIs(state(kW, true));
    EXPECT_EQ(dirEvents_,
              (std::vector<std::string>{del(kA), set(kB, true), del(kV), set(kW, true)}));
    EXPECT_EQ(appliedNow(), std::make_pair(state(kB, true), state(kW, true)));
}

// A zombie and a switched-off helper both hear nothing of either input.
class SilencedHelperTest : public HelperTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SilencedHelperTest, IgnoresRoutingConfigAndRouterMacChanges) {
    create();
    helper_->initializedIs(true);
    GetParam() ? helper_->kelDoZombieReactors(true) : helper_->hasNotificationActiveIs(false);
    forget();
    switch_->routingConfig()->routerMacIs(state(kA, true));
    switch_->routingConfig()->virtualRouterMacIs(state(kV, true));
    switch_->routerMacDb()->routerMacIs(key(kB), {true});
    EXPECT_TRUE(capture_.texts().empty());
    EXPECT_TRUE(dirEvents_.empty());
    EXPECT_TRUE(statusesNow().empty());
    EXPECT_EQ(appliedNow(), std::make_pair(MacState{}, MacState{}));
}

INSTANTIATE_TEST_SUITE_P(Ways, SilencedHelperTest, ::testing::Values(true, false),
                         [](auto const& info) {
                             return std::string(info.param ? "Zombie" : "NotificationsOff");
                         });

// ---- Life cycle -----------------------------------------------------------------------

TEST_F(HelperTest, SubscriptionsFollowTheNotificationFlag) {
    Vosk::Publisher* config = switch_->routingConfig()->notifieeList();
    Vosk::Publisher* db = switch_->routerMacDb()->notifieeList();
    create();
    for (bool active : {true, true, false, false, true}) {
        helper_->hasNotificationActiveIs(active);
        std::size_t const n = active ? 1 : 0;
        EXPECT_EQ(std::make_pair(config->subscriberCount(), db->subscriberCount()),
                  std::make_pair(n, n));
    }
    helper_.reset();
    EXPECT_EQ(config->subscriberCount() + db->subscriberCount(), 0U);
}

// A restarted agent finds the status records of its earlier run in the
// system database, but a new local store and configuration directory.
TEST_F(HelperTest, RestartedAgentProgramsItsRouterMacsAgain) {
    auto db = switch_->routerMacDb();
    switch_->routingConfig()->routerMacIs(state(kA, true));
    create();
    helper_->initializedIs(true);
    db->routerMacIs(key(kB), {true});
    db->routerMacIs(key(kC, MacType::gateway), {false});
    db->routerMacIs(kEncap, {true});
    EXPECT_EQ(configsNow(), configs({{kA, true}, {kB, true}}));
    helper_.reset();

    db->routerMacDel(key(kB));  // while the agent was down
    db->routerMacIs(key(kV, MacType::interface), {true});
    switch_->localStoreNew();
    dirNew();
    switch_->routingConfig()->routerMacIs(state(kA, true));
    create();
    helper_->initializedIs(true);

    EXPECT_EQ(statusesNow(),
              (Statuses{{key(kC, MacType::gateway), false}, {key(kV, MacType::interface), true}}));
    EXPECT_EQ(configsNow(), configs({{kA, true}, {kV, true}}));
    EXPECT_EQ(appliedNow().first, state(kA, true));
}

// ---- Inputs this switch does not mount ---------------------------------------------------

struct MissingCase {
    char const* name;
    int input;  // the argument of the create operation left null, 0 to 4
    std::vector<std::string> skipped;
    Configs configured;
    Statuses statuses;
    MacState appliedSystem;
};

MissingCase const kMissingCases[] = {
    {"RouterMacStatusDb",
     1,
     {"handleRouterMac skipped: routerMacStatusDb missing"},
     configs({{kA, true}}),
     {},
     state(kA, true)},
    {"RoutingConfig",
     2,
     {"handleRouterType skipped: myStationRoutingConfig missing",
      "handleRouterType skipped: myStationRoutingConfig missing"},
     configs({{kB, true}}),
     {{key(kB), true}},
     state(0, false)},
    {"RoutingStatus",
     3,
     {"handleRouterType skipped: myStationRoutingStatus missing",
      "handleRouterType skipped: myStationRoutingStatus missing"},
     configs({{kB, true}}),
     {{key(kB), true}},
     state(0, false)},
    {"ConfigDir",
     4,
     {"handleRouterMac skipped: myStationConfigDir missing",
      "handleRouterType skipped: myStationConfigDir missing",
      "handleRouterType skipped: myStationConfigDir missing"},
     {},
     {},
     state(0, false)},
};

class MissingInputTest : public HelperTest, public ::testing::WithParamInterface<MissingCase> {};

// The reaction that needs the input is skipped with one line naming it,
// writes nothing, and the other reaction still does its work.
TEST_P(MissingInputTest, SkipsTheReactionThatNeedsItAndSaysSo) {
    MissingCase const& c = GetParam();
    switch_->routingConfig()->routerMacIs(state(kA, true));
    switch_->routerMacDb()->routerMacIs(key(kB), {true});
    auto keep = [&c](int input, auto ptr) { return input == c.input ? nullptr : ptr; };
    helper_ = L3MyStationHelperSm::L3MyStationHelperSmIs(
        keep(0, switch_->routerMacDb()), keep(1, switch_->routerMacStatusDb()),
        keep(2, switch_->routingConfig()), keep(3, switch_->routingStatus()), keep(4, dir_));
    helper_->initializedIs(true);

    std::vector<std::string> skipped;
    std::ranges::copy_if(capture_.texts(), std::back_inserter(skipped),
                         [](std::string const& t) { return t.find(" skipped: ") != t.npos; });
    EXPECT_EQ(skipped, c.skipped);
    EXPECT_EQ(configsNow(), c.configured);
    EXPECT_EQ(statusesNow(), c.statuses);
    EXPECT_EQ(appliedNow().first, c.appliedSystem);
}

INSTANTIATE_TEST_SUITE_P(Inputs, MissingInputTest, ::testing::ValuesIn(kMissingCases),
                         [](auto const& info) { return std::string(info.param.name); });

// ---- Creation by type and reflective access ----------------------------------------------

TEST_F(HelperTest, TypeRecordBuildsActiveHelpersFromExactArguments) {
    Kel::TypeImpl const* type = Kel::typeImpl("PlinthL3Unicast::L3MyStationHelperSm");
    ASSERT_NE(type, nullptr);
    Kel::ArgList args = {Kel::toValue(switch_->routerMacDb()),
                         Kel::toValue(switch_->routerMacStatusDb()),
                         Kel::toValue(switch_->routingConfig()),
                         Kel::toValue(switch_->routingStatus()), Kel::toValue(dir_)};
    Kel::ArgList swapped = args;
    std::swap(swapped[3], swapped[4]);
    Kel::ArgList longer = args;
    longer.push_back(Kel::toValue(dir_));
    for (Kel::ArgList const& bad : {swapped, Kel::ArgList(args.begin(), args.end() - 1), longer}) {
        EXPECT_THROW(type->genericIfConstructFromCtorArgs(bad), Kel::RangeException);
    }
    helper_ = Kel::dynamicPtrCast<L3MyStationHelperSm>(type->genericIfConstructFromCtorArgs(args));
    ASSERT_TRUE(helper_);
    EXPECT_EQ(helper_->fwkType(), type);
    EXPECT_TRUE(helper_->hasNotificationActive());
    // Each argument reached its own slot: the router MAC lands in this directory.
    helper_->handleRouterMac(key(kA), true, true);
    EXPECT_EQ(configsNow(), configs({{kA, true}}));
    EXPECT_EQ(helper_->myStationRoutingStatus(), switch_->routingStatus());
}

TEST_F(HelperTest, AttributeTableAnswersByNameAndIdentity) {
    create();
    Kel::TypeImpl const* type = helper_->fwkType();
    std::vector<std::string> names;
    for (Kel::AttrId id = 0; id < type->attributeCount(); ++id) {
        names.push_back(type->attributeName(id));
    }
    EXPECT_EQ(names, (std::vector<std::string>{
                         "routerMacDb", "routerMacStatusDb", "myStationRoutingConfig",
                         "myStationRoutingStatus", "myStationConfigDir", "handleRouterType",
                         "getNewMacState", "getOldMacState", "updateRouterMacState"}));
    Kel::Value value;
    ASSERT_EQ(type->genericIfAttributeOp(*helper_, "myStationConfigDir", Kel::AttrOp::read, value),
              Kel::kAttrOpOk);
    EXPECT_EQ(Kel::fromValue<Kel::Ptr<MyStationConfigDir>>(value), dir_);
    EXPECT_EQ(type->genericIfAttributeOp(*helper_, "myStationConfigDir", Kel::AttrOp::write, value),
              Kel::kAttrOpNotSupported);
    EXPECT_EQ(type->genericIfAttributeOp(*helper_, "getNewMacState", Kel::AttrOp::read, value),
              Kel::kAttrOpNotSupported);
    EXPECT_EQ(type->genericIfAttributeOp(*helper_, 9, Kel::AttrOp::read, value),
              Kel::kAttrOpNoSuchAttribute);
}

// The lookups read the stored values unchanged; the invocations go through
// the attribute table as a host would call them.
TEST_F(HelperTest, InvokedLookupsAndUpdatesUseTheStoredStates) {
    switch_->routingConfig()->routerMacIs(state(kA, true));
    switch_->routingStatus()->routerMacIs(state(kB, false));
    create();
    auto invoke = [&](char const* name, Kel::ArgList const& args) {
        Kel::Value result;
        EXPECT_EQ(helper_->fwkType()->genericIfAttributeOp(*helper_, name, Kel::AttrOp::invoke,
                                                           result, args),
                  Kel::kAttrOpOk);
        return result;
    };
    auto macState = [](Kel::Value const& v) { return Kel::fromValue<MacState>(v); };
    EXPECT_EQ(macState(invoke("getNewMacState", {kSystem})), state(kA, true));
    EXPECT_EQ(macState(invoke("getNewMacState", {kVirtual})), state(0, false));
    EXPECT_EQ(macState(invoke("getOldMacState", {kSystem})), state(kB, false));
    EXPECT_EQ(macState(invoke("getOldMacState", {kVirtual})), state(0, false));

    invoke("updateRouterMacState", {kVirtual, state(kV, false)});
    EXPECT_EQ(appliedNow(), std::make_pair(state(kB, false), state(kV, false)));
    invoke("handleRouterType", {kSystem});
    EXPECT_EQ(configsNow(), configs({{kA, true}}));
    EXPECT_THROW(invoke("handleRouterType", {std::string("systemRouter")}), Kel::RangeException);
}

// ---- Fatal assertions ----------------------------------------------------------------------

std::string regexEscaped(std::string const& text) {
    std::string out;
    for (char ch : text) {
        if (std::string_view("\\^$.|?*+()[]{}").find(ch) != std::string_view::npos) {
            out += '\\';
        }
        out += ch;
    }
    return out;
}

struct DeathCase {
    char const* name;
    std::function<void(L3MyStationHelperSm&)> act;
    char const* function;
    char const* expression;
};

std::vector<DeathCase> const kDeathCases = {
    {"GetNewMacState", [](auto& h) { h.getNewMacState(kBogusType); },
     "PlinthL3::MacState PlinthL3Unicast::L3MyStationHelperSm::getNewMacState("
     "PlinthL3Unicast::L3MyStationHelperSm::RouterTypes) const",
     "unsupported routerType"},
    {"GetOldMacState", [](auto& h) { h.getOldMacState(kBogusType); },
     "PlinthL3::MacState PlinthL3Unicast::L3MyStationHelperSm::getOldMacState("
     "PlinthL3Unicast::L3MyStationHelperSm::RouterTypes) const",
     "unsupported routerType"},
    {"HandleRouterType", [](auto& h) { h.handleRouterType(kBogusType); },
     "PlinthL3::MacState PlinthL3Unicast::L3MyStationHelperSm::getNewMacState("
     "PlinthL3Unicast::L3MyStationHelperSm::RouterTypes) const",
     "unsupported routerType"},
    {"UpdateRouterMacState", [](auto& h) { h.updateRouterMacState(kBogusType, MacState{}); },
     "void PlinthL3Unicast::L3MyStationHelperSm::updateRouterMacState("
     "PlinthL3Unicast::L3MyStationHelperSm::RouterTypes, PlinthL3::MacState)",
     "unsupported routerType"},
    {"RemovalOfUnknownRouterMac", [](auto& h) { h.handleRouterMac(key(kA), false, true); },
     kHandleRouterMacSignature, "routerMacStatusDb()->macStatusDbHas( macTypeMask )"},
};

class HelperDeathTest : public HelperTest, public ::testing::WithParamInterface<DeathCase> {};

TEST_P(HelperDeathTest, BrokenInvariantAborts) {
    DeathCase const& c = GetParam();
    create();
    EXPECT_DEATH(c.act(*helper_), std::string(kSource) + ":[0-9]+: " + regexEscaped(c.function) +
                                      ": Assertion `" + regexEscaped(c.expression) + "' failed\\.");
}

INSTANTIATE_TEST_SUITE_P(Assertions, HelperDeathTest, ::testing::ValuesIn(kDeathCases),
                         [](auto const& info) { return std::string(info.param.name); });

// ---- RouterTypes and MAC states --------------------------------------------------------

TEST(RouterTypesTest, ConvertsEachEnumeratorBothWays) {
    for (auto const& [number, name] : {std::pair{0U, "systemRouter"}, {1U, "virtualRouter"}}) {
        RouterTypes const value = PlinthL3Unicast::RouterTypesInstance(number);
        EXPECT_EQ(value, static_cast<RouterTypes>(number));
        EXPECT_EQ(PlinthL3Unicast::RouterTypesInstance(Vosk::String(name)), value);
        EXPECT_EQ(valueToStrep(value), name);
        std::string const text = name;
        Kel::CharRange range{text.data(), text.data() + text.size()};
        RouterTypes parsed = kBogusType;
        EXPECT_TRUE(sequenceToValue(range, &parsed));
        EXPECT_EQ(parsed, value);
        EXPECT_EQ(range.begin, range.end);
    }
}

TEST(RouterTypesTest, RefusesWhatIsNoEnumerator) {
    for (unsigned number : {2U, 256U}) {
        EXPECT_THROW(PlinthL3Unicast::RouterTypesInstance(number), Kel::EnumValueException);
    }
    for (char const* name : {"", "systemrouter", "virtualRouterX", "virtualRoute", "1"}) {
        EXPECT_THROW(PlinthL3Unicast::RouterTypesInstance(Vosk::String(name)),
                     Kel::EnumValueException)
            << name;
        std::string const text(name);
        Kel::CharRange range{text.data(), text.data() + text.size()};
        RouterTypes parsed = kBogusType;
        EXPECT_FALSE(sequenceToValue(range, &parsed)) << name;
        EXPECT_EQ(range.begin, text.data()) << name;
    }
    EXPECT_THROW(stringValue(kBogusType), Kel::EnumValueException);
    std::ostringstream out;
    out << kBogusType;
    EXPECT_EQ(out.str(), "2");
}

TEST(ZeroMacStateTest, LooksAtTheMacOnly) {
    for (auto const& [macState, zero] :
         {std::pair{state(0, false), true}, {state(0, true), true}, {state(1, false), false}}) {
        EXPECT_EQ(PlinthL3Unicast::zeroMacState(macState), zero) << macState;
    }
}

// Every site of this unit describes the codes of its arguments in the ring.
TEST_F(HelperTest, EverySiteRecordsItsArgumentCodes) {
    auto const ring =
        std::filesystem::temp_directory_path() / ("helper-ring-" + std::to_string(::getpid()));
    std::filesystem::remove(ring);
    Jotter::defaultHandleIs(ring, 1 << 16);
    switch_->routingConfig()->routerMacIs(state(kA, true));
    create();
    helper_->initializedIs(true);
    switch_->routingConfig()->routerMacIs(state(kB, true));
    auto db = switch_->routerMacDb();
    db->routerMacIs(key(kC), {false});
    db->routerMacIs(key(kC), {true});
    db->routerMacDel(key(kC));
    db->routerMacIs(key(kC, MacType::sharedRouterEncap), {true});
    Jotter::flushDefault();
    std::ifstream in(ring, std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>()};
    Jotter::defaultHandleDel();
    std::filesystem::remove(ring);
    Jotter::RingFormat::Image image;
    ASSERT_EQ(Jotter::RingFormat::parse(bytes, image), "");
    std::map<std::string, std::string> sites;  // format -> "site codes..."
    for (auto const& desc : image.descs) {
        if (desc.source == kSource) {
            std::string& codes = sites[desc.format] = desc.site;
            for (auto code : desc.codes) {
                codes += " " + std::string(Jotter::codeText(code));
            }
        }
    }
    std::string const change =
        std::string(kHandleRouterMacSignature) + " mac: %s v4OrV6RoutingEnabled: %s -- ";
    EXPECT_EQ(sites, (std::map<std::string, std::string>{
                         {"handleInitialized", "handleInitialized"},
                         {"handleRouterType routerType: %s", "handleRouterType u"},
                         {"handleRouterType old mac: %s valid: %s", "handleRouterType EC b"},
                         {"handleRouterType remove existing mac: %s/%s vlan: %s/%s",
                          "handleRouterType EC EC i i"},
                         {"handleRouterType add new mac: %s/%s vlan: %s/%s l3Enabled: %s",
                          "handleRouterType EC EC i i b"},
                         {"updateRouterMacState routerType: %s mac: %s valid: %s",
                          "updateRouterMacState u EC b"},
                         {"handleRouterMac", "handleRouterMac"},
                         {kSkip, "handleRouterMac"},
                         {change + "Added", "handleRouterMac EC b"},
                         {change + "Updated", "handleRouterMac EC b"},
                         {change + "Removed", "handleRouterMac EC b"},
                     }));
}

}  // namespace
