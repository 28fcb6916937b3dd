#include "Brix/BrixRouterMacDbSm.h"

#include <gtest/gtest.h>

#include <sstream>

#include "NothingLeft.h"

namespace {

using namespace Brix;
using Lines = std::vector<std::string>;

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
        std::ostringstream os;
        os << (initialized() ? "init on:" : "init off:");
        for (auto const& [k, record] : routerMacStatusDb()->macStatusDb()) {
            os << ' ' << k.mac.value();
        }
        log.push_back(os.str());
    }
    Lines log;
};

// Changes before initialization are covered by the report of what is
// present; the status records of an earlier run go before that report.
// Listening, the reactor reports each change of the entries, and a removal
// only for a key reported present: here not for one added while it was
// switched off, but for one reported before.
TEST(BrixRouterMacDbSmTest, InitializationDropsStaleRecordsThenReportsWhatIsPresent) {
    PlinthTest::NothingLeft const nothingLeft;
    auto db = Kel::newPtr<BrixRouterMacDb>();
    auto statusDb = Kel::newPtr<BrixRouterMacStatusDb>();
    auto sm = Kel::newPtr<RecordingSm>(db, statusDb);
    sm->hasNotificationActiveIs(true);
    statusDb->macStatusDbIs(key(13));
    db->routerMacIs(key(10), {true});
    sm->initializedIs(true);
    sm->initializedIs(true);  // a second mount completion
    sm->initializedIs(false);
    sm->initializedIs(false);
    db->routerMacIs(key(11, MacType::gateway), {false});  // while off
    db->routerMacDel(key(10));
    statusDb->macStatusDbIs(key(14));
    sm->initializedIs(true);
    MacTypeMask const k = key(10, MacType::interface);
    BrixRouterMac const routing{true};
    db->routerMacIs(k, {false});
    db->routerMacIs(k, routing);
    db->notifieeList()->notify(1, &k, &routing);  // not the entries
    db->routerMacDel(k);
    db->routerMacIs(key(15), routing);
    sm->hasNotificationActiveIs(false);
    db->routerMacIs(key(12), routing);
    sm->hasNotificationActiveIs(true);
    db->routerMacDel(key(12));
    db->routerMacDel(key(15));
    sm->kelDoZombieReactors(true);
    db->routerMacIs(key(13), routing);
    EXPECT_EQ(sm->log,
              (Lines{"system 10 present routing", "init on: 10", "init off: 10",
                     "gateway 11 present", "init on: 11", "interface 10 present",
                     "interface 10 present routing", "interface 10 absent",
                     "system 15 present routing", "system 15 absent"}));
}

// Initialized while switched off, the reactor reports what is present then;
// once switched on, only a key added after that goes unreported.
TEST(BrixRouterMacDbSmTest, InitializedWhileSwitchedOffReportsLaterRemovalsOfWhatItReported) {
    PlinthTest::NothingLeft const nothingLeft;
    auto db = Kel::newPtr<BrixRouterMacDb>();
    auto sm = Kel::newPtr<RecordingSm>(db, Kel::newPtr<BrixRouterMacStatusDb>());
    db->routerMacIs(key(1), {true});
    sm->initializedIs(true);
    db->routerMacIs(key(2), {true});
    sm->hasNotificationActiveIs(true);
    db->routerMacDel(key(2));
    db->routerMacDel(key(1));
    EXPECT_EQ(sm->log, (Lines{"system 1 present routing", "init on: 1", "system 1 absent"}));
}

// A new record is written wherever it is once its arrival has been
// announced: a subscriber that fills the database moves every record, one
// that removes the new record leaves the caller a record nobody keeps.
TEST(BrixRouterMacStatusDbTest, NewRecordIsWrittenWhereverItsSubscribersLeftIt) {
    PlinthTest::NothingLeft const nothingLeft;
    auto statusDb = Kel::newPtr<BrixRouterMacStatusDb>();
    Vosk::Subscriber busy;
    busy.owner = statusDb.get();
    busy.dispatch = [](Vosk::Publisher*, Vosk::Subscriber* self, short, void const* changed,
                       void const* record) {
        auto& db = *static_cast<BrixRouterMacStatusDb*>(self->owner);
        MacTypeMask const k = *static_cast<MacTypeMask const*>(changed);
        if (record != nullptr && k == key(1)) {
            for (std::uint64_t mac = 100; mac < 1100; ++mac) {
                db.macStatusDbIs(key(mac));
            }
        } else if (record != nullptr && k == key(2)) {
            db.macStatusDbDel(k);
        }
    };
    statusDb->notifieeList()->subscriberAdd(&busy, false);
    statusDb->macStatusDbIs(key(1)).statusIs(RouterMacStatus::programmed);
    statusDb->macStatusDbIs(key(2)).statusIs(RouterMacStatus::programmed);
    EXPECT_EQ(statusDb->macStatusDb(key(1))->status(), RouterMacStatus::programmed);
    EXPECT_FALSE(statusDb->macStatusDbHas(key(2)));
    EXPECT_EQ(statusDb->macStatusDb().size(), 1001U);
}

}  // namespace
