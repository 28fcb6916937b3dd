#include "Brix/BrixRouterMacDbSm.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Journal.h"

namespace {

using namespace Brix;
using Lines = std::vector<std::string>;

MacTypeMask key(std::uint64_t mac, MacType type = MacType::system) {
    return MacTypeMask{Pakt::EthAddr(mac), type};
}

// Logs every call the base makes after the journal's lines so far. The
// plug-in takes router MACs whole, so the per-type handlers stay out of the
// path. A MAC shows as its number.
class RecordingSm : public BrixRouterMacDbSm {
  public:
    RecordingSm(Kel::Ptr<BrixRouterMacDb const> const& db,
                Kel::Ptr<BrixRouterMacStatusDb> const& statusDb)
        : BrixRouterMacDbSm(db, statusDb) {}

    void handleRouterMac(MacTypeMask const& k, bool present, bool routing) override {
        std::ostringstream os;
        os << k.macType << ' ' << k.mac.value() << (present ? " present" : " absent")
           << (routing ? " routing" : "");
        note(os.str());
    }
    void handleInitialized() override { note(initialized() ? "init on" : "init off"); }
    // The lines since the last call.
    Lines log() { return std::exchange(flush(), {}); }

  private:
    void note(std::string call) { flush().push_back(std::move(call)); }
    Lines& flush() {
        Lines const taken = journal_.take();
        log_.insert(log_.end(), taken.begin(), taken.end());
        return log_;
    }

    PlinthTest::Journal journal_{
        PlinthTest::Journal::Sources{{}, {}, {}, {}, routerMacStatusDb(), {}, {}}};
    Lines log_;
};

class BrixRouterMacDbSmTest : public ::testing::Test {
  protected:
    void TearDown() override {
        sm_.reset();
        db_.reset();
        statusDb_.reset();
        EXPECT_EQ(Kel::liveObjects(), liveAtStart_);
    }

    std::int64_t const liveAtStart_ = Kel::liveObjects();
    Kel::Ptr<BrixRouterMacDb> db_ = Kel::newPtr<BrixRouterMacDb>();
    Kel::Ptr<BrixRouterMacStatusDb> statusDb_ = Kel::newPtr<BrixRouterMacStatusDb>();
    Kel::Ptr<RecordingSm> sm_ = Kel::newPtr<RecordingSm>(db_, statusDb_);
};

// Changes before initialization are covered by the report of what is
// present; the status records of an earlier run go before that report.
// Listening, the reactor reports each change of the entries, and a removal
// only for a key reported present: here not for one added while it was
// switched off.
TEST_F(BrixRouterMacDbSmTest, InitializationDropsStaleRecordsThenReportsWhatIsPresent) {
    sm_->hasNotificationActiveIs(true);
    statusDb_->macStatusDbIs(key(13));
    db_->routerMacIs(key(10), {true});
    sm_->initializedIs(true);
    sm_->initializedIs(true);  // a second mount completion
    sm_->initializedIs(false);
    sm_->initializedIs(false);
    db_->routerMacIs(key(11, MacType::gateway), {false});  // while off
    db_->routerMacDel(key(10));
    statusDb_->macStatusDbIs(key(14));
    sm_->initializedIs(true);
    MacTypeMask const k = key(10, MacType::interface);
    BrixRouterMac const routing{true};
    db_->routerMacIs(k, {false});
    db_->routerMacIs(k, routing);
    db_->notifieeList()->notify(1, &k, &routing);  // not the entries
    db_->routerMacDel(k);
    sm_->hasNotificationActiveIs(false);
    db_->routerMacIs(key(12), routing);
    sm_->hasNotificationActiveIs(true);
    db_->routerMacDel(key(12));
    sm_->kelDoZombieReactors(true);
    db_->routerMacIs(key(13), routing);
    EXPECT_EQ(
        sm_->log(),
        (Lines{"macStatus add 00:00:00:00:00:0d system", "macStatus del 00:00:00:00:00:0d system",
               "system 10 present routing", "init on", "init on", "init off",
               "macStatus add 00:00:00:00:00:0e system", "macStatus del 00:00:00:00:00:0e system",
               "gateway 11 present", "init on", "interface 10 present",
               "interface 10 present routing", "interface 10 absent"}));
}

}  // namespace
