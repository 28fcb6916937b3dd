#include "PlinthL3Unicast/L3MyStationHelperSm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
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
constexpr char kSource[] = "PlinthL3Unicast/L3MyStationHelperSm";
constexpr char kHandleRouterMac[] =
    "virtual void PlinthL3Unicast::L3MyStationHelperSm::handleRouterMac(const "
    "Brix::MacTypeMask&, bool, bool)";

MacTypeMask key(std::uint64_t mac, MacType type = MacType::system) {
    return MacTypeMask{Pakt::EthAddr(mac), type};
}
MacState state(std::uint64_t mac, bool valid) {
    return MacState{Pakt::EthAddr(mac), valid};
}
std::string text(std::uint64_t mac) {
    char out[18];
    std::snprintf(out, sizeof out, "00:00:00:00:00:%02x", static_cast<unsigned>(mac));
    return out;
}
std::string text(MacTypeMask const& k) {
    std::ostringstream os;
    os << k;
    return os.str();
}
auto const b01 = [](bool b) { return std::string(b ? "1" : "0"); };

// Journal lines.
auto const set = [](std::uint64_t mac, bool l3) {
    return "config set " + text(mac) + " 0/0 [" + (l3 ? "l3 " : "") + "station flag4 flag5]";
};
auto const del = [](std::uint64_t mac) { return "config del " + text(mac) + " 0/0"; };
auto const routing = [](RouterTypes t, std::uint64_t mac, bool valid) {
    return std::string("routing ") + (t == kSystem ? "system " : "virtual ") + text(mac) +
           (valid ? " valid" : " invalid");
};
auto const recordAdd = [](MacTypeMask const& k) { return "macStatus add " + text(k); };
auto const record = [](MacTypeMask const& k, bool routing) {
    return "macStatus " + text(k) + " routing=" + b01(routing) + " status=2";
};
auto const recordDel = [](MacTypeMask const& k) { return "macStatus del " + text(k); };

// Trace lines, as "LEVEL FUNCTION: TEXT".
std::string const kIntake = "1 handleRouterMac: handleRouterMac";
std::string const kSkip = "1 handleRouterMac:  Skipping received mlag shared router encap for T4 ";
auto const change = [](std::uint64_t mac, bool routing, char const* suffix) {
    return std::string("1 handleRouterMac: ") + kHandleRouterMac + " mac: " + text(mac) +
           " v4OrV6RoutingEnabled: " + b01(routing) + " -- " + suffix;
};
auto const name = [](RouterTypes t) { return t == kSystem ? "systemRouter" : "virtualRouter"; };
std::string const kReconcile = "0 handleRouterType: handleRouterType";
auto const typeLine = [](RouterTypes t) { return kReconcile + " routerType: " + name(t); };
auto const oldLine = [](std::uint64_t mac, bool valid) {
    return kReconcile + " old mac: " + text(mac) + " valid: " + b01(valid);
};
auto const removeLine = [](std::uint64_t mac) {
    return kReconcile + " remove existing mac: " + text(mac) + "/ff:ff:ff:ff:ff:ff vlan: 0/0";
};
auto const addLine = [](std::uint64_t mac, bool l3) {
    return kReconcile + " add new mac: " + text(mac) +
           "/ff:ff:ff:ff:ff:ff vlan: 0/0 l3Enabled: " + b01(l3);
};
auto const updateLine = [](RouterTypes t, std::uint64_t mac, bool valid) {
    return std::string("0 updateRouterMacState: updateRouterMacState routerType: ") + name(t) +
           " mac: " + text(mac) + " valid: " + b01(valid);
};

// A helper on the entities of a switch, with a configuration directory of
// its own; the journal sees the directory, the routing status and the
// router-MAC status database.
class HelperTest : public ::testing::Test {
  protected:
    HelperTest() {
        PlinthTest::Journal::Sources sources;
        sources.config = dir_;
        sources.routing = switch_->routingStatus();
        sources.routerMacStatus = switch_->routerMacStatusDb();
        journal_ = std::make_unique<PlinthTest::Journal>(sources);
    }
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
        static std::regex const shape(
            "L3MyStationHelperSm/([0-9]) PlinthL3Unicast/L3MyStationHelperSm:[0-9]+ (.*)");
        Lines out;
        for (auto const& line : capture_.lines()) {
            std::smatch m;
            out.push_back(std::regex_match(line, m, shape) ? m.str(1) + " " + m.str(2) : line);
        }
        capture_.clear();
        return out;
    }

    std::int64_t const liveAtStart_ = Kel::liveObjects();
    PlinthTest::TraceCapture capture_{"L3MyStationHelperSm"};
    std::unique_ptr<PlinthAgent::Switch> switch_ = std::make_unique<PlinthAgent::Switch>();
    Kel::Ptr<MyStationConfigDir> dir_ = Kel::newPtr<MyStationConfigDir>();
    std::unique_ptr<PlinthTest::Journal> journal_;
    Kel::Ptr<L3MyStationHelperSm> helper_;
};

