#include "PlinthL3Unicast/L3MyStationHelperSm.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "CaseName.h"
#include "Journal.h"
#include "NothingLeft.h"
#include "Switch.h"
#include "TraceCapture.h"

namespace {

using namespace Brix;
using namespace PlinthL3Unicast;
using PlinthL3::MacState;
using Lines = std::vector<std::string>;

using Mac = Pakt::EthAddr;
using PlinthTest::text;
constexpr Mac kZero, kA{0x0a}, kB{0x0b}, kV{0x1a}, kW{0x1b};
constexpr RouterTypes kSystem = RouterTypes::systemRouter, kVirtual = RouterTypes::virtualRouter;
constexpr char kHandleRouterMac[] =
    "virtual void PlinthL3Unicast::L3MyStationHelperSm::handleRouterMac(const "
    "Brix::MacTypeMask&, bool, bool)";

// Journal lines, and trace lines as "LEVEL TEXT".
// clang-format off
auto const key = [](Mac m, MacType type = MacType::system) { return MacTypeMask{m, type}; };
auto const set = [](Mac m, bool l3) { return text("config set ", m, " 0/0 [", l3 ? "l3 " : "", "station flag4 flag5]"); };
auto const del = [](Mac m) { return text("config del ", m, " 0/0"); };
auto const routing = [](RouterTypes t, Mac m, bool valid) {
    return text("routing ", t == kSystem ? "system " : "virtual ", m, valid ? " valid" : " invalid"); };
auto const recordAdd = [](Mac m) { return text("macStatus add ", key(m)); };
auto const recordDel = [](Mac m) { return text("macStatus del ", key(m)); };
auto const record = [](Mac m, bool routing) { return text("macStatus ", key(m), " routing=", routing, " status=2"); };
std::string const kIntake = "1 handleRouterMac", kSkip = "1  Skipping received mlag shared router encap for T4 ";
auto const change = [](Mac m, bool routing, char const* suffix) {
    return text("1 ", kHandleRouterMac, " mac: ", m, " v4OrV6RoutingEnabled: ", routing, " -- ", suffix); };
// clang-format on

// A helper on the entities of a switch, with a configuration directory of
// its own; the journal sees the directory, the routing status and the
// router-MAC status database.
struct HelperTest : ::testing::Test {
    // Built by type as a host does, from exactly the five inputs (`extra`:
    // one more), each in its own slot.
    void create(bool extra = false) {
        Kel::ArgList args{Kel::toValue(switch_->routerMacDb()),
                          Kel::toValue(switch_->routerMacStatusDb()),
                          Kel::toValue(switch_->routingConfig()),
                          Kel::toValue(switch_->routingStatus()), Kel::toValue(dir_)};
        if (extra) {
            args.push_back(Kel::toValue(dir_));
        }
        helper_ = Kel::dynamicPtrCast<L3MyStationHelperSm>(
            Kel::typeImpl("PlinthL3Unicast::L3MyStationHelperSm")
                ->genericIfConstructFromCtorArgs(args));
    }

