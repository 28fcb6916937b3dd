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

using namespace PlinthL3Unicast;
using PlinthTest::Journal;
using Lines = std::vector<std::string>;

Pakt::EthAddr const kVrrp4(0x00005e00010a);
Pakt::EthAddr const kVrrp6(0x00005e0002ff);
Pakt::EthAddr const kRouter(0x001c73000001);
Pakt::EthAddr const kOnes = Pakt::EthAddr::broadcast();
// The flags of every entry the helper writes.
std::string const kVrrpFlags = " [l3 station flag4 flag5]";

// A directory that records its own destruction.
template <class Dir>
struct Logged : Dir {
    Logged(Lines* log, char const* name) : log(log), name(name) {}
    ~Logged() override { log->push_back(name); }
    Lines* log;  // not owned
    char const* name;
};

// Each test ends with the helper the last holder of the directories: it
// releases the status directory before the configuration directory.
class VrrpSmHelperTest : public ::testing::Test {
  protected:
    void TearDown() override {
        journal_.reset();
        config_.reset();
        status_.reset();
        helper_.reset();
        EXPECT_EQ(released_, (Lines{"status", "config"}));
        EXPECT_EQ(Kel::liveObjects(), liveAtStart_);
    }
    Lines journal() { return journal_->take(); }

    std::int64_t const liveAtStart_ = Kel::liveObjects();
    Lines released_;
    Kel::Ptr<MyStationConfigDir> config_ =
        Kel::newPtr<Logged<MyStationConfigDir>>(&released_, "config");
    Kel::Ptr<MyStationStatusDir> status_ =
        Kel::newPtr<Logged<MyStationStatusDir>>(&released_, "status");
    Kel::Ptr<VrrpSmHelper> helper_ = VrrpSmHelper::VrrpSmHelperIs("helper", config_, status_);
    // The two directories; nothing else is the helper's.
    std::optional<Journal> journal_{std::in_place,
                                    Journal::Sources{config_, status_, {}, {}, {}, {}, {}}};
};

// VRRP MACs of either family, another MAC, VLAN 0: each an entry of its own
// exact VLAN.
TEST_F(VrrpSmHelperTest, AddsWriteOneExactVlanEntryThatOneDeleteRemoves) {
    for (auto const& [mac, vlan] :
         {std::pair{kVrrp4, U32{100}}, {kVrrp6, U32{4094}}, {kRouter, U32{20}}, {kVrrp4, U32{0}}}) {
        MacVlan const key{mac, vlan, 0xfff, kOnes};
        SCOPED_TRACE(Journal::key(key));
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
}

// The status directory is the record of what is programmed: a configured
// entry without a status is neither reported nor dropped, and only VRRP MACs
// count. Each request is traced by the operation and then by the write.
TEST_F(VrrpSmHelperTest, SyncRequestsAgainAndReportsOnlyTheVrrpEntriesOfTheStatus) {
    MacVlan const v4{kVrrp4, 10, 0xfff, kOnes};
    MacVlan const v6AnyVlan{kVrrp6, 0, 0, kOnes};
    MacVlan const v4NarrowMasks{kVrrp4, 30, 0xff0, Pakt::EthAddr(0xffffffffff00)};
    for (auto const& key : {v4, v6AnyVlan, v4NarrowMasks, MacVlan{kRouter, 0, 0, kOnes}}) {
        MyStationStatus status;
        status.macVlan = key;
        status_->statusIs(key, status);
    }
    journal();
    PlinthTest::TraceCapture capture("L3VrrpHelper");
    helper_->addVirtualRouterMac(kVrrp6, 40);
    helper_->deleteVirtualRouterMac(kVrrp4, 100);
    EXPECT_EQ(journal(), Lines{"config set 00:00:5e:00:02:ff 28/fff" + kVrrpFlags});
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

    std::string const write =
        "void PlinthL3Unicast::VrrpSmHelper::configureTcam(const Pakt::EthAddr&, U32, bool) ";
    EXPECT_EQ(
        capture.texts(),
        (Lines{"virtual bool PlinthL3Unicast::VrrpSmHelper::addVirtualRouterMac(const "
               "Pakt::EthAddr&, U32), mac: 00:00:5e:00:02:ff, vlan: 40",
               write + "macAddr: 00:00:5e:00:02:ff vlanId: 40",
               "virtual void PlinthL3Unicast::VrrpSmHelper::deleteVirtualRouterMac(const "
               "Pakt::EthAddr&, U32), mac: 00:00:5e:00:01:0a, vlan: 100",
               write + "macAddr: 00:00:5e:00:01:0a vlanId: 100",
               "virtual void PlinthL3Unicast::VrrpSmHelper::syncVrrpStateOnInit(const Ptr&)"}));
    EXPECT_TRUE(std::ranges::all_of(capture.lines(), [](std::string const& line) {
        return line.starts_with("L3VrrpHelper/2 PlinthL3Unicast/L3VrrpHelper:");
    }));
}

}  // namespace