// Cases print by name, in failure reports and in the names the test list
// gives them.
template <class Case>
requires requires(Case const& c) {
    c.name;
}
void PrintTo(Case const& c, std::ostream* os) {
    *os << c.name;
}
auto const caseName = [](auto const& info) { return std::string(info.param.name); };

// ---- Router MAC intake ----------------------------------------------------------------

struct Call {
    MacTypeMask key;
    bool present;
    bool routing;
};

struct IntakeCase {
    char const* name;
    std::vector<Call> calls;
    Lines journal;  // of the last call
    Lines trace;    // of the last call
};

MacTypeMask const kEncap = key(kA, MacType::sharedRouterEncap);
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
    {"SharedRouterEncapAnnouncedIsSkipped", {{kEncap, true, true}}, {}, {kIntake, kSkip}},
    {"SharedRouterEncapRemovedIsSkipped", {{kEncap, false, true}}, {}, {kIntake, kSkip}},
};
// clang-format on

class IntakeTest : public HelperTest, public ::testing::WithParamInterface<IntakeCase> {};

TEST_P(IntakeTest, KeepsStatusRecordsAndEntries) {
    create();
    for (Call const& call : GetParam().calls) {
        forget();
        helper_->handleRouterMac(call.key, call.present, call.routing);
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
    std::vector<std::uint64_t> written;  // entries already in the directory
    Lines journal;
    Lines trace;
};

// clang-format off
std::vector<ReconcileCase> const kReconcileCases = {
    {"SystemMacChanges", kSystem, state(kA, true), state(kB, true), {kA},
     {del(kA), set(kB, true), routing(kSystem, kB, true)},
     {typeLine(kSystem), oldLine(kA, true), removeLine(kA), addLine(kB, true), updateLine(kSystem, kB, true)}},
    {"SameValidMacIsDeletedAndWrittenAgain", kSystem, state(kA, true), state(kA, true), {kA},
     {del(kA), set(kA, true)},
     {typeLine(kSystem), oldLine(kA, true), removeLine(kA), addLine(kA, true), updateLine(kSystem, kA, true)}},
    {"SystemTurnsInvalidKeepsEntryWithoutL3", kSystem, state(kA, true), state(kA, false), {kA},
     {del(kA), set(kA, false), routing(kSystem, kA, false)},
     {typeLine(kSystem), oldLine(kA, true), removeLine(kA), addLine(kA, false), updateLine(kSystem, kA, false)}},
    {"OldInvalidMacIsRemovedToo", kSystem, state(kA, false), state(kB, true), {kA},
     {del(kA), set(kB, true), routing(kSystem, kB, true)},
     {typeLine(kSystem), oldLine(kA, false), removeLine(kA), addLine(kB, true), updateLine(kSystem, kB, true)}},
    {"ValidZeroMacCountsAsNoneApplied", kSystem, state(0, true), state(kB, true), {0},
     {set(kB, true), routing(kSystem, kB, true)},
     {typeLine(kSystem), oldLine(0, true), addLine(kB, true), updateLine(kSystem, kB, true)}},
    {"VirtualTurnsInvalid", kVirtual, state(kV, true), state(kV, false), {kV},
     {del(kV), routing(kVirtual, kV, false)},
     {typeLine(kVirtual), updateLine(kVirtual, kV, false)}},
    {"VirtualInvalidOtherMacLeavesAppliedEntry", kVirtual, state(kV, true), state(kW, false), {kV},
     {routing(kVirtual, kW, false)},
     {typeLine(kVirtual), updateLine(kVirtual, kW, false)}},
    {"VirtualValidAgainAfterInvalid", kVirtual, state(kV, false), state(kV, true), {},
     {set(kV, true), routing(kVirtual, kV, true)},
     {typeLine(kVirtual), oldLine(kV, false), removeLine(kV), addLine(kV, true), updateLine(kVirtual, kV, true)}},
};
// clang-format on

class ReconcileTest : public HelperTest, public ::testing::WithParamInterface<ReconcileCase> {};

TEST_P(ReconcileTest, ReplacesTheAppliedEntryThenRecordsTheDesiredState) {
    ReconcileCase const& c = GetParam();
    auto config = switch_->routingConfig();
    auto status = switch_->routingStatus();
    c.type == kSystem ? config->routerMacIs(c.desired) : config->virtualRouterMacIs(c.desired);
    c.type == kSystem ? status->routerMacIs(c.applied) : status->virtualRouterMacIs(c.applied);
    for (std::uint64_t mac : c.written) {
        PlinthL3Unicast::MyStationConfig entry;
        entry.macVlan = {Pakt::EthAddr(mac), 0, 0, Pakt::EthAddr::broadcast()};
        entry.l3Enabled = entry.stationFlag = true;
        dir_->configIs(entry.macVlan, entry);
    }
    create();
    forget();
    helper_->handleRouterType(c.type);
    EXPECT_EQ(journal(), c.journal);
    EXPECT_EQ(traced(), c.trace);
}

INSTANTIATE_TEST_SUITE_P(States, ReconcileTest, ::testing::ValuesIn(kReconcileCases), caseName);

// Built by type as a host does, from exactly the five inputs, each in its
// own slot. At initialization what an earlier run left is dropped, the
// router MACs present are taken in, then the system router is reconciled
// before the virtual router.
TEST_F(HelperTest, BuiltByTypeThenInitializedTakesInRouterMacsThenReconcilesBothTypes) {
    switch_->routingConfig()->routerMacIs(state(kA, true));
    switch_->routingConfig()->virtualRouterMacIs(state(kV, true));
    switch_->routerMacStatusDb()->macStatusDbIs(key(kW));
    switch_->routerMacDb()->routerMacIs(key(kB), {true});
    Kel::ArgList args = {Kel::toValue(switch_->routerMacDb()),
                         Kel::toValue(switch_->routerMacStatusDb()),
                         Kel::toValue(switch_->routingConfig()),
                         Kel::toValue(switch_->routingStatus()),
                         Kel::toValue(dir_),
                         {}};
    Kel::TypeImpl const* type = Kel::typeImpl("PlinthL3Unicast::L3MyStationHelperSm");
    EXPECT_THROW(type->genericIfConstructFromCtorArgs(args), Kel::RangeException);
    args.pop_back();
    helper_ = Kel::dynamicPtrCast<L3MyStationHelperSm>(type->genericIfConstructFromCtorArgs(args));
    ASSERT_TRUE(helper_ && helper_->hasNotificationActive());
    helper_->handleInitialized();  // not initialized yet
    EXPECT_EQ(journal(), Lines{recordAdd(key(kW))});
    helper_->initializedIs(true);
    EXPECT_EQ(journal(), (Lines{recordDel(key(kW)), recordAdd(key(kB)), record(key(kB), true),
                                set(kB, true), set(kA, true), routing(kSystem, kA, true),
                                set(kV, true), routing(kVirtual, kV, true)}));
    helper_->initializedIs(false);
    EXPECT_EQ(journal(), Lines{});
}

TEST_F(HelperTest, EachRoutingConfigChangeReconcilesItsOwnRouterType) {
    auto config = switch_->routingConfig();
    create();
    config->virtualRouterMacIs(state(kV, true));  // before initialization: applied at once
    EXPECT_EQ(journal(), (Lines{set(kV, true), routing(kVirtual, kV, true)}));
    config->routerMacIs(state(kA, true));
    EXPECT_EQ(journal(), (Lines{set(kA, true), routing(kSystem, kA, true)}));
    config->notifieeList()->notify(2);  // no MAC state
    EXPECT_EQ(journal(), Lines{});
    config->virtualRouterMacIs(state(kW, true));
    EXPECT_EQ(journal(), (Lines{del(kV), set(kW, true), routing(kVirtual, kW, true)}));
}

// Initialization with all-zero states leaves no entry; a zombie and a
// switched-off helper then hear nothing of either input.
class SilencedHelperTest : public HelperTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SilencedHelperTest, IgnoresRoutingConfigAndRouterMacChanges) {
    create();
    helper_->initializedIs(true);
    // The invalid virtual router state carries the MAC the system router
    // has just written without L3, and deletes it again.
    EXPECT_EQ(journal(), (Lines{set(0, false), del(0)}));
    GetParam() ? helper_->kelDoZombieReactors(true) : helper_->hasNotificationActiveIs(false);
    capture_.clear();
    switch_->routingConfig()->routerMacIs(state(kA, true));
    switch_->routingConfig()->virtualRouterMacIs(state(kV, true));
    switch_->routerMacDb()->routerMacIs(key(kB), {true});
    EXPECT_EQ(journal(), Lines{});
    EXPECT_EQ(traced(), Lines{});
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

// ---- Inputs this switch does not mount ---------------------------------------------------

struct MissingCase {
    char const* name;
    int input;  // the argument of the create operation left null, 0 to 4
    Lines skipped;
    Lines journal;
};

auto const skip = [](char const* reaction, char const* input) {
    return std::string(reaction) + " skipped: " + input + " missing";
};
Lines const kSystemA = {set(kA, true), routing(kSystem, kA, true)};
Lines const kRouterMacB = {recordAdd(key(kB)), record(key(kB), true), set(kB, true)};

// clang-format off
MissingCase const kMissingCases[] = {
    {"RouterMacDb", 0, {}, kSystemA},
    {"RouterMacStatusDb", 1, {skip("handleRouterMac", "routerMacStatusDb")}, kSystemA},
    {"RoutingConfig", 2, Lines(2, skip("handleRouterType", "myStationRoutingConfig")), kRouterMacB},
    {"RoutingStatus", 3, Lines(2, skip("handleRouterType", "myStationRoutingStatus")), kRouterMacB},
    {"ConfigDir", 4, {skip("handleRouterMac", "myStationConfigDir"),
                      skip("handleRouterType", "myStationConfigDir"),
                      skip("handleRouterType", "myStationConfigDir")}, {}},
};
// clang-format on

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
    Lines skipped;
    std::ranges::copy_if(capture_.texts(), std::back_inserter(skipped),
                         [](std::string const& t) { return t.find(" skipped: ") != t.npos; });
    EXPECT_EQ(skipped, c.skipped);
    EXPECT_EQ(journal(), c.journal);
}

