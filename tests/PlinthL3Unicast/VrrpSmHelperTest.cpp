#include "PlinthL3Unicast/L3VrrpHelper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Journal.h"
#include "NothingLeft.h"
#include "TraceCapture.h"

namespace {

using namespace PlinthL3Unicast;
using Lines = std::vector<std::string>;

// A directory that records its own destruction.
template <class Dir>
struct Logged : Dir {
    Logged(Lines* log, char const* name) : log(log), name(name) {}
    ~Logged() override { log->push_back(name); }
    Lines* log;  // not owned
    char const* name;
};

// The status directory is the record of what is programmed: at start-up the
// helper requests again, and reports, the VRRP entries of the status only,
// whatever their masks; an entry only configured is neither reported nor
// dropped. The helper, last holder of the directories, releases the status
// directory before the configuration directory.
TEST(VrrpSmHelperTest, StartUpRequestsAgainAndReportsOnlyTheProgrammedVrrpEntries) {
    Pakt::EthAddr const v4(0x00005e00010a), v6(0x00005e0002ff);
    std::string const flags = " [l3 station flag4 flag5]";
    PlinthTest::NothingLeft const nothingLeft;
    Lines released;
    {
        Kel::Ptr<VrrpSmHelper> helper;  // declared first, so released last
        auto const config = Kel::newPtr<Logged<MyStationConfigDir>>(&released, "config");
        auto const status = Kel::newPtr<Logged<MyStationStatusDir>>(&released, "status");
        helper = VrrpSmHelper::VrrpSmHelperIs("helper", config, status);
        MacVlan const narrowMasks{v4, 30, 0xff0, Pakt::EthAddr(0xffffffffff00)};
        for (MacVlan const& key : {MacVlan{v4, 10, 0xfff},
                                   {v6, 0, 0},
                                   narrowMasks,
                                   {Pakt::EthAddr(0x001c73000001), 0, 0}}) {
            status->statusIs(key, MyStationStatus{{key}});
        }
        PlinthTest::Journal journal({config, status, {}, {}, {}, {}, {}});
        PlinthTest::TraceCapture capture("L3VrrpHelper");
        EXPECT_TRUE(helper->addVirtualRouterMac(v6, 40))
            << "the VRRP machine takes false as refused";
        helper->deleteVirtualRouterMac(v4, 100);
        EXPECT_EQ(journal.take(), Lines{"config set 00:00:5e:00:02:ff 28/fff" + flags});

        auto const state = Kel::newPtr<BrixHelper::CurrentVrrpStateForInit>();
        helper->syncVrrpStateOnInit(state);
        // The status directory has no order.
        EXPECT_THAT(journal.take(),
                    ::testing::UnorderedElementsAre("config set 00:00:5e:00:01:0a 1e/ff0" + flags,
                                                    "config set 00:00:5e:00:01:0a a/fff" + flags,
                                                    "config set 00:00:5e:00:02:ff 0/0" + flags));
        EXPECT_EQ(config->config(narrowMasks)->macVlan, narrowMasks);
        EXPECT_EQ(state->virtualRouterMacVlan(),
                  (BrixHelper::CurrentVrrpStateForInit::MacVlans{{v4, 10}, {v4, 30}, {v6, 0}}));

        // The request and then the write, for each request; at level 2.
        // clang-format off
        std::string const sm = "PlinthL3Unicast::VrrpSmHelper::", v = "2 virtual void " + sm,
                          tcam = "2 void " + sm + "configureTcam(const Pakt::EthAddr&, U32, bool) macAddr: ",
                          request = "(const Pakt::EthAddr&, U32), mac: ";
        EXPECT_EQ(capture.lines,
                  (Lines{"2 virtual bool " + sm + "addVirtualRouterMac" + request + "00:00:5e:00:02:ff, vlan: 40",
                         tcam + "00:00:5e:00:02:ff vlanId: 40",
                         v + "deleteVirtualRouterMac" + request + "00:00:5e:00:01:0a, vlan: 100",
                         tcam + "00:00:5e:00:01:0a vlanId: 100", v + "syncVrrpStateOnInit(const Ptr&)"}));
        // clang-format on
    }
    EXPECT_EQ(released, (Lines{"status", "config"}));
}

}  // namespace
