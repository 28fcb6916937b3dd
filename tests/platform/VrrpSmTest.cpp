#include "Brix/VrrpSm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Brix/L3Status.h"
#include "PlinthL3Common/VrrpMac.h"
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

// A helper that writes down every call it gets. It accepts adds unless told
// to refuse, and reports `reported` as programmed when asked at the start.
class RecordingHelper : public BrixHelper::VrrpSmHelper {
  public:
    RecordingHelper() : VrrpSmHelper("recording") {}
    bool addVirtualRouterMac(Pakt::EthAddr const& mac, U32 vlan) override {
        calls.push_back(call("add", {mac, vlan}));
        return !refuseAdds;
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
    Calls takeCalls() { return std::exchange(calls, {}); }

    Calls calls;
    Pairs reported;
    bool refuseAdds = false;
};

// Checks, after the members declared after it are gone, that nothing they
// made is left alive.
struct LiveCheck {
    ~LiveCheck() { EXPECT_EQ(Kel::liveObjects(), atStart); }
    std::int64_t const atStart = Kel::liveObjects();
};

class VrrpSmTest : public ::testing::Test {
  protected:
    void vrrpSmIs(bool supported) {
        hwStatus_->vrrpSupportedIs(supported);
        vrrpSm_ = Brix::VrrpSm::VrrpSmIs(table_, hwStatus_, helper_);
    }
    Pairs tablePairs() const { return {table_->macVlan().begin(), table_->macVlan().end()}; }

    LiveCheck const live_;
    Kel::Ptr<Fhrp::VirtualRouterMacStatus> macStatus_ = Kel::newPtr<Fhrp::VirtualRouterMacStatus>();
    Kel::Ptr<IntfVlanIdSet::Table> vlans_ = Kel::newPtr<IntfVlanIdSet::Table>();
    Kel::Ptr<VirtualRouterMacTable> table_ = Kel::newPtr<VirtualRouterMacTable>();
    Kel::Ptr<Fhrp::Hardware::Status> hwStatus_ = Kel::newPtr<Fhrp::Hardware::Status>();
    Kel::Ptr<RecordingHelper> helper_ = Kel::newPtr<RecordingHelper>();
    Kel::Ptr<LibSm> reflector_;
    Kel::Ptr<Brix::VrrpSm> vrrpSm_;
};

TEST(IsVrrpMacTest, RecognisesBothRangesAndNothingAround) {
    for (std::uint64_t mac :
         {0x00005e000100ULL, 0x00005e0001ffULL, 0x00005e000200ULL, 0x00005e0002ffULL}) {
        EXPECT_TRUE(PlinthL3Common::isVrrpMac(Pakt::EthAddr(mac))) << Pakt::EthAddr(mac);
    }
    for (std::uint64_t mac : {0x00005e0000ffULL, 0x00005e000300ULL, 0x01005e000101ULL,
                              0x00005f000101ULL, 0x00015e000101ULL, 0x00005e010101ULL, 0ULL}) {
        EXPECT_FALSE(PlinthL3Common::isVrrpMac(Pakt::EthAddr(mac))) << Pakt::EthAddr(mac);
    }
}

TEST_F(VrrpSmTest, ReflectorPutsAMacOnEveryVlanOfItsInterfaceAndFollowsChanges) {
    // It starts from what is there and drops what nothing explains.
    vlans_->vlanIdIs("Vlan30", 30);
    macStatus_->virtualMacIs({"Vlan30", kMac2});
    table_->macVlanIs({kMac2, 99});
    reflector_ = LibSm::LibSmIs(macStatus_, vlans_, table_);
    EXPECT_EQ(tablePairs(), (Pairs{{kMac2, 30}}));

    macStatus_->virtualMacDel({"Vlan30", kMac2});
    vlans_->vlanIdIs("Vlan20", 20);
    macStatus_->virtualMacIs({"Vlan10", kMac1});
    EXPECT_TRUE(tablePairs().empty()) << "an interface without VLANs reflects nothing";
    vlans_->vlanIdIs("Vlan10", 10);
    vlans_->vlanIdIs("Vlan10", 11);
    EXPECT_EQ(tablePairs(), (Pairs{{kMac1, 10}, {kMac1, 11}}));
    vlans_->vlanIdDel("Vlan10", 10);
    EXPECT_EQ(tablePairs(), (Pairs{{kMac1, 11}}));
    macStatus_->virtualMacDel({"Vlan10", kMac1});
    EXPECT_TRUE(tablePairs().empty());
}

// The helper is asked first what it programmed before; what is no longer
// wanted is withdrawn, then the table is requested.
TEST_F(VrrpSmTest, ReportedPairsAreRequestedAgainWhenWantedAndDeletedWhenNot) {
    table_->macVlanIs({kMac2, 10});
    helper_->reported = {{kMac1, 20}, {kMac2, 10}};
    vrrpSmIs(true);
    EXPECT_EQ(helper_->takeCalls(),
              (Calls{"sync", "init", call("del", {kMac1, 20}), call("add", {kMac2, 10})}));
    EXPECT_EQ(vrrpSm_->currentStateForInit()->virtualRouterMacVlan(), helper_->reported);
    vrrpSm_->hasNotificationActiveIs(false);
    vrrpSm_->hasNotificationActiveIs(true);
    EXPECT_TRUE(helper_->takeCalls().empty()) << "the start runs once";
}

TEST_F(VrrpSmTest, EachPairEnteringOrLeavingTheTableReachesTheHelperOnce) {
    vrrpSmIs(true);
    table_->macVlanIs({kMac1, 10});
    table_->macVlanIs({kMac1, 10});
    table_->macVlanIs({kMac2, 10});
    table_->macVlanDel({kMac1, 10});
    table_->macVlanDel({kMac1, 10});
    helper_->refuseAdds = true;  // and a refused add is never deleted
    table_->macVlanIs({kMac1, 20});
    table_->macVlanDel({kMac1, 20});
    EXPECT_EQ(helper_->takeCalls(),
              (Calls{"sync", "init", call("add", {kMac1, 10}), call("add", {kMac2, 10}),
                     call("del", {kMac1, 10}), call("add", {kMac1, 20})}));
}

TEST_F(VrrpSmTest, NothingIsProgrammedOrWithdrawnWhileVrrpIsUnsupported) {
    table_->macVlanIs({kMac1, 10});
    vrrpSmIs(false);
    table_->macVlanIs({kMac2, 20});
    table_->macVlanDel({kMac1, 10});
    EXPECT_EQ(helper_->takeCalls(), (Calls{"sync", "init"}));
}

}  // namespace