INSTANTIATE_TEST_SUITE_P(Inputs, MissingInputTest, ::testing::ValuesIn(kMissingCases), caseName);

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

constexpr auto kBogusType = static_cast<RouterTypes>(2);

struct DeathCase {
    char const* name;
    void (*act)(L3MyStationHelperSm&);
    char const* tracedJustBefore;  // the end of the last trace line before the assertion
    std::string function;
    char const* expression;
};

std::string const kSm = "PlinthL3Unicast::L3MyStationHelperSm::";
std::string const kLookup = "PlinthL3::MacState " + kSm;
std::string const kTypeArg = "(" + kSm + "RouterTypes";
char const* const kUnsupported = "unsupported routerType";

// clang-format off
std::vector<DeathCase> const kDeathCases = {
    {"GetNewMacState", [](auto& h) { h.getNewMacState(kBogusType); }, "",
     kLookup + "getNewMacState" + kTypeArg + ") const", kUnsupported},
    {"GetOldMacState", [](auto& h) { h.getOldMacState(kBogusType); }, "",
     kLookup + "getOldMacState" + kTypeArg + ") const", kUnsupported},
    {"HandleRouterType", [](auto& h) { h.handleRouterType(kBogusType); },
     "handleRouterType: handleRouterType routerType: 2\n",
     kLookup + "getNewMacState" + kTypeArg + ") const", kUnsupported},
    {"UpdateRouterMacState", [](auto& h) { h.updateRouterMacState(kBogusType, MacState{}); },
     "updateRouterMacState: updateRouterMacState routerType: 2 mac: 00:00:00:00:00:00 valid: 0\n",
     "void " + kSm + "updateRouterMacState" + kTypeArg + ", PlinthL3::MacState)", kUnsupported},
    // Nothing is said of a removal that is about to fail.
    {"RemovalOfUnknownRouterMac", [](auto& h) { h.handleRouterMac(key(kA), false, true); },
     "handleRouterMac: handleRouterMac\n", kHandleRouterMac,
     "routerMacStatusDb()->macStatusDbHas( macTypeMask )"},
};
// clang-format on

