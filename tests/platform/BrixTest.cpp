// The forwarding layer's reactors, as far as the plug-in relies on them.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "Brix/BrixRouterMacDbSm.h"
#include "Brix/VrrpSm.h"
#include "Routing/Fhrp.h"

namespace {

using Brix::BrixRouterMac;
using Brix::BrixRouterMacDb;
using Brix::BrixRouterMacStatusDb;
using Brix::MacType;
using Brix::MacTypeMask;
using Lines = std::vector<std::string>;

MacTypeMask key(std::uint64_t mac, MacType type = MacType::system) {
    return MacTypeMask{Pakt::EthAddr(mac), type};
}

// Logs every call the base makes; like the plug-in, it keeps a status
// record per key reported present, and its initialization line lists the
// records then held. A MAC shows as its number.
class RecordingSm : public Brix::BrixRouterMacDbSm {
  public:
    RecordingSm(Kel::Ptr<BrixRouterMacDb const> const& db,
                Kel::Ptr<BrixRouterMacStatusDb> const& statusDb)
        : Brix::BrixRouterMacDbSm(db, statusDb) {}

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
// switched off.
TEST(BrixRouterMacDbSmTest, InitializationDropsStaleRecordsThenReportsWhatIsPresent) {
    std::int64_t const live = Kel::liveObjects();
    {
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
        sm->hasNotificationActiveIs(false);
        db->routerMacIs(key(12), routing);
        sm->hasNotificationActiveIs(true);
        db->routerMacDel(key(12));
        sm->kelDoZombieReactors(true);
        db->routerMacIs(key(13), routing);
        EXPECT_EQ(sm->log,
                  (Lines{"system 10 present routing", "init on: 10", "init on: 10", "init off: 10",
                         "gateway 11 present", "init on: 11", "interface 10 present",
                         "interface 10 present routing", "interface 10 absent"}));
    }
    EXPECT_EQ(Kel::liveObjects(), live);
}

using Bridging::MacVlanPair;
using Brix::VrrpPrivateVlanReflectorLib::VirtualRouterMacTable;
using BrixHelper::U32;
using Pairs = std::set<MacVlanPair>;
using Calls = std::vector<std::string>;
namespace Fhrp = Routing::Fhrp;

Pakt::EthAddr const kMac1(0x00005e000101);
Pakt::EthAddr const kMac2(0x00005e000202);

std::string call(char const* op, MacVlanPair const& p) {
    return op + (" " + p.mac.stringValue()) + " " + std::to_string(p.vlan);
}

// A helper that writes down every call it gets, accepts every add, and
// reports `reported` as programmed when asked at the start.
class RecordingHelper : public BrixHelper::VrrpSmHelper {
  public:
    RecordingHelper() : VrrpSmHelper("recording") {}
    bool addVirtualRouterMac(Pakt::EthAddr const& mac, U32 vlan) override {
        calls.push_back(call("add", {mac, vlan}));
        return true;
    }
    void deleteVirtualRouterMac(Pakt::EthAddr const& mac, U32 vlan) override {
        calls.push_back(call("del", {mac, vlan}));
    }
    void syncVrrpStateOnInit(Kel::Ptr<BrixHelper::CurrentVrrpStateForInit> const& state) override {
        calls.emplace_back("sync");
        for (auto const& pair : reported) {
            state->virtualRouterMacVlanIs(true, pair);
        }
    }
    void initializationComplete() override { calls.emplace_back("init"); }

    Calls calls;
    Pairs reported;
};

// The helper is asked first what it programmed before; what is no longer
// wanted is withdrawn, then the table is requested, and from then on each
// pair that enters or leaves the table reaches the helper once.
TEST(VrrpSmTest, StartsFromTheReportThenFollowsTheTable) {
    std::int64_t const live = Kel::liveObjects();
    {
        auto table = Kel::newPtr<VirtualRouterMacTable>();
        auto hwStatus = Kel::newPtr<Fhrp::Hardware::Status>();
        auto helper = Kel::newPtr<RecordingHelper>();
        table->macVlanIs({kMac2, 10});
        helper->reported = {{kMac1, 20}, {kMac2, 10}};
        hwStatus->vrrpSupportedIs(true);
        auto vrrpSm = Brix::VrrpSm::VrrpSmIs(table, hwStatus, helper);
        vrrpSm->hasNotificationActiveIs(false);
        vrrpSm->hasNotificationActiveIs(true);  // the start runs once
        table->macVlanIs({kMac1, 10});
        table->macVlanIs({kMac1, 10});
        table->macVlanDel({kMac2, 10});
        table->macVlanDel({kMac2, 10});
        EXPECT_EQ(helper->calls,
                  (Calls{"sync", "init", call("del", {kMac1, 20}), call("add", {kMac2, 10}),
                         call("add", {kMac1, 10}), call("del", {kMac2, 10})}));
    }
    EXPECT_EQ(Kel::liveObjects(), live);
}

}  // namespace
