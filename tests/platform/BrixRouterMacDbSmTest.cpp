#include "Brix/BrixRouterMacDbSm.h"

#include <gtest/gtest.h>

#include <sstream>

#include "CaseName.h"
#include "NothingLeft.h"

namespace {

using namespace Brix;
using Lines = std::vector<std::string>;
using PlinthTest::PrintTo;

MacTypeMask key(std::uint64_t mac, MacType type = MacType::system) {
    return MacTypeMask{Pakt::EthAddr(mac), type};
}

// Logs every call the base makes; like the plug-in, it keeps a status
// record per key reported present, and its initialization line lists the
// records then held. A MAC shows as its number.
struct RecordingSm : BrixRouterMacDbSm {
    RecordingSm(Kel::Ptr<BrixRouterMacDb const> const& db,
                Kel::Ptr<BrixRouterMacStatusDb> const& statusDb)
        : BrixRouterMacDbSm(db, statusDb) {}

    void handleRouterMac(MacTypeMask const& k, bool present, bool routing) override {
        std::ostringstream os;
        os << k.macType << ' ' << k.mac.value() << (present ? " present" : " absent")
           << (routing ? " routing" : "");
        log.push_back(os.str());
        if (present) {
            routerMacStatusDb()->macStatusDbIs(k);
        }
    }
    void handleInitialized() override {
        log.push_back(initialized() ? "init on:" : "init off:");
        for (auto const& [k, record] : routerMacStatusDb()->macStatusDb()) {
            log.back() += ' ' + std::to_string(k.mac.value());
        }
    }
    Lines log;
};

struct Rig {
    Kel::Ptr<BrixRouterMacDb> db = Kel::newPtr<BrixRouterMacDb>();
    Kel::Ptr<BrixRouterMacStatusDb> statusDb = Kel::newPtr<BrixRouterMacStatusDb>();
    Kel::Ptr<RecordingSm> sm = Kel::newPtr<RecordingSm>(db, statusDb);
};

struct ReportCase {
    char const* name;
    void (*act)(Rig&);  // on a reactor switched on, not yet initialized
    Lines log;
};

BrixRouterMac const kRouting{true}, kNoRouting{false};

// clang-format off
ReportCase const kReportCases[] = {
    // A second mount completion sets the flag again: nothing changed, nothing
    // is handled; turning it off is handled once and stops the reports.
    {.name = "EachChangeIsReportedWhileInitializedAndOnlyAChangeOfTheFlagIsHandled", .act = [](Rig& r) {
         r.sm->initializedIs(true); r.sm->initializedIs(true);
         r.db->routerMacIs(key(10, MacType::interface), kNoRouting); r.db->routerMacIs(key(10, MacType::interface), kRouting);
         r.db->routerMacDel(key(10, MacType::interface));
         r.sm->initializedIs(false); r.sm->initializedIs(false);
         r.db->routerMacIs(key(12), kRouting); },
     .log = {"init on:", "interface 10 present", "interface 10 present routing", "interface 10 absent", "init off: 10"}},
    // A key added while switched off was never reported: its removal is not
    // reported either, unless a change reported it in between. A key reported
    // before the reactor was switched off is reported removed.
    {.name = "ARemovalIsReportedOnlyForAKeyReportedPresent", .act = [](Rig& r) {
         r.sm->initializedIs(true); r.db->routerMacIs(key(15), kRouting);
         r.sm->hasNotificationActiveIs(false);
         r.db->routerMacIs(key(12), kRouting); r.db->routerMacIs(key(16), kRouting);
         r.sm->hasNotificationActiveIs(true);
         r.db->routerMacIs(key(16), kNoRouting);
         for (std::uint64_t mac : {12, 15, 16}) { r.db->routerMacDel(key(mac)); } },
     .log = {"init on:", "system 15 present routing", "system 16 present", "system 15 absent", "system 16 absent"}},
    // Initialized while switched off, it reports what is present then; once
    // switched on, only a key added after that goes unreported.
    {.name = "InitializedWhileSwitchedOffReportsLaterRemovalsOfWhatItReported", .act = [](Rig& r) {
         r.sm->hasNotificationActiveIs(false); r.db->routerMacIs(key(1), kRouting);
         r.sm->initializedIs(true); r.db->routerMacIs(key(2), kRouting);
         r.sm->hasNotificationActiveIs(true);
         r.db->routerMacDel(key(2)); r.db->routerMacDel(key(1)); },
     .log = {"system 1 present routing", "init on: 1", "system 1 absent"}},
};
// clang-format on

class ReportTest : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ReportTest, ReportsEachChangeOfWhatItReported) {
    PlinthTest::NothingLeft const nothingLeft;
    Rig rig;
    rig.sm->hasNotificationActiveIs(true);
    GetParam().act(rig);
    EXPECT_EQ(rig.sm->log, GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(BrixRouterMacDbSm, ReportTest, ::testing::ValuesIn(kReportCases),
                         PlinthTest::byName);

}  // namespace
