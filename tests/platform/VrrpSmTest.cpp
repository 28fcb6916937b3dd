#include "Brix/VrrpSm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Routing/Fhrp.h"

namespace {

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
// pair that enters or leaves the table reaches the helper once. While VRRP
// is unsupported nothing is requested.
TEST(VrrpSmTest, StartsFromTheReportThenFollowsTheTableWhileSupported) {
    std::int64_t const live = Kel::liveObjects();
    for (bool supported : {true, false}) {
        auto table = Kel::newPtr<VirtualRouterMacTable>();
        auto hwStatus = Kel::newPtr<Fhrp::Hardware::Status>();
        auto helper = Kel::newPtr<RecordingHelper>();
        table->macVlanIs({kMac2, 10});
        helper->reported = {{kMac1, 20}, {kMac2, 10}};
        hwStatus->vrrpSupportedIs(supported);
        auto vrrpSm = Brix::VrrpSm::VrrpSmIs(table, hwStatus, helper);
        vrrpSm->hasNotificationActiveIs(false);
        vrrpSm->hasNotificationActiveIs(true);  // the start runs once
        table->macVlanIs({kMac1, 10});
        table->macVlanIs({kMac1, 10});
        table->macVlanDel({kMac2, 10});
        table->macVlanDel({kMac2, 10});
        Calls expected{"sync", "init", call("del", {kMac1, 20})};
        for (auto const& c : supported ? Calls{call("add", {kMac2, 10}), call("add", {kMac1, 10}),
                                               call("del", {kMac2, 10})}
                                       : Calls{call("del", {kMac2, 10})}) {
            expected.push_back(c);
        }
        EXPECT_EQ(helper->calls, expected) << supported;
    }
    EXPECT_EQ(Kel::liveObjects(), live);
}

}  // namespace
