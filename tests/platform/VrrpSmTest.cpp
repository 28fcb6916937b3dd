#include "Brix/VrrpSm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Brix/L3Status.h"
#include "Routing/Fhrp.h"

namespace {

using Bridging::MacVlanPair;
using Brix::VrrpPrivateVlanReflectorLib::LibSm;
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

class VrrpSmTest : public ::testing::Test {
  protected:
    void TearDown() override {
        vrrpSm_ = nullptr;
        reflector_ = nullptr;
        macStatus_ = nullptr;
        vlans_ = nullptr;
        table_ = nullptr;
        hwStatus_ = nullptr;
        helper_ = nullptr;
        EXPECT_EQ(Kel::liveObjects(), live_);
    }
    Pairs tablePairs() const { return {table_->macVlan().begin(), table_->macVlan().end()}; }

    std::int64_t const live_ = Kel::liveObjects();
    Kel::Ptr<Fhrp::VirtualRouterMacStatus> macStatus_ = Kel::newPtr<Fhrp::VirtualRouterMacStatus>();
    Kel::Ptr<IntfVlanIdSet::Table> vlans_ = Kel::newPtr<IntfVlanIdSet::Table>();
    Kel::Ptr<VirtualRouterMacTable> table_ = Kel::newPtr<VirtualRouterMacTable>();
    Kel::Ptr<Fhrp::Hardware::Status> hwStatus_ = Kel::newPtr<Fhrp::Hardware::Status>();
    Kel::Ptr<RecordingHelper> helper_ = Kel::newPtr<RecordingHelper>();
    Kel::Ptr<LibSm> reflector_;
    Kel::Ptr<Brix::VrrpSm> vrrpSm_;
};

TEST_F(VrrpSmTest, ReflectorPutsAMacOnEveryVlanOfItsInterfaceAndFollowsChanges) {
    // It starts from what is there and drops what nothing explains.
    vlans_->vlanIdIs("Vlan30", 30);
    macStatus_->virtualMacIs({"Vlan30", kMac2});
    table_->macVlanIs({kMac2, 99});
    reflector_ = LibSm::LibSmIs(macStatus_, vlans_, table_);
    EXPECT_EQ(tablePairs(), (Pairs{{kMac2, 30}}));

    macStatus_->virtualMacDel({"Vlan30", kMac2});
    macStatus_->virtualMacIs({"Vlan10", kMac1});
    EXPECT_TRUE(tablePairs().empty()) << "an interface without VLANs reflects nothing";
    vlans_->vlanIdIs("Vlan10", 10);
    vlans_->vlanIdIs("Vlan10", 11);
    EXPECT_EQ(tablePairs(), (Pairs{{kMac1, 10}, {kMac1, 11}}));
}

// The helper is asked first what it programmed before; what is no longer
// wanted is withdrawn, then the table is requested, and from then on each
// pair that enters or leaves the table reaches the helper once. While VRRP
// is unsupported nothing is requested.
TEST_F(VrrpSmTest, StartsFromTheReportThenFollowsTheTableWhileSupported) {
    for (bool supported : {true, false}) {
        helper_->calls.clear();
        table_->macVlanIs({kMac2, 10});
        helper_->reported = {{kMac1, 20}, {kMac2, 10}};
        hwStatus_->vrrpSupportedIs(supported);
        vrrpSm_ = Brix::VrrpSm::VrrpSmIs(table_, hwStatus_, helper_);
        vrrpSm_->hasNotificationActiveIs(false);
        vrrpSm_->hasNotificationActiveIs(true);  // the start runs once
        table_->macVlanIs({kMac1, 10});
        table_->macVlanIs({kMac1, 10});
        table_->macVlanDel({kMac2, 10});
        table_->macVlanDel({kMac2, 10});
        Calls const expected =
            supported ? Calls{"sync",
                              "init",
                              call("del", {kMac1, 20}),
                              call("add", {kMac2, 10}),
                              call("add", {kMac1, 10}),
                              call("del", {kMac2, 10})}
                      : Calls{"sync", "init", call("del", {kMac1, 20}), call("del", {kMac2, 10})};
        EXPECT_EQ(helper_->calls, expected) << supported;
        vrrpSm_ = nullptr;
        table_->macVlanDel({kMac1, 10});
    }
}

}  // namespace
