#include "Brix/BrixRouterMacDbSm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Brix::BrixRouterMac;
using Brix::MacType;
using Brix::MacTypeMask;

MacTypeMask key(std::uint64_t mac, MacType type = MacType::system) {
    return MacTypeMask{Pakt::EthAddr(mac), type};
}

// Records every call the base makes, with what the status database held at
// that moment, through the per-type handlers (so the default dispatch of
// handleRouterMac is on the path).
class RecordingSm : public Brix::BrixRouterMacDbSm {
  public:
    RecordingSm(Kel::Ptr<Brix::BrixRouterMacDb const> const& db,
                Kel::Ptr<Brix::BrixRouterMacStatusDb> const& statusDb)
        : BrixRouterMacDbSm(db, statusDb) {}

    void handleSystemMac(MacTypeMask const& k, bool p, bool r) override { note("system", k, p, r); }
    void handleVirtualMac(MacTypeMask const& k, bool p, bool r) override {
        note("virtual", k, p, r);
    }
    void handleVrrpMac(MacTypeMask const& k, bool p, bool r) override { note("vrrp", k, p, r); }
    void handleMlagPeerMac(MacTypeMask const& k, bool p, bool r) override {
        note("mlagPeer", k, p, r);
    }
    void handleSharedRouterEncapMac(MacTypeMask const& k, bool p, bool r) override {
        note("sharedRouterEncap", k, p, r);
    }
    void handleInterfaceMac(MacTypeMask const& k, bool p, bool r) override {
        note("interface", k, p, r);
    }
    void handleGatewayMac(MacTypeMask const& k, bool p, bool r) override {
        note("gateway", k, p, r);
    }
    void handleInitialized() override {
        calls.push_back(std::string("initialized ") + (initialized() ? "on" : "off"));
    }

    std::vector<std::string> calls;
    std::vector<std::size_t> statusRecordsSeen;

  private:
    void note(char const* handler, MacTypeMask const& k, bool present, bool routing) {
        std::ostringstream out;
        out << handler << ' ' << k.mac << (present ? " present" : " absent")
            << (routing ? " routing" : "");
        calls.push_back(out.str());
        statusRecordsSeen.push_back(routerMacStatusDb()->macStatusDb().size());
    }
};

class BrixRouterMacDbSmTest : public ::testing::Test {
  protected:
    void SetUp() override {
        db_ = Kel::newPtr<Brix::BrixRouterMacDb>();
        statusDb_ = Kel::newPtr<Brix::BrixRouterMacStatusDb>();
        sm_ = Kel::newPtr<RecordingSm>(db_, statusDb_);
        sm_->hasNotificationActiveIs(true);
    }
    void TearDown() override {
        sm_.reset();
        db_.reset();
        statusDb_.reset();
        EXPECT_EQ(Kel::liveObjects(), liveAtStart_);
    }
    std::vector<std::string> sortedCalls() const {
        auto calls = sm_->calls;
        std::sort(calls.begin(), calls.end());
        return calls;
    }

    std::int64_t const liveAtStart_ = Kel::liveObjects();
    Kel::Ptr<Brix::BrixRouterMacDb> db_;
    Kel::Ptr<Brix::BrixRouterMacStatusDb> statusDb_;
    Kel::Ptr<RecordingSm> sm_;
};

// Changes before initialization are covered by the report of what is
// present; the status records of an earlier run go before that report.
TEST_F(BrixRouterMacDbSmTest, InitializationDropsStaleStatusRecordsThenReportsPresentEntries) {
    statusDb_->macStatusDbIs(key(0xa));  // still in the database
    statusDb_->macStatusDbIs(key(0xd));  // removed while the agent was down
    db_->routerMacIs(key(0xa), BrixRouterMac{true});
    db_->routerMacIs(key(0xb, MacType::gateway), BrixRouterMac{false});
    db_->routerMacIs(key(0xc), BrixRouterMac{true});
    db_->routerMacDel(key(0xc));
    EXPECT_TRUE(sm_->calls.empty());

    sm_->initializedIs(true);
    ASSERT_EQ(sm_->calls.size(), 3U);
    EXPECT_EQ(sm_->calls.back(), "initialized on");  // after the report
    EXPECT_EQ(sortedCalls(),
              (std::vector<std::string>{"gateway 00:00:00:00:00:0b present", "initialized on",
                                        "system 00:00:00:00:00:0a present routing"}));
    EXPECT_EQ(sm_->statusRecordsSeen, (std::vector<std::size_t>{0, 0}));
    EXPECT_TRUE(statusDb_->macStatusDb().empty());
}

// Removals are reported only for keys reported present: here one added
// while the reactor was switched off.
TEST_F(BrixRouterMacDbSmTest, EachChangeAfterInitializationIsReportedOnce) {
    sm_->initializedIs(true);
    sm_->calls.clear();
    MacTypeMask const k = key(0xa, MacType::interface);
    db_->routerMacIs(k, BrixRouterMac{false});
    db_->routerMacIs(k, BrixRouterMac{true});
    db_->routerMacIs(k, BrixRouterMac{true});  // no change
    db_->routerMacDel(k);
    db_->routerMacDel(k);  // already gone
    sm_->hasNotificationActiveIs(false);
    db_->routerMacIs(key(0xb), BrixRouterMac{true});
    sm_->hasNotificationActiveIs(true);
    db_->routerMacDel(key(0xb));
    EXPECT_EQ(sm_->calls, (std::vector<std::string>{"interface 00:00:00:00:00:0a present",
                                                    "interface 00:00:00:00:00:0a present routing",
                                                    "interface 00:00:00:00:00:0a absent"}));
}

TEST_F(BrixRouterMacDbSmTest, InitializedFlagCallsHandleInitializedButReportsOnlyWhenTurnedOn) {
    db_->routerMacIs(key(0xa), BrixRouterMac{true});
    sm_->initializedIs(true);
    sm_->initializedIs(true);  // a second mount completion
    sm_->initializedIs(false);
    sm_->initializedIs(false);
    db_->routerMacIs(key(0xb), BrixRouterMac{true});  // ignored while off
    sm_->initializedIs(true);
    auto const& calls = sm_->calls;
    ASSERT_EQ(calls.size(), 7U);
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 4),
              (std::vector<std::string>{"system 00:00:00:00:00:0a present routing",
                                        "initialized on", "initialized on", "initialized off"}));
    // Turned on again: everything present is reported anew, in no set order.
    std::vector<std::string> report(calls.begin() + 4, calls.begin() + 6);
    std::sort(report.begin(), report.end());
    EXPECT_EQ(report, (std::vector<std::string>{"system 00:00:00:00:00:0a present routing",
                                                "system 00:00:00:00:00:0b present routing"}));
    EXPECT_EQ(calls.back(), "initialized on");
}

TEST_F(BrixRouterMacDbSmTest, DefaultRouterMacHandlerDispatchesByType) {
    struct Case {
        MacType type;
        char const* handler;
    };
    Case const cases[] = {{MacType::system, "system"},
                          {MacType::virtualRouter, "virtual"},
                          {MacType::vrrp, "vrrp"},
                          {MacType::mlagPeer, "mlagPeer"},
                          {MacType::sharedRouterEncap, "sharedRouterEncap"},
                          {MacType::interface, "interface"},
                          {MacType::gateway, "gateway"}};
    for (auto const& c : cases) {
        sm_->calls.clear();
        sm_->handleRouterMac(key(1, c.type), false, true);
        EXPECT_EQ(sm_->calls, std::vector<std::string>{std::string(c.handler) +
                                                       " 00:00:00:00:00:01 absent routing"});
    }
}

}  // namespace