    PlinthTest::NothingLeft const nothingLeft_;  // members go in reverse order
    PlinthTest::TraceCapture capture_{"L3MyStationHelperSm"};
    std::unique_ptr<PlinthAgent::Switch> switch_ = std::make_unique<PlinthAgent::Switch>();
    Kel::Ptr<MyStationConfigDir> dir_ = Kel::newPtr<MyStationConfigDir>();
    PlinthTest::Journal journal_{
        {dir_, {}, {}, switch_->routingStatus(), switch_->routerMacStatusDb(), {}, {}}};
    Kel::Ptr<L3MyStationHelperSm> helper_;
};

using PlinthTest::byName;
using PlinthTest::PrintTo;

// Each call's journal and trace lines: the intake line, then one naming the
// change with the call's own flag. A removal traces after the check that the
// record exists, and a shared router encapsulation is skipped before it.
TEST_F(HelperTest, RouterMacIntakeKeepsStatusRecordsAndEntries) {
    create();
    struct Intake {
        MacTypeMask key;
        bool present, routing;
        Lines written, traced;
    };
    // clang-format off
    Intake const calls[] = {
        {.key = key(kA), .present = true, .routing = true, .written = {recordAdd(kA), record(kA, true), set(kA, true)},
         .traced = {kIntake, change(kA, true, "Added")}},
        {.key = key(kA), .present = true, .routing = false, .written = {record(kA, false), del(kA)},
         .traced = {kIntake, change(kA, false, "Updated")}},
        {.key = key(kA), .present = true, .routing = false, .written = {}, .traced = {kIntake}},
        // The stored flag is off: the line shows the call's.
        {.key = key(kA), .present = false, .routing = true, .written = {recordDel(kA)},
         .traced = {kIntake, change(kA, true, "Removed")}},
        {.key = key(kA, MacType::sharedRouterEncap), .present = false, .routing = true, .written = {},
         .traced = {kIntake, kSkip}},
    };
    // clang-format on
    for (Intake const& c : calls) {
        SCOPED_TRACE(text(c.key) + (c.present ? " present" : " gone"));
        helper_->handleRouterMac(c.key, c.present, c.routing);
        EXPECT_EQ(journal_.take(), c.written);
        EXPECT_EQ(std::exchange(capture_.lines, {}), c.traced);
    }
}

// Initialization with all-zero states leaves no entry. Then the helper
// reconciles the router type whose state changed, the applied entry deleted
// before the desired one is written and the routing status last (an invalid
// virtual router state deletes only its own MAC), and takes in router MACs.
// (That a switched-off reactor hears nothing: the mounter's dispatch tests.)
TEST_F(HelperTest, ReactsToRoutingConfigAndRouterMacs) {
    create();
    helper_->initializedIs(true);
    // The invalid virtual router state carries the MAC the system router
    // has just written without L3, and deletes it again.
    EXPECT_EQ(journal_.take(), (Lines{set(kZero, false), del(kZero)}));
    auto const config = switch_->routingConfig();
    config->virtualRouterMacIs(MacState{kV, true});
    config->routerMacIs(MacState{kA, true});
    config->routerMacIs(MacState{kB, true});
    config->virtualRouterMacIs(MacState{kV, false});
    switch_->routerMacDb()->routerMacIs(key(kW), {true});
    // clang-format off
    Lines const heard = {set(kV, true), routing(kVirtual, kV, true), set(kA, true), routing(kSystem, kA, true),
                         del(kA), set(kB, true), routing(kSystem, kB, true), del(kV), routing(kVirtual, kV, false),
                         recordAdd(kW), record(kW, true), set(kW, true)};
    // clang-format on
    EXPECT_EQ(journal_.take(), heard);
}

// A change of the routing configuration is applied at once; at
// initialization what an earlier run left is dropped, the router MACs present
// are taken in, then the system router is reconciled before the virtual
// router. Taking initialization back writes nothing.
TEST_F(HelperTest, BuiltByTypeThenDropsTakesInAndReconcilesAtInitialization) {
    switch_->routingConfig()->routerMacIs(MacState{kA, true});
    switch_->routerMacDb()->routerMacIs(key(kB), {true});
    EXPECT_THROW(create(true), Kel::RangeException);
    create();
    switch_->routingConfig()->virtualRouterMacIs(MacState{kV, true});
    EXPECT_EQ(journal_.take(), (Lines{set(kV, true), routing(kVirtual, kV, true)}));
    switch_->routerMacStatusDb()->macStatusDbIs(key(kW));  // left by an earlier run
    journal_.take();                                       // not the helper's doing
    helper_->initializedIs(true);
    EXPECT_EQ(journal_.take(),
              (Lines{recordDel(kW), recordAdd(kB), record(kB, true), set(kB, true), set(kA, true),
                     routing(kSystem, kA, true), del(kV), set(kV, true)}));
    helper_->initializedIs(false);
    EXPECT_EQ(journal_.take(), Lines{});
}

// ---- Fatal assertions ----------------------------------------------------------------------

constexpr RouterTypes kBogusType{2};

struct DeathCase {
    char const* name;
    void (*act)(L3MyStationHelperSm&);
    std::string tracedJustBefore;  // the end of the last trace line before the assertion
    std::string assertion;         // after the source line's number
};

// clang-format off
std::string const kSig = "PlinthL3Unicast::L3MyStationHelperSm::", kType = "(" + kSig + "RouterTypes",
                  kState = "PlinthL3::MacState " + kSig, kUnsupported = ": Assertion `unsupported routerType";
std::vector<DeathCase> const kDeathCases = {
    {.name = "GetOldMacState", .act = [](auto& h) { h.getOldMacState(kBogusType); }, .tracedJustBefore = "",
     .assertion = kState + "getOldMacState" + kType + ") const" + kUnsupported},
    {.name = "HandleRouterType", .act = [](auto& h) { h.handleRouterType(kBogusType); },
     .tracedJustBefore = "handleRouterType: handleRouterType routerType: 2\n",
     .assertion = kState + "getNewMacState" + kType + ") const" + kUnsupported},
    {.name = "UpdateRouterMacState", .act = [](auto& h) { h.updateRouterMacState(kBogusType, MacState{}); },
     .tracedJustBefore = "updateRouterMacState: updateRouterMacState routerType: 2 mac: 00:00:00:00:00:00 valid: 0\n",
     .assertion = "void " + kSig + "updateRouterMacState" + kType + ", PlinthL3::MacState)" + kUnsupported},
    // Nothing is said of a removal that is about to fail.
    {.name = "RemovalOfUnknownRouterMac", .act = [](auto& h) { h.handleRouterMac(key(kA), false, true); },
     .tracedJustBefore = "handleRouterMac: handleRouterMac\n",
     .assertion = kHandleRouterMac + std::string(": Assertion `routerMacStatusDb()->macStatusDbHas( macTypeMask )")},
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

INSTANTIATE_TEST_SUITE_P(Assertions, HelperDeathTest, ::testing::ValuesIn(kDeathCases), byName);

}  // namespace
