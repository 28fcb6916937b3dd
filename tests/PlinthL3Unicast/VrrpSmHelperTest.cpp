#include "PlinthL3Unicast/L3VrrpHelper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "Journal.h"
#include "Kel/Type.h"
#include "PlinthL3Records/MyStationDir.h"
#include "TraceCapture.h"

namespace {

using BrixHelper::U32;
using PlinthL3Unicast::MacVlan;
using PlinthL3Unicast::MyStationConfigDir;
using PlinthL3Unicast::MyStationStatus;
using PlinthL3Unicast::MyStationStatusDir;
using PlinthL3Unicast::VrrpSmHelper;
using PlinthTest::Journal;
using Lines = std::vector<std::string>;

Pakt::EthAddr const kVrrp4(0x00005e00010a);
Pakt::EthAddr const kVrrp6(0x00005e0002ff);
Pakt::EthAddr const kRouter(0x001c73000001);
Pakt::EthAddr const kOnes = Pakt::EthAddr::broadcast();
// The flags of every entry the helper writes.
std::string const kVrrpFlags = " [l3 station flag4 flag5]";

MacVlan exactKey(Pakt::EthAddr mac, U32 vlan) {
    return {mac, vlan, 0xfff, kOnes};
}

class VrrpSmHelperTest : public ::testing::Test {
  protected:
    void TearDown() override {
        journal_.reset();
        helper_.reset();
        config_.reset();
        status_.reset();
        EXPECT_EQ(Kel::liveObjects(), liveAtStart_);
    }
    void statusIs(MacVlan const& key) {
        MyStationStatus status;
        status.macVlan = key;
        status_->statusIs(key, status);
    }
    Lines journal() { return journal_->take(); }

