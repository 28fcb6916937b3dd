#include "PlinthL3Unicast/L3VrrpHelper.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "Brix/VrrpSm.h"
#include "Kel/Type.h"
#include "PlinthL3Records/MyStationDir.h"
#include "Switch.h"
#include "TraceCapture.h"

namespace {

using BrixHelper::U32;

using PlinthL3Unicast::MacVlan;
using PlinthL3Unicast::MyStationConfig;
using PlinthL3Unicast::MyStationConfigDir;
using PlinthL3Unicast::MyStationStatus;
using PlinthL3Unicast::MyStationStatusDir;
using PlinthL3Unicast::VrrpSmHelper;
using Entries = std::map<MacVlan, MyStationConfig>;
using Pairs = std::set<Bridging::MacVlanPair>;

Pakt::EthAddr const kVrrp4(0x00005e00010a);
Pakt::EthAddr const kVrrp6(0x00005e0002ff);
Pakt::EthAddr const kRouter(0x001c73000001);
Pakt::EthAddr const kOnes = Pakt::EthAddr::broadcast();

MacVlan exactKey(Pakt::EthAddr mac, U32 vlan) {
    return {mac, vlan, 0xfff, kOnes};
}

// What every VRRP request must leave behind under `key`.
MyStationConfig vrrpEntry(MacVlan const& key) {
    MyStationConfig c;
    c.macVlan = key;
    c.l3Enabled = c.stationFlag = c.configFlag4 = c.configFlag5 = true;
    c.configFlag3 = false;
    return c;
}

Entries entriesOf(MyStationConfigDir const& dir) {
    return {dir.config().begin(), dir.config().end()};
}

// Cases print by name in failure reports.
template <class Case>
requires requires(Case const& c) {
    c.name;
}
void PrintTo(Case const& c, std::ostream* os) {
    *os << c.name;
}

class VrrpSmHelperTest : public ::testing::Test {
  protected:
    void TearDown() override {
        helper_.reset();
        config_.reset();
        status_.reset();
        EXPECT_EQ(Kel::liveObjects(), liveAtStart_);
    }

    Entries entries() const { return entriesOf(*config_); }

