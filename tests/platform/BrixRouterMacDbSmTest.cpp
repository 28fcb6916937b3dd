#include "Brix/BrixRouterMacDbSm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Journal.h"

namespace {

using Brix::MacType;
using Brix::MacTypeMask;
using Lines = std::vector<std::string>;

MacTypeMask key(std::uint64_t mac, MacType type = MacType::system) {
    return MacTypeMask{Pakt::EthAddr(mac), type};
}

// Logs every call the base makes after the journal's lines so far, through
// the per-type handlers so that the default dispatch of handleRouterMac is
// on the path. A MAC shows as its number.
class RecordingSm : public Brix::BrixRouterMacDbSm {
  public:
    RecordingSm(Kel::Ptr<Brix::BrixRouterMacDb const> const& db,
                Kel::Ptr<Brix::BrixRouterMacStatusDb> const& statusDb, PlinthTest::Journal& journal)
        : BrixRouterMacDbSm(db, statusDb), journal_(journal) {}

#define PLINTH_RECORDS(handler, name)                                           \
    void handler(MacTypeMask const& k, bool present, bool routing) override {   \
        note(std::string(name) + " " + std::to_string(k.mac.value()) +          \
             (present ? " present" : " absent") + (routing ? " routing" : "")); \
    }
    PLINTH_RECORDS(handleSystemMac, "system")
    PLINTH_RECORDS(handleVirtualMac, "virtual")
    PLINTH_RECORDS(handleVrrpMac, "vrrp")
    PLINTH_RECORDS(handleMlagPeerMac, "mlagPeer")
    PLINTH_RECORDS(handleSharedRouterEncapMac, "sharedRouterEncap")
    PLINTH_RECORDS(handleInterfaceMac, "interface")
    PLINTH_RECORDS(handleGatewayMac, "gateway")
#undef PLINTH_RECORDS
    void handleInitialized() override {
        note(initialized() ? "initialized on" : "initialized off");
    }

    Lines log() {
        note({});
        return std::exchange(log_, {});
    }

  private:
    void note(std::string call) {
        std::ranges::move(journal_.take(), std::back_inserter(log_));
        if (!call.empty()) {
            log_.push_back(std::move(call));
        }
    }

    PlinthTest::Journal& journal_;
    Lines log_;
};

PlinthTest::Journal::Sources statusOnly(Kel::Ptr<Brix::BrixRouterMacStatusDb> const& statusDb) {
    PlinthTest::Journal::Sources sources;
    sources.routerMacStatus = statusDb;
    return sources;
}

class BrixRouterMacDbSmTest : public ::testing::Test {
  protected:
    BrixRouterMacDbSmTest() { sm_->hasNotificationActiveIs(true); }
    void TearDown() override {
        sm_.reset();
        journal_.reset();
        db_.reset();
        statusDb_.reset();
        EXPECT_EQ(Kel::liveObjects(), liveAtStart_);
    }

    std::int64_t const liveAtStart_ = Kel::liveObjects();
    Kel::Ptr<Brix::BrixRouterMacDb> db_ = Kel::newPtr<Brix::BrixRouterMacDb>();
    Kel::Ptr<Brix::BrixRouterMacStatusDb> statusDb_ = Kel::newPtr<Brix::BrixRouterMacStatusDb>();
    std::unique_ptr<PlinthTest::Journal> journal_ =
        std::make_unique<PlinthTest::Journal>(statusOnly(statusDb_));
    Kel::Ptr<RecordingSm> sm_ = Kel::newPtr<RecordingSm>(db_, statusDb_, *journal_);
};

// Changes before initialization are covered by the report of what is
// present; the status records of an earlier run go before that report.
TEST_F(BrixRouterMacDbSmTest, InitializationDropsStaleRecordsThenReportsWhatIsPresent) {
    statusDb_->macStatusDbIs(key(13));
    db_->routerMacIs(key(10), {true});
    db_->routerMacIs(key(12), {true});
    db_->routerMacDel(key(12));
    EXPECT_EQ(sm_->log(), Lines{"macStatus add 00:00:00:00:00:0d system"});
    sm_->initializedIs(true);
    sm_->initializedIs(true);  // a second mount completion
    sm_->initializedIs(false);
    sm_->initializedIs(false);
    db_->routerMacIs(key(11, MacType::gateway), {false});  // while off
    db_->routerMacDel(key(10));
    statusDb_->macStatusDbIs(key(14));
    sm_->initializedIs(true);
    EXPECT_EQ(sm_->log(), (Lines{"macStatus del 00:00:00:00:00:0d system",
                                 "system 10 present routing", "initialized on", "initialized on",
                                 "initialized off", "macStatus add 00:00:00:00:00:0e system",
                                 "macStatus del 00:00:00:00:00:0e system", "gateway 11 present",
                                 "initialized on"}));
}

// Removals are reported only for keys reported present: here one added
// while the reactor was switched off.
TEST_F(BrixRouterMacDbSmTest, ReportsEachChangeOfTheEntriesWhileListening) {
    sm_->initializedIs(true);
    MacTypeMask const k = key(10, MacType::interface);
    Brix::BrixRouterMac const routing{true};
    db_->routerMacIs(k, {false});
    db_->routerMacIs(k, routing);
    db_->notifieeList()->notify(1, &k, &routing);  // not the entries
    db_->routerMacDel(k);
    sm_->hasNotificationActiveIs(false);
    db_->routerMacIs(key(11), routing);
    sm_->hasNotificationActiveIs(true);
    db_->routerMacDel(key(11));
    sm_->kelDoZombieReactors(true);
    db_->routerMacIs(key(12), routing);
    EXPECT_EQ(sm_->log(), (Lines{"initialized on", "interface 10 present",
                                 "interface 10 present routing", "interface 10 absent"}));
}

TEST_F(BrixRouterMacDbSmTest, DefaultRouterMacHandlerDispatchesByType) {
    char const* const handlers[] = {"system",    "virtual", "vrrp", "mlagPeer", "sharedRouterEncap",
                                    "interface", "gateway"};
    static_assert(std::size(handlers) == Brix::kMacTypeCount);
    for (unsigned type = 0; type < Brix::kMacTypeCount; ++type) {
        sm_->handleRouterMac(key(1, static_cast<MacType>(type)), false, true);
        EXPECT_EQ(sm_->log(), Lines{std::string(handlers[type]) + " 1 absent routing"});
    }
}

}  // namespace