    std::int64_t const liveAtStart_ = Kel::liveObjects();
    Kel::Ptr<MyStationConfigDir> config_ = Kel::newPtr<MyStationConfigDir>();
    Kel::Ptr<MyStationStatusDir> status_ = Kel::newPtr<MyStationStatusDir>();
    Kel::Ptr<VrrpSmHelper> helper_ = VrrpSmHelper::VrrpSmHelperIs("helper", config_, status_);
    // The two directories; nothing else is the helper's.
    std::optional<Journal> journal_{std::in_place,
                                    Journal::Sources{config_, status_, {}, {}, {}, {}, {}}};
};

struct RequestCase {
    char const* name;
    Pakt::EthAddr mac;
    U32 vlan;
};

class VrrpSmHelperRequestTest : public VrrpSmHelperTest,
                                public ::testing::WithParamInterface<RequestCase> {};

TEST_P(VrrpSmHelperRequestTest, AddsWriteOneExactVlanEntryThatOneDeleteRemoves) {
    auto const& [name, mac, vlan] = GetParam();
    MacVlan const key = exactKey(mac, vlan);
    EXPECT_TRUE(helper_->addVirtualRouterMac(mac, vlan));
    EXPECT_TRUE(helper_->addVirtualRouterMac(mac, vlan));
    EXPECT_EQ(journal(), Lines{"config set " + Journal::key(key) + kVrrpFlags});
    ASSERT_TRUE(config_->config(key));
    EXPECT_EQ(config_->config(key)->macVlan, key);

    helper_->deleteVirtualRouterMac(mac, vlan + 1);  // absent keys leave the entry alone
    helper_->deleteVirtualRouterMac(mac == kVrrp6 ? kVrrp4 : kVrrp6, vlan);
    helper_->deleteVirtualRouterMac(mac, vlan);
    EXPECT_EQ(journal(), Lines{"config del " + Journal::key(key)});
}

INSTANTIATE_TEST_SUITE_P(Macs, VrrpSmHelperRequestTest,
                         ::testing::Values(RequestCase{"vrrpIpv4", kVrrp4, 100},
                                           RequestCase{"vrrpIpv6", kVrrp6, 4094},
                                           RequestCase{"notVrrp", kRouter, 20},
                                           RequestCase{"vlanZero", kVrrp4, 0}),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(VrrpSmHelperTest, EveryRequestIsTracedByTheOperationAndThenByTheWrite) {
    PlinthTest::TraceCapture capture("L3VrrpHelper");
    helper_->addVirtualRouterMac(kVrrp4, 100);
    helper_->deleteVirtualRouterMac(kVrrp4, 100);
    auto const state = Kel::newPtr<BrixHelper::CurrentVrrpStateForInit>();
    helper_->syncVrrpStateOnInit(state);  // with no status, it only traces

    std::string const write =
        "void PlinthL3Unicast::VrrpSmHelper::configureTcam(const Pakt::EthAddr&, U32, bool) "
        "macAddr: 00:00:5e:00:01:0a vlanId: 100";
    EXPECT_EQ(
        capture.texts(),
        (Lines{"virtual bool PlinthL3Unicast::VrrpSmHelper::addVirtualRouterMac(const "
               "Pakt::EthAddr&, U32), mac: 00:00:5e:00:01:0a, vlan: 100",
               write,
               "virtual void PlinthL3Unicast::VrrpSmHelper::deleteVirtualRouterMac(const "
               "Pakt::EthAddr&, U32), mac: 00:00:5e:00:01:0a, vlan: 100",
               write,
               "virtual void PlinthL3Unicast::VrrpSmHelper::syncVrrpStateOnInit(const Ptr&)"}));
    for (auto const& line : capture.lines()) {
        EXPECT_EQ(line.rfind("L3VrrpHelper/2 PlinthL3Unicast/L3VrrpHelper:", 0), 0U) << line;
    }
    EXPECT_EQ(journal(), (Lines{"config set 00:00:5e:00:01:0a 64/fff" + kVrrpFlags,
                                "config del 00:00:5e:00:01:0a 64/fff"}));
    EXPECT_TRUE(state->virtualRouterMacVlan().empty());
}

// A directory that records its own destruction.
template <class Dir>
struct Logged : Dir {
    Logged(Lines* log, char const* name) : log(log), name(name) {}
    ~Logged() override { log->push_back(name); }
    Lines* log;  // not owned
    char const* name;
};

TEST_F(VrrpSmHelperTest, ReleasesTheStatusDirectoryBeforeTheConfigurationDirectory) {
    Lines released;
    Kel::newPtr<VrrpSmHelper>("", Kel::newPtr<Logged<MyStationConfigDir>>(&released, "config"),
                              Kel::newPtr<Logged<MyStationStatusDir>>(&released, "status"));
    EXPECT_EQ(released, (Lines{"status", "config"}));
}

// The status directory is the record of what is programmed: a configured
// entry without a status is neither reported nor dropped, and only VRRP MACs
// count.
TEST_F(VrrpSmHelperTest, SyncRequestsAgainAndReportsOnlyTheVrrpEntriesOfTheStatus) {
    MacVlan const v4{kVrrp4, 10, 0xfff, kOnes};
    MacVlan const v6AnyVlan{kVrrp6, 0, 0, kOnes};
    MacVlan const v4NarrowMasks{kVrrp4, 30, 0xff0, Pakt::EthAddr(0xffffffffff00)};
    for (auto const& key : {v4, v6AnyVlan, v4NarrowMasks, MacVlan{kRouter, 0, 0, kOnes}}) {
        statusIs(key);
    }
    helper_->addVirtualRouterMac(kVrrp6, 40);
    journal();
    auto const state = Kel::newPtr<BrixHelper::CurrentVrrpStateForInit>();

    helper_->syncVrrpStateOnInit(state);
    Lines lines = journal();
    std::ranges::sort(lines);  // the status directory has no order
    EXPECT_EQ(lines, (Lines{"config set 00:00:5e:00:01:0a 1e/ff0" + kVrrpFlags,
                            "config set 00:00:5e:00:01:0a a/fff" + kVrrpFlags,
                            "config set 00:00:5e:00:02:ff 0/0" + kVrrpFlags}));
    ASSERT_TRUE(config_->config(v4NarrowMasks));
    EXPECT_EQ(config_->config(v4NarrowMasks)->macVlan, v4NarrowMasks);
    EXPECT_EQ(state->virtualRouterMacVlan(), (BrixHelper::CurrentVrrpStateForInit::MacVlans{
                                                 {kVrrp4, 10}, {kVrrp4, 30}, {kVrrp6, 0}}));
}

}  // namespace