    std::int64_t const liveAtStart_ = Kel::liveObjects();
    Kel::Ptr<MyStationConfigDir> config_ = Kel::newPtr<MyStationConfigDir>();
    Kel::Ptr<MyStationStatusDir> status_ = Kel::newPtr<MyStationStatusDir>();
    Kel::Ptr<VrrpSmHelper> helper_ = VrrpSmHelper::VrrpSmHelperIs("", config_, status_);
};

// ---- Requests ---------------------------------------------------------------------

struct RequestCase {
    char const* name;
    Pakt::EthAddr mac;
    U32 vlan;
};

class VrrpSmHelperRequestTest : public VrrpSmHelperTest,
                                public ::testing::WithParamInterface<RequestCase> {};

TEST_P(VrrpSmHelperRequestTest, AddsWriteOneExactVlanEntryThatOneDeleteRemoves) {
    auto const [name, mac, vlan] = GetParam();
    EXPECT_TRUE(helper_->addVirtualRouterMac(mac, vlan));
    EXPECT_TRUE(helper_->addVirtualRouterMac(mac, vlan));
    EXPECT_EQ(entries(), (Entries{{exactKey(mac, vlan), vrrpEntry(exactKey(mac, vlan))}}));

    helper_->deleteVirtualRouterMac(mac, vlan + 1);  // absent keys leave the entry alone
    helper_->deleteVirtualRouterMac(kVrrp6 == mac ? kVrrp4 : kVrrp6, vlan);
    EXPECT_EQ(entries().size(), 1U);
    helper_->deleteVirtualRouterMac(mac, vlan);
    EXPECT_TRUE(entries().empty());
}

INSTANTIATE_TEST_SUITE_P(Macs, VrrpSmHelperRequestTest,
                         ::testing::Values(RequestCase{"vrrpIpv4", kVrrp4, 100},
                                           RequestCase{"vrrpIpv6", kVrrp6, 4094},
                                           RequestCase{"notVrrp", kRouter, 20},
                                           RequestCase{"vlanZero", kVrrp4, 0}),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(VrrpSmHelperTest, EveryRequestIsTracedByTheOperationAndByTheWrite) {
    PlinthTest::TraceCapture capture("L3VrrpHelper");
    helper_->addVirtualRouterMac(kVrrp4, 100);
    helper_->deleteVirtualRouterMac(kVrrp4, 100);
    helper_->syncVrrpStateOnInit(Kel::newPtr<BrixHelper::CurrentVrrpStateForInit>());

    std::string const write =
        "void PlinthL3Unicast::VrrpSmHelper::configureTcam(const Pakt::EthAddr&, U32, bool) "
        "macAddr: 00:00:5e:00:01:0a vlanId: 100";
    EXPECT_EQ(
        capture.texts(),
        (std::vector<std::string>{
            "virtual bool PlinthL3Unicast::VrrpSmHelper::addVirtualRouterMac(const "
            "Pakt::EthAddr&, U32), mac: 00:00:5e:00:01:0a, vlan: 100",
            write,
            "virtual void PlinthL3Unicast::VrrpSmHelper::deleteVirtualRouterMac(const "
            "Pakt::EthAddr&, U32), mac: 00:00:5e:00:01:0a, vlan: 100",
            write, "virtual void PlinthL3Unicast::VrrpSmHelper::syncVrrpStateOnInit(const Ptr&)"}));
    for (auto const& line : capture.lines()) {
        EXPECT_EQ(line.rfind("L3VrrpHelper/2 PlinthL3Unicast/L3VrrpHelper:", 0), 0U) << line;
    }
}

TEST_F(VrrpSmHelperTest, ReleasesTheStatusDirectoryBeforeTheConfigurationDirectory) {
    std::vector<std::string> released;
    struct ConfigDir : MyStationConfigDir {
        explicit ConfigDir(std::vector<std::string>* log) : log(log) {}
        ~ConfigDir() override { log->push_back("config"); }
        std::vector<std::string>* log;  // not owned
    };
    struct StatusDir : MyStationStatusDir {
        explicit StatusDir(std::vector<std::string>* log) : log(log) {}
        ~StatusDir() override { log->push_back("status"); }
        std::vector<std::string>* log;  // not owned
    };
    Kel::Ptr<VrrpSmHelper> helper(Kel::newPtr<VrrpSmHelper>("", Kel::newPtr<ConfigDir>(&released),
                                                            Kel::newPtr<StatusDir>(&released)));
    helper.reset();
    EXPECT_EQ(released, (std::vector<std::string>{"status", "config"}));
}

// ---- Report at the state machine's start -------------------------------------------

TEST_F(VrrpSmHelperTest, SyncRequestsAgainAndReportsOnlyTheVrrpEntriesOfTheStatus) {
    MacVlan const v4{kVrrp4, 10, 0xfff, kOnes};
    MacVlan const v6AnyVlan{kVrrp6, 0, 0, kOnes};
    MacVlan const v4NarrowMask{kVrrp4, 30, 0xff0, Pakt::EthAddr(0xffffffffff00)};
    MacVlan const router{kRouter, 0, 0, kOnes};
    for (auto const& key : {v4, v6AnyVlan, v4NarrowMask, router}) {
        MyStationStatus s;
        s.macVlan = key;
        status_->statusIs(key, s);
    }
    // A request whose entry was never programmed: neither dropped nor reported.
    MacVlan const pending = exactKey(kVrrp6, 40);
    config_->configIs(pending, vrrpEntry(pending));
    Kel::Ptr<BrixHelper::CurrentVrrpStateForInit> state =
        Kel::newPtr<BrixHelper::CurrentVrrpStateForInit>();
    state->virtualRouterMacVlanIs(true, {kVrrp6, 40});

    helper_->syncVrrpStateOnInit(state);
    EXPECT_EQ(entries(), (Entries{{v4, vrrpEntry(v4)},
                                  {v6AnyVlan, vrrpEntry(v6AnyVlan)},
                                  {v4NarrowMask, vrrpEntry(v4NarrowMask)},
                                  {pending, vrrpEntry(pending)}}));
    EXPECT_EQ(state->virtualRouterMacVlan(),
              (Pairs{{kVrrp4, 10}, {kVrrp4, 30}, {kVrrp6, 0}, {kVrrp6, 40}}));
}

// ---- Generic access ---------------------------------------------------------------

TEST_F(VrrpSmHelperTest, GenericAccessAnswersPerAttributeAndReachesTheHelper) {
    using Op = Kel::AttrOp;
    Kel::TypeImpl const& type = *helper_->fwkType();
    Kel::Value io;
    for (auto const& [attr, op, result] : {std::tuple{"configureTcam", Op::read, 1},
                                           {"configureTcam", Op::del, 1},
                                           {"myStationConfigDir", Op::write, 1},
                                           {"myStationStatusDir", Op::invoke, 1},
                                           {"routerMac", Op::read, 2},
                                           {"name", Op::read, 0}}) {
        EXPECT_EQ(type.genericIfAttributeOp(*helper_, attr, op, io), result) << attr;
    }
    EXPECT_EQ(Kel::fromValue<Vosk::String>(io), Vosk::String(""));
    for (bool add : {true, false}) {
        ASSERT_EQ(type.genericIfAttributeOp(*helper_, "configureTcam", Op::invoke, io,
                                            {kVrrp4, U32{10}, add}),
                  0);
        EXPECT_EQ(entries().size(), add ? 1U : 0U);
    }
    ASSERT_EQ(type.genericIfAttributeOp(*helper_, "myStationStatusDir", Op::read, io), 0);
    EXPECT_EQ(Kel::fromValue<Kel::Ptr<MyStationStatusDir const>>(io), status_);
    // The helper only reads the status directory: no writable reference out.
    EXPECT_THROW(Kel::fromValue<Kel::Ptr<MyStationStatusDir>>(io), Kel::RangeException);
}

// ---- The whole path on a switch ---------------------------------------------------

// The virtual router MAC status of a switch reflected into a virtual-MAC
// table, driven into this helper by the forwarding layer's VRRP state
// machine, in the order the plug-in wires them.
class VrrpPathTest : public ::testing::Test {
  protected:
    void wire() {
        table_ = Kel::newPtr<Brix::VrrpPrivateVlanReflectorLib::VirtualRouterMacTable>();
        reflector_ = Brix::VrrpPrivateVlanReflectorLib::LibSm::LibSmIs(
            switch_->vrMacStatus(), switch_->brixL3Status()->intfVlanIdSet(), table_);
        helper_ = VrrpSmHelper::VrrpSmHelperIs("", config_, status_);
        vrrpSm_ = Brix::VrrpSm::VrrpSmIs(table_, switch_->fhrpHwStatus(), helper_);
    }
    void TearDown() override {
        vrrpSm_.reset();
        helper_.reset();
        reflector_.reset();
        table_.reset();
        config_.reset();
        status_.reset();
        switch_.reset();
        EXPECT_EQ(Kel::liveObjects(), liveAtStart_);
    }

    void vlanIs(char const* intf, U32 vlan) {
        switch_->brixL3Status()->intfVlanIdSet()->vlanIdIs(intf, vlan);
    }
    void virtualMacIs(char const* intf, Pakt::EthAddr mac) {
        switch_->vrMacStatus()->virtualMacIs({intf, mac});
    }
    void vrrpSupportedIs(bool supported) { switch_->fhrpHwStatus()->vrrpSupportedIs(supported); }
    Entries entries() const { return entriesOf(*config_); }

    std::int64_t const liveAtStart_ = Kel::liveObjects();
    std::unique_ptr<PlinthAgent::Switch> switch_ = std::make_unique<PlinthAgent::Switch>();
    Kel::Ptr<MyStationConfigDir> config_ = Kel::newPtr<MyStationConfigDir>();
    Kel::Ptr<MyStationStatusDir> status_ = Kel::newPtr<MyStationStatusDir>();
    Kel::Ptr<Brix::VrrpPrivateVlanReflectorLib::VirtualRouterMacTable> table_;
    Kel::Ptr<Brix::VrrpPrivateVlanReflectorLib::LibSm> reflector_;
    Kel::Ptr<VrrpSmHelper> helper_;
    Kel::Ptr<Brix::VrrpSm> vrrpSm_;
};

TEST_F(VrrpPathTest, AVirtualRouterMacBecomesAConfigurationEntryAndLeavesWithIt) {
    vrrpSupportedIs(true);
    wire();
    vlanIs("Vlan100", 100);
    virtualMacIs("Vlan100", kVrrp4);
    EXPECT_EQ(entries(), (Entries{{exactKey(kVrrp4, 100), vrrpEntry(exactKey(kVrrp4, 100))}}));

    switch_->vrMacStatus()->virtualMacDel({"Vlan100", kVrrp4});
    EXPECT_TRUE(entries().empty());
}

class VrrpPathRestartTest : public VrrpPathTest, public ::testing::WithParamInterface<bool> {};

TEST_P(VrrpPathRestartTest, AnEntryProgrammedBeforeARestartStaysOnlyWhileStillWanted) {
    bool const stillWanted = GetParam();
    MacVlan const key = exactKey(kVrrp4, 100);
    MyStationStatus programmed;
    programmed.macVlan = key;
    status_->statusIs(key, programmed);
    vrrpSupportedIs(true);
    vlanIs("Vlan100", 100);
    if (stillWanted) {
        virtualMacIs("Vlan100", kVrrp4);
    }
    wire();

    EXPECT_EQ(vrrpSm_->currentStateForInit()->virtualRouterMacVlan(), (Pairs{{kVrrp4, 100}}));
    EXPECT_EQ(entries(), (stillWanted ? Entries{{key, vrrpEntry(key)}} : Entries{}));
}

INSTANTIATE_TEST_SUITE_P(Wanted, VrrpPathRestartTest, ::testing::Bool());

}  // namespace
