#include "PlinthL3Unicast/L3MyStationHelperSm.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "Journal.h"
#include "PlinthL3Records/MyStationDir.h"
#include "Switch.h"
#include "TraceCapture.h"

namespace {

using Brix::MacType;
using Brix::MacTypeMask;
using PlinthL3::MacState;
using PlinthL3Unicast::L3MyStationHelperSm;
using PlinthL3Unicast::MyStationConfigDir;
using PlinthL3Unicast::RouterTypes;
using Lines = std::vector<std::string>;

constexpr std::uint64_t kA = 0x0a, kB = 0x0b, kV = 0x1a, kW = 0x1b;
constexpr RouterTypes kSystem = RouterTypes::systemRouter;
constexpr RouterTypes kVirtual = RouterTypes::virtualRouter;
constexpr char kHandleRouterMac[] =
    "virtual void PlinthL3Unicast::L3MyStationHelperSm::handleRouterMac(const "
    "Brix::MacTypeMask&, bool, bool)";

auto const key = [](std::uint64_t mac, MacType type = MacType::system) {
    return MacTypeMask{Pakt::EthAddr(mac), type};
};
auto const state = [](std::uint64_t mac, bool v) { return MacState{Pakt::EthAddr(mac), v}; };
template <class T>
std::string str(T const& value) {
    std::ostringstream os;
    os << value;
    return os.str();
}
auto const text = [](std::uint64_t mac) { return str(Pakt::EthAddr(mac)); };

// Journal lines.
Lines operator+(Lines a, Lines const& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
auto const set = [](std::uint64_t mac, bool l3) {
    return "config set " + text(mac) + " 0/0 [" + (l3 ? "l3 " : "") + "station flag4 flag5]";
};
auto const del = [](std::uint64_t mac) { return "config del " + text(mac) + " 0/0"; };
auto const routing = [](RouterTypes t, std::uint64_t mac, bool valid) {
    return std::string("routing ") + (t == kSystem ? "system " : "virtual ") + text(mac) +
           (valid ? " valid" : " invalid");
};
auto const recordAdd = [](MacTypeMask const& k) { return "macStatus add " + str(k); };
auto const recordDel = [](MacTypeMask const& k) { return "macStatus del " + str(k); };
auto const record = [](MacTypeMask const& k, bool routing) {
    return "macStatus " + str(k) + " routing=" + (routing ? "1" : "0") + " status=2";
};

// Trace lines, as "LEVEL TEXT".
std::string const kIntake = "1 handleRouterMac";
std::string const kSkip = "1  Skipping received mlag shared router encap for T4 ";
auto const change = [](std::uint64_t mac, bool routing, char const* suffix) {
    return std::string("1 ") + kHandleRouterMac + " mac: " + text(mac) +
           " v4OrV6RoutingEnabled: " + (routing ? "1 -- " : "0 -- ") + suffix;
};

// A helper on the entities of a switch, with a configuration directory of
// its own; the journal sees the directory, the routing status and the
// router-MAC status database.
class HelperTest : public ::testing::Test {
  protected:
    void TearDown() override {
        helper_.reset();
        journal_.reset();
        dir_.reset();
        switch_.reset();
        EXPECT_EQ(Kel::liveObjects(), liveAtStart_);
    }

    void create() {
        helper_ = L3MyStationHelperSm::L3MyStationHelperSmIs(
            switch_->routerMacDb(), switch_->routerMacStatusDb(), switch_->routingConfig(),
            switch_->routingStatus(), dir_);
    }
    void forget() {
        journal_->take();
        capture_.clear();
    }
    Lines journal() { return journal_->take(); }
    Lines traced() {
        Lines out = capture_.texts();
        for (std::size_t i = 0; i < out.size(); ++i) {
            out[i] = capture_.lines()[i].substr(std::size("L3MyStationHelperSm/") - 1, 2) + out[i];
        }
        capture_.clear();
        return out;
    }

    std::int64_t const liveAtStart_ = Kel::liveObjects();
    PlinthTest::TraceCapture capture_{"L3MyStationHelperSm"};
    std::unique_ptr<PlinthAgent::Switch> switch_ = std::make_unique<PlinthAgent::Switch>();
    Kel::Ptr<MyStationConfigDir> dir_ = Kel::newPtr<MyStationConfigDir>();
    std::unique_ptr<PlinthTest::Journal> journal_ =
        std::make_unique<PlinthTest::Journal>(PlinthTest::Journal::Sources{
            dir_, {}, {}, switch_->routingStatus(), switch_->routerMacStatusDb(), {}, {}});
    Kel::Ptr<L3MyStationHelperSm> helper_;
};

// Cases print by name, in failure reports and in the names the test list
// gives them.
void PrintTo(auto const& c, std::ostream* os) requires std::is_pointer_v<decltype(c.name)> {
    *os << c.name;
}
auto const caseName = [](auto const& info) { return std::string(info.param.name); };

// ---- Router MAC intake ----------------------------------------------------------------

struct IntakeCase {
    char const* name;
    std::vector<std::tuple<MacTypeMask, bool, bool>> calls;  // key, present, routing
    Lines journal;                                           // of the last call
    Lines trace;                                             // of the last call
};

MacTypeMask const kInterface = key(kA, MacType::interface);

// clang-format off
std::vector<IntakeCase> const kIntakeCases = {
    {"NewMacWithRouting", {{key(kA), true, true}},
     {recordAdd(key(kA)), record(key(kA), true), set(kA, true)}, {kIntake, change(kA, true, "Added")}},
    {"NewMacWithoutRouting", {{key(kA), true, false}},
     {recordAdd(key(kA)), record(key(kA), false)}, {kIntake, change(kA, false, "Added")}},
    {"RepeatedAnnouncementChangesNothing", {{key(kA), true, true}, {key(kA), true, true}}, {}, {kIntake}},
    {"RoutingTurnedOff", {{key(kA), true, true}, {key(kA), true, false}},
     {record(key(kA), false), del(kA)}, {kIntake, change(kA, false, "Updated")}},
    {"RoutingTurnedOn", {{key(kA), true, false}, {key(kA), true, true}},
     {record(key(kA), true), set(kA, true)}, {kIntake, change(kA, true, "Updated")}},
    // The Removed line shows the call's flag, not the stored one.
    {"RemovalOfMacNeverConfigured", {{key(kA), true, false}, {key(kA), false, true}},
     {recordDel(key(kA))}, {kIntake, change(kA, true, "Removed")}},
    {"TwoKeysShareOneEntry", {{key(kA), true, true}, {kInterface, true, true}, {kInterface, false, false}},
     {recordDel(kInterface), del(kA)}, {kIntake, change(kA, false, "Removed")}},
    // An entry is only ever deleted for a key that had routing on, or went.
    {"NewKeyWithoutRoutingLeavesTheSharedEntry", {{kInterface, true, true}, {key(kA), true, false}},
     {recordAdd(key(kA)), record(key(kA), false)}, {kIntake, change(kA, false, "Added")}},
    // A removal first: were it not skipped, its assertion would fail.
    {"SharedRouterEncapIsSkipped", {{key(kA, MacType::sharedRouterEncap), false, true}, {key(kA, MacType::sharedRouterEncap), true, true}}, {}, {kIntake, kSkip}},
};
// clang-format on

class IntakeTest : public HelperTest, public ::testing::WithParamInterface<IntakeCase> {};

TEST_P(IntakeTest, KeepsStatusRecordsAndEntries) {
    create();
    for (auto const& [key, present, routing] : GetParam().calls) {
        forget();
        helper_->handleRouterMac(key, present, routing);
    }
    EXPECT_EQ(journal(), GetParam().journal);
    EXPECT_EQ(traced(), GetParam().trace);
}

INSTANTIATE_TEST_SUITE_P(Calls, IntakeTest, ::testing::ValuesIn(kIntakeCases), caseName);

// ---- Router type reconciliation ---------------------------------------------------------

struct ReconcileCase {
    char const* name;
    RouterTypes type;
    MacState applied;
    MacState desired;
    Lines journal;
    Lines trace = {};  // checked where given
};

// clang-format off
std::vector<ReconcileCase> const kReconcileCases = {
    {"SystemMacChanges", kSystem, state(kA, true), state(kB, true),
     {del(kA), set(kB, true), routing(kSystem, kB, true)},
     {"0 handleRouterType routerType: systemRouter",
      "0 handleRouterType old mac: 00:00:00:00:00:0a valid: 1",
      "0 handleRouterType remove existing mac: 00:00:00:00:00:0a/ff:ff:ff:ff:ff:ff vlan: 0/0",
      "0 handleRouterType add new mac: 00:00:00:00:00:0b/ff:ff:ff:ff:ff:ff vlan: 0/0 l3Enabled: 1",
      "0 updateRouterMacState routerType: systemRouter mac: 00:00:00:00:00:0b valid: 1"}},
    {"SameValidMacIsDeletedAndWrittenAgain", kSystem, state(kA, true), state(kA, true),
     {del(kA), set(kA, true)}},
    {"SystemTurnsInvalidKeepsEntryWithoutL3", kSystem, state(kA, true), state(kA, false),
     {del(kA), set(kA, false), routing(kSystem, kA, false)}},
    {"OldInvalidMacIsRemovedToo", kSystem, state(kA, false), state(kB, true),
     {del(kA), set(kB, true), routing(kSystem, kB, true)}},
    {"ValidZeroMacCountsAsNoneApplied", kSystem, state(0, true), state(kB, true),
     {set(kB, true), routing(kSystem, kB, true)}},
    {"VirtualTurnsInvalid", kVirtual, state(kV, true), state(kV, false),
     {del(kV), routing(kVirtual, kV, false)},
     {"0 handleRouterType routerType: virtualRouter",
      "0 updateRouterMacState routerType: virtualRouter mac: 00:00:00:00:00:1a valid: 0"}},
    {"VirtualInvalidOtherMacLeavesAppliedEntry", kVirtual, state(kV, true), state(kW, false),
     {routing(kVirtual, kW, false)}},
    {"VirtualValidAfterInvalidWritesTheEntryAgain", kVirtual, state(kV, false), state(kV, true),
     {del(kV), set(kV, true), routing(kVirtual, kV, true)}},
};
// clang-format on

class ReconcileTest : public HelperTest, public ::testing::WithParamInterface<ReconcileCase> {};

TEST_P(ReconcileTest, ReplacesTheAppliedEntryThenRecordsTheDesiredState) {
    ReconcileCase const& c = GetParam();
    auto const [config, status] = std::pair(switch_->routingConfig(), switch_->routingStatus());
    c.type == kSystem ? config->routerMacIs(c.desired) : config->virtualRouterMacIs(c.desired);
    c.type == kSystem ? status->routerMacIs(c.applied) : status->virtualRouterMacIs(c.applied);
    dir_->configIs({c.applied.mac, 0, 0}, {});  // the entry applied
    create();
    forget();
    helper_->handleRouterType(c.type);
    EXPECT_EQ(journal(), c.journal);
    if (!c.trace.empty()) {
        EXPECT_EQ(traced(), c.trace);
    }
}

INSTANTIATE_TEST_SUITE_P(States, ReconcileTest, ::testing::ValuesIn(kReconcileCases), caseName);

Lines const kRouterMacB = {recordAdd(key(kB)), record(key(kB), true), set(kB, true)};

// Initialization with all-zero states leaves no entry. Then a listening
// helper reconciles the router type whose state changed and takes in router
// MACs; a zombie and a switched-off one hear nothing of either input. Its
// subscriptions follow the notification flag and end with it.
class ListeningTest : public HelperTest, public ::testing::WithParamInterface<char const*> {};

TEST_P(ListeningTest, ReactsToRoutingConfigAndRouterMacsOnlyWhileListening) {
    std::string const way = GetParam();
    auto subscribers = [this] {  // of the routing configuration, and of the router MACs
        return std::make_pair(switch_->routingConfig()->notifieeList()->subscriberCount(),
                              switch_->routerMacDb()->notifieeList()->subscriberCount());
    };
    create();
    helper_->initializedIs(true);
    // The invalid virtual router state carries the MAC the system router
    // has just written without L3, and deletes it again.
    EXPECT_EQ(journal(), (Lines{set(0, false), del(0)}));
    way == "Zombie" ? helper_->kelDoZombieReactors(true)
                    : helper_->hasNotificationActiveIs(way == "Listening");
    std::size_t const n = way == "NotificationsOff" ? 0 : 1;
    EXPECT_EQ(subscribers(), std::make_pair(n, n));
    switch_->routingConfig()->virtualRouterMacIs(state(kV, true));
    switch_->routingConfig()->routerMacIs(state(kA, true));
    switch_->routingConfig()->notifieeList()->notify(2);  // no MAC state
    switch_->routerMacDb()->routerMacIs(key(kB), {true});
    Lines const heard = Lines{set(kV, true), routing(kVirtual, kV, true), set(kA, true),
                              routing(kSystem, kA, true)} +
                        kRouterMacB;
    EXPECT_EQ(journal(), way == "Listening" ? heard : Lines{});
    helper_->hasNotificationActiveIs(true);
    EXPECT_EQ(subscribers(), std::make_pair(1UL, 1UL));
    helper_.reset();
    EXPECT_EQ(subscribers(), std::make_pair(0UL, 0UL));
}

INSTANTIATE_TEST_SUITE_P(Ways, ListeningTest,
                         ::testing::Values("Listening", "Zombie", "NotificationsOff"),
                         [](auto const& info) { return std::string(info.param); });

// ---- Initialization, and inputs this switch does not mount ----------------------------

struct InitCase {
    char const* name;
    int input;  // the argument of the create operation left null, 0 to 4; -1 for none
    Lines skipped;
    Lines journal;
};

Lines const kDropW = {recordDel(key(kW))};  // the record an earlier run left
// Both types after a virtual router change before initialization.
Lines const kTypes = {set(kA, true), routing(kSystem, kA, true), del(kV), set(kV, true)};

// What an earlier run left is dropped, the router MACs present are taken
// in, then the system router is reconciled before the virtual router. A
// reaction that needs a missing input is skipped with one line naming it,
// writes nothing, and the other reaction still does its work.
// clang-format off
InitCase const kInitCases[] = {
    {"AllInputs", -1, {}, kDropW + kRouterMacB + kTypes},
    {"RouterMacDb", 0, {}, kDropW + kTypes},
    {"RouterMacStatusDb", 1, {"handleRouterMac skipped: routerMacStatusDb missing"}, kTypes},
    {"RoutingConfig", 2, Lines(2, "handleRouterType skipped: myStationRoutingConfig missing"), kDropW + kRouterMacB},
    {"RoutingStatus", 3, Lines(2, "handleRouterType skipped: myStationRoutingStatus missing"), kDropW + kRouterMacB},
    {"ConfigDir", 4, Lines{"handleRouterMac skipped: myStationConfigDir missing"} +
                     Lines(2, "handleRouterType skipped: myStationConfigDir missing"), kDropW},
};
// clang-format on

class InitTest : public HelperTest, public ::testing::WithParamInterface<InitCase> {};

// Built by type as a host does, from exactly the five inputs, each in its
// own slot.
TEST_P(InitTest, DropsTakesInThenReconcilesWhatItsInputsAllow) {
    InitCase const& c = GetParam();
    switch_->routingConfig()->routerMacIs(state(kA, true));
    switch_->routerMacDb()->routerMacIs(key(kB), {true});
    auto keep = [&c](int i, auto p) { return Kel::toValue(i == c.input ? nullptr : p); };
    Kel::TypeImpl const* type = Kel::typeImpl("PlinthL3Unicast::L3MyStationHelperSm");
    EXPECT_THROW(type->genericIfConstructFromCtorArgs(Kel::ArgList(6)), Kel::RangeException);
    helper_ = Kel::dynamicPtrCast<L3MyStationHelperSm>(type->genericIfConstructFromCtorArgs(
        {keep(0, switch_->routerMacDb()), keep(1, switch_->routerMacStatusDb()),
         keep(2, switch_->routingConfig()), keep(3, switch_->routingStatus()), keep(4, dir_)}));
    switch_->routingConfig()->virtualRouterMacIs(state(kV, true));  // applied at once
    EXPECT_EQ(journal(),
              c.input < 2 ? (Lines{set(kV, true), routing(kVirtual, kV, true)}) : Lines{});
    switch_->routerMacStatusDb()->macStatusDbIs(key(kW));  // left by an earlier run
    forget();
    helper_->initializedIs(true);
    Lines skipped = capture_.texts();
    std::erase_if(skipped, [](auto const& t) { return t.find(" skipped: ") == t.npos; });
    EXPECT_EQ(skipped, c.skipped);
    EXPECT_EQ(journal(), c.journal);
    helper_->initializedIs(false);
    EXPECT_EQ(journal(), Lines{});
}

INSTANTIATE_TEST_SUITE_P(Inputs, InitTest, ::testing::ValuesIn(kInitCases), caseName);

// ---- Fatal assertions ----------------------------------------------------------------------

constexpr RouterTypes kBogusType{2};

struct DeathCase {
    char const* name;
    void (*act)(L3MyStationHelperSm&);
    std::string tracedJustBefore;  // the end of the last trace line before the assertion
    std::string assertion;         // after the source line's number
};

// clang-format off
std::vector<DeathCase> const kDeathCases = {
    {"GetOldMacState", [](auto& h) { h.getOldMacState(kBogusType); }, "",
     "PlinthL3::MacState PlinthL3Unicast::L3MyStationHelperSm::getOldMacState(PlinthL3Unicast::L3MyStationHelperSm::RouterTypes) const: Assertion `unsupported routerType"},
    {"HandleRouterType", [](auto& h) { h.handleRouterType(kBogusType); }, "handleRouterType: handleRouterType routerType: 2\n",
     "PlinthL3::MacState PlinthL3Unicast::L3MyStationHelperSm::getNewMacState(PlinthL3Unicast::L3MyStationHelperSm::RouterTypes) const: Assertion `unsupported routerType"},
    {"UpdateRouterMacState", [](auto& h) { h.updateRouterMacState(kBogusType, MacState{}); },
     "updateRouterMacState: updateRouterMacState routerType: 2 mac: 00:00:00:00:00:00 valid: 0\n",
     "void PlinthL3Unicast::L3MyStationHelperSm::updateRouterMacState(PlinthL3Unicast::L3MyStationHelperSm::RouterTypes, PlinthL3::MacState): Assertion `unsupported routerType"},
    // Nothing is said of a removal that is about to fail.
    {"RemovalOfUnknownRouterMac", [](auto& h) { h.handleRouterMac(key(kA), false, true); }, "handleRouterMac: handleRouterMac\n",
     kHandleRouterMac + std::string(": Assertion `routerMacStatusDb()->macStatusDbHas( macTypeMask )")},
};
// clang-format on

class HelperDeathTest : public HelperTest, public ::testing::WithParamInterface<DeathCase> {};

// The trace lines go to the error output here, so that the message shows
// which line came last before the assertion.
TEST_P(HelperDeathTest, BrokenInvariantAborts) {
    DeathCase const& c = GetParam();
    create();
    Kel::traceSinkIs({});
    EXPECT_DEATH(c.act(*helper_),
                 ::testing::AllOf(::testing::HasSubstr(c.tracedJustBefore +
                                                       "PlinthL3Unicast/L3MyStationHelperSm:"),
                                  ::testing::HasSubstr(": " + c.assertion + "' failed.")));
}

INSTANTIATE_TEST_SUITE_P(Assertions, HelperDeathTest, ::testing::ValuesIn(kDeathCases), caseName);

}  // namespace
