#include "Brix/VrrpSm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Brix/L3Status.h"
#include "PlinthL3Common/VrrpMac.h"
#include "Routing/Fhrp.h"

namespace {

using BrixHelper::U32;

using Bridging::MacVlanPair;
using Brix::VrrpSm;
using Brix::VrrpPrivateVlanReflectorLib::LibSm;
using Brix::VrrpPrivateVlanReflectorLib::VirtualRouterMacTable;
using Pairs = std::set<MacVlanPair>;

Pakt::EthAddr const kMac1(0x00005e000101);
Pakt::EthAddr const kMac2(0x00005e000202);

// A helper that writes down every call it gets. It accepts adds unless told
// to refuse, and reports `reported` as programmed when asked at the start.
class RecordingHelper : public BrixHelper::VrrpSmHelper {
  public:
    RecordingHelper() : VrrpSmHelper("recording") {}

    bool addVirtualRouterMac(Pakt::EthAddr const& mac, U32 vlan) override;
    void deleteVirtualRouterMac(Pakt::EthAddr const& mac, U32 vlan) override;
    void syncVrrpStateOnInit(
        Kel::Ptr<BrixHelper::CurrentVrrpStateForInit> const& currentState) override {
        calls.emplace_back("sync");
        for (auto const& pair : reported) {
            currentState->virtualRouterMacVlanIs(true, pair);
        }
    }
    void initializationComplete() override { calls.emplace_back("init"); }

    std::vector<std::string> takeCalls() { return std::exchange(calls, {}); }

    std::vector<std::string> calls;
    Pairs reported;
    bool refuseAdds = false;
};

std::string call(char const* op, Pakt::EthAddr mac, U32 vlan) {
    return op + (" " + mac.stringValue()) + " " + std::to_string(vlan);
}
std::string add(Pakt::EthAddr mac, U32 vlan) {
    return call("add", mac, vlan);
}
std::string del(Pakt::EthAddr mac, U32 vlan) {
    return call("del", mac, vlan);
}
using Calls = std::vector<std::string>;

bool RecordingHelper::addVirtualRouterMac(Pakt::EthAddr const& mac, U32 vlan) {
    calls.push_back(add(mac, vlan));
    return !refuseAdds;
}
void RecordingHelper::deleteVirtualRouterMac(Pakt::EthAddr const& mac, U32 vlan) {
    calls.push_back(del(mac, vlan));
}

class VrrpSmTest : public ::testing::Test {
  protected:
    void TearDown() override {
        vrrpSm_.reset();
        reflector_.reset();
        helper_.reset();
        macStatus_.reset();
        vlans_.reset();
        table_.reset();
        hwStatus_.reset();
        EXPECT_EQ(Kel::liveObjects(), liveAtStart_);
    }

    void reflectorIs() { reflector_ = LibSm::LibSmIs(macStatus_, vlans_, table_); }
    void vrrpSmIs() { vrrpSm_ = VrrpSm::VrrpSmIs(table_, hwStatus_, helper_); }
    // The usual start: VRRP supported, both machines running, start-up calls
    // already taken from the helper.
    void startAll() {
        hwStatus_->vrrpSupportedIs(true);
        reflectorIs();
        vrrpSmIs();
        helper_->takeCalls();
    }
    Pairs tablePairs() const { return {table_->macVlan().begin(), table_->macVlan().end()}; }

    std::int64_t const liveAtStart_ = Kel::liveObjects();
    Kel::Ptr<Routing::Fhrp::VirtualRouterMacStatus> macStatus_ =
        Kel::newPtr<Routing::Fhrp::VirtualRouterMacStatus>();
    Kel::Ptr<IntfVlanIdSet::Table> vlans_ = Kel::newPtr<IntfVlanIdSet::Table>();
    Kel::Ptr<VirtualRouterMacTable> table_ = Kel::newPtr<VirtualRouterMacTable>();
    Kel::Ptr<Routing::Fhrp::Hardware::Status> hwStatus_ =
        Kel::newPtr<Routing::Fhrp::Hardware::Status>();
    Kel::Ptr<RecordingHelper> helper_ = Kel::newPtr<RecordingHelper>();
    Kel::Ptr<LibSm> reflector_;
    Kel::Ptr<VrrpSm> vrrpSm_;
};

// ---- isVrrpMac ----------------------------------------------------------------

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

// ---- Reflector ------------------------------------------------------------------

TEST_F(VrrpSmTest, ReflectorPutsAMacOnEveryVlanOfItsInterfaceAndFollowsChanges) {
    reflectorIs();
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

TEST_F(VrrpSmTest, ReflectorStartsFromWhatIsThereAndDropsWhatNothingExplains) {
    vlans_->vlanIdIs("Vlan10", 10);
    macStatus_->virtualMacIs({"Vlan10", kMac1});
    table_->macVlanIs({kMac2, 99});
    reflectorIs();
    EXPECT_EQ(tablePairs(), (Pairs{{kMac1, 10}}));
}

// ---- VRRP state machine -----------------------------------------------------------

// The helper is asked first what it programmed before; what is no longer
// wanted is withdrawn, then the table is requested.
TEST_F(VrrpSmTest, ReportedPairsAreRequestedAgainWhenWantedAndDeletedWhenNot) {
    hwStatus_->vrrpSupportedIs(true);
    table_->macVlanIs({kMac2, 10});
    helper_->reported = {{kMac1, 20}, {kMac2, 10}};
    vrrpSmIs();
    EXPECT_EQ(helper_->takeCalls(), (Calls{"sync", "init", del(kMac1, 20), add(kMac2, 10)}));
    EXPECT_EQ(vrrpSm_->currentStateForInit()->virtualRouterMacVlan(), helper_->reported);
    vrrpSm_->hasNotificationActiveIs(false);
    vrrpSm_->hasNotificationActiveIs(true);
    EXPECT_TRUE(helper_->takeCalls().empty()) << "the start runs once";
}

TEST_F(VrrpSmTest, EachPairEnteringOrLeavingTheTableReachesTheHelperOnce) {
    startAll();
    table_->macVlanIs({kMac1, 10});
    table_->macVlanIs({kMac1, 10});
    table_->macVlanIs({kMac2, 10});
    table_->macVlanDel({kMac1, 10});
    table_->macVlanDel({kMac1, 10});
    EXPECT_EQ(helper_->takeCalls(), (Calls{add(kMac1, 10), add(kMac2, 10), del(kMac1, 10)}));
}

TEST_F(VrrpSmTest, NothingIsProgrammedOrWithdrawnWhileVrrpIsUnsupported) {
    table_->macVlanIs({kMac1, 10});
    vrrpSmIs();
    table_->macVlanIs({kMac2, 20});
    table_->macVlanDel({kMac1, 10});
    EXPECT_EQ(helper_->takeCalls(), (Calls{"sync", "init"}));
}

TEST_F(VrrpSmTest, ARefusedAddIsNeverDeleted) {
    startAll();
    helper_->refuseAdds = true;
    table_->macVlanIs({kMac1, 10});
    table_->macVlanDel({kMac1, 10});
    EXPECT_EQ(helper_->takeCalls(), (Calls{add(kMac1, 10)}));
}

}  // namespace