class HelperDeathTest : public HelperTest, public ::testing::WithParamInterface<DeathCase> {};

// The trace lines go to the error output here, so that the regular
// expression sees which line came last before the assertion.
TEST_P(HelperDeathTest, BrokenInvariantAborts) {
    DeathCase const& c = GetParam();
    create();
    EXPECT_DEATH(
        {
            Kel::traceSinkIs({});
            c.act(*helper_);
        },
        regexEscaped(c.tracedJustBefore) + kSource + ":[0-9]+: " + regexEscaped(c.function) +
            ": Assertion `" + regexEscaped(c.expression) + "' failed\\.");
}

INSTANTIATE_TEST_SUITE_P(Assertions, HelperDeathTest, ::testing::ValuesIn(kDeathCases), caseName);

// The conversions themselves belong to the platform; these are the names.
TEST(RouterTypesTest, NamesAreTheEnumeratorsExactly) {
    EXPECT_EQ(valueToStrep(kSystem), "systemRouter");
    EXPECT_EQ(valueToStrep(kVirtual), "virtualRouter");
    for (std::string const name : {"virtualRouterX", "virtualRoute"}) {
        Kel::CharRange range{name.data(), name.data() + name.size()};
        RouterTypes parsed = kBogusType;
        EXPECT_FALSE(sequenceToValue(range, &parsed)) << name;
        EXPECT_EQ(parsed, kBogusType) << name;
    }
}

}  // namespace
