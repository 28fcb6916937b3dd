#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Brix/VrrpSm.h"
#include "Kel/Type.h"
#include "PlinthL3Records/MyStationDir.h"
#include "PlinthL3Records/MyStationTable.h"
#include "PlinthL3Unicast/L3MyStationHelperSm.h"
#include "PlinthL3Unicast/L3MyStationMounter.h"
#include "PlinthL3Unicast/L3MyStationSm.h"
#include "PlinthL3Unicast/L3VrrpHelper.h"
#include "PlinthProfile/Profile.h"
#include "Switch.h"
#include "Toggle/Toggle.h"

namespace {

using namespace PlinthL3Unicast;
using Sw = PlinthAgent::Switch;
using Any = Kel::Ptr<Kel::PtrInterface>;
using Lines = std::vector<std::string>;
using Brix::VrrpPrivateVlanReflectorLib::VirtualRouterMacTable;

constexpr char const* kChildren[] = {"l3MyStationHelperSm", "l3MyStationSm",
                                     "vrrpPrivateVlanReflectorSm", "vrrpSmHelper", "vrrpSm"};

Any child(MyStationMounter& m, char const* attr, Kel::AttrOp op = Kel::AttrOp::read) {
    Kel::Value io;
    EXPECT_EQ(m.fwkType()->genericIfAttributeOp(m, attr, op, io), Kel::kAttrOpOk) << attr;
    return Kel::fromValue<Any>(io);
}

// A digit per attribute of the mounter, in declaration order: whether it
// holds something. The five children follow the space.
std::string held(MyStationMounter& m) {
    std::string out;
    for (Kel::AttrId id = 0; id < m.fwkType()->attributeCount(); ++id) {
        Kel::Value io;
        m.fwkType()->genericIfAttributeOp(m, id, Kel::AttrOp::read, io);
        out += std::string(id == 8 ? " " : "") +
               (Kel::fromValue<Kel::Ptr<Kel::PtrInterface const>>(io) ? "1" : "0");
    }
    return out;
}

class WiringTest : public ::testing::Test {
  protected:
    // No toggle file: VRRP is on.
    WiringTest() { Toggle::toggleDirIs((std::filesystem::temp_directory_path() / "no-toggles").string()); }
    void TearDown() override {
        mounter_ = nullptr;
        sw_.reset();
        PlinthProfile::chipProfileDel("plinthA");
        Toggle::toggleDirIs("");
        EXPECT_EQ(Kel::liveObjects(), liveAtStart_);
    }
    MyStationMounter& start() {
        if (!mounter_) {
            mounter_ = MyStationMounter::MyStationMounterIs("myStation");
        }
        mounter_->contextIs(sw_->context());
        mounter_->doInit();
        EXPECT_EQ(sw_->sysdb()->doCompleteMounts(), 1);
        return *mounter_;
    }

    std::int64_t const liveAtStart_ = Kel::liveObjects();
    std::unique_ptr<Sw> sw_ = std::make_unique<Sw>();
    Kel::Ptr<MyStationMounter> mounter_;
};

// ---- keep or replace ------------------------------------------------------------------

// The wired input, or another of its type when it is the one replaced.
template <class T, class U>
T pick(int replaced, int input, T wired, U other) {
    return replaced == input ? T(other) : wired;
}

struct KeepCase {
    char const* child;
    int inputs;
    // The create operation with the inputs the wiring gave it, but `replaced`.
    Any (*call)(MyStationMounter&, Sw&, int replaced);
};

KeepCase const kKeepCases[] = {
    {"l3MyStationHelperSm", 5,
     [](MyStationMounter& m, Sw& s, int r) -> Any {
         return m.l3MyStationHelperSmIs(
             pick(r, 0, m.routerMacDb(), Kel::newPtr<Brix::BrixRouterMacDb>()),
             pick(r, 1, m.routerMacStatusDb(), Kel::newPtr<Brix::BrixRouterMacStatusDb>()),
             pick(r, 2, s.routingConfig(), Kel::newPtr<L3MyStationRoutingConfig>()),
             pick(r, 3, s.routingStatus(), Kel::newPtr<L3MyStationRoutingStatus>()),
             pick(r, 4, m.myStationConfigDir(), Kel::newPtr<MyStationConfigDir>()));
     }},
    {"l3MyStationSm", 5,
     [](MyStationMounter& m, Sw& s, int r) -> Any {
         return m.l3MyStationSmIs(
             pick(r, 0, s.sysdb(), Kel::newPtr<Corral::EntityManager>()),
             pick(r, 1, s.featureCommon(), Kel::newPtr<PlinthCentral::FeatureAgentCommonSmData>()),
             pick(r, 2, m.myStationConfigDir(), Kel::newPtr<MyStationConfigDir>()),
             pick(r, 3, m.myStationStatusDir(), Kel::newPtr<MyStationStatusDir>()),
             pick(r, 4, s.smRunningState(), Kel::newPtr<SmRunningState>()));
     }},
    {"vrrpPrivateVlanReflectorSm", 3,
     [](MyStationMounter& m, Sw& s, int r) -> Any {
         return m.vrrpPrivateVlanReflectorSmIs(
             pick(r, 0, s.vrMacStatus(), Kel::newPtr<Routing::Fhrp::VirtualRouterMacStatus>()),
             pick(r, 1, s.brixL3Status()->intfVlanIdSet(), Kel::newPtr<IntfVlanIdSet::Table>()),
             pick(r, 2, m.vrrpMacStatus(), Kel::newPtr<VirtualRouterMacTable>()));
     }},
    {"vrrpSmHelper", 3,
     [](MyStationMounter& m, Sw&, int r) -> Any {
         return m.vrrpSmHelperIs(pick(r, 0, Vosk::String(""), Vosk::String("other")),
                                 pick(r, 1, m.myStationConfigDir(), Kel::newPtr<MyStationConfigDir>()),
                                 pick(r, 2, m.myStationStatusDir(), Kel::newPtr<MyStationStatusDir>()));
     }},
    {"vrrpSm", 3,
     [](MyStationMounter& m, Sw&, int r) -> Any {
         return m.vrrpSmIs(
             pick(r, 0, m.vrrpMacStatus(), Kel::newPtr<VirtualRouterMacTable>()),
             pick(r, 1, m.fhrpHwStatus(), Kel::newPtr<Routing::Fhrp::Hardware::Status>()),
             pick(r, 2, Kel::Ptr<BrixHelper::VrrpSmHelper>(m.vrrpSmHelper()),
                  Kel::newPtr<BrixHelper::VrrpSmHelper>("other")));
     }},
};

struct KeepParam {
    KeepCase const* c;
    int replaced;  // -1: every input the same
};

std::vector<KeepParam> keepParams() {
    std::vector<KeepParam> params;
    for (KeepCase const& c : kKeepCases) {
        for (int replaced = -1; replaced < c.inputs; ++replaced) {
            params.push_back({&c, replaced});
        }
    }
    return params;
}

void PrintTo(KeepParam const& p, std::ostream* os) {
    *os << p.c->child << " input " << p.replaced;
}

class KeepOrReplaceTest : public WiringTest, public ::testing::WithParamInterface<KeepParam> {};

TEST_P(KeepOrReplaceTest, KeptOnTheSameInputsElseReplacedByOneSwitchedOn) {
    auto const [c, replaced] = GetParam();
    MyStationMounter& m = start();
    Any const first = child(m, c->child);
    ASSERT_TRUE(first);
    Any const now = c->call(m, *sw_, replaced);
    EXPECT_EQ(child(m, c->child), now);
    if (replaced < 0) {
        EXPECT_EQ(now, first);
        return;
    }
    ASSERT_NE(now, first);
    EXPECT_TRUE(now->hasNotificationActive());
    // The old one is only released, not silenced; the helper is detached.
    EXPECT_TRUE(first->hasNotificationActive());
    if (auto* helper = dynamic_cast<VrrpSmHelper*>(now.get())) {
        EXPECT_EQ(helper->parent(), &m);
        EXPECT_EQ(dynamic_cast<VrrpSmHelper&>(*first).parent(), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Children, KeepOrReplaceTest, ::testing::ValuesIn(keepParams()),
                         [](auto const& info) {
                             int const r = info.param.replaced;
                             return std::string(info.param.c->child) +
                                    (r < 0 ? "_SameInputs" : "_Input" + std::to_string(r));
                         });

// ---- creation order -------------------------------------------------------------------

// Runs `action` on every change that `entity` announces while this lives.
struct OnNotify {
    OnNotify(Kel::Ptr<Kel::NotifyingEntity const> entity, std::function<void()> action)
        : entity_(std::move(entity)), action_(std::move(action)) {
        slot_.owner = this;
        slot_.dispatch = [](Vosk::Publisher*, Vosk::Subscriber* s, short, void const*,
                            void const*) { static_cast<OnNotify*>(s->owner)->action_(); };
        entity_->notifieeList()->subscriberAdd(&slot_, false);
    }
    ~OnNotify() { entity_->notifieeList()->subscriberRemove(&slot_); }

    Kel::Ptr<Kel::NotifyingEntity const> entity_;
    std::function<void()> action_;
    Vosk::Subscriber slot_;
};

// Each child writes something as it starts (the reflector the virtual-MAC
// table, the VRRP machine through the helper the configuration, the table
// programmer the running state, the resolver the routing status); what the
// mounter holds at that moment shows which children came before it.
TEST_F(WiringTest, EachChildStartsWithThoseBeforeItInPlace) {
    Kel::Ptr<Asic::ChipProfile> profile(new Asic::ChipProfile("plinthA"));
    profile->featureIs(Kel::Ptr<MyStationAttr>(new MyStationAttr(false)));
    PlinthProfile::chipProfileIs(profile);
    LogicalFap::LogicalFapId const fap{7};
    sw_->featureCommon()->logicalModInfoIs(
        fap, Kel::newPtr<PlinthCentral::LogicalModuleInfo>(PlinthCentral::ChipInfo{"plinthA", 2}));
    sw_->featureCommon()->logicalFapIdInsertedIs(fap);
    sw_->vrMacStatus()->virtualMacIs({"Vlan10", Pakt::EthAddr(0x00005e00010a)});
    sw_->brixL3Status()->intfVlanIdSet()->vlanIdIs("Vlan10", 10);
    sw_->routingConfig()->routerMacIs({Pakt::EthAddr(0x001c730000aa), true});

    mounter_ = MyStationMounter::MyStationMounterIs("myStation");
    Lines seen;
    auto look = [&] {
        std::string now;
        for (char const* attr : kChildren) {
            now += child(*mounter_, attr) ? std::string(now.empty() ? "" : " ") + attr : "";
        }
        if (seen.empty() || seen.back() != now) {
            seen.push_back(now);
        }
    };
    OnNotify table(mounter_->vrrpMacStatusIs(), look);
    OnNotify config(mounter_->myStationConfigDirIs(), look);
    OnNotify running(sw_->smRunningState(), look);
    OnNotify routing(sw_->routingStatus(), look);
    start();
    EXPECT_EQ(seen, (Lines{"", "vrrpPrivateVlanReflectorSm vrrpSmHelper",
                           "vrrpPrivateVlanReflectorSm vrrpSmHelper vrrpSm",
                           "l3MyStationHelperSm l3MyStationSm vrrpPrivateVlanReflectorSm "
                           "vrrpSmHelper vrrpSm"}));
    EXPECT_TRUE(sw_->smRunningState()->running());
}

// ---- delete and teardown --------------------------------------------------------------

TEST_F(WiringTest, DelHandsTheChildBackSilencedOrDetached) {
    MyStationMounter& m = start();
    for (char const* attr : kChildren) {
        Any const present = child(m, attr);
        EXPECT_EQ(child(m, attr, Kel::AttrOp::del), present) << attr;
        EXPECT_FALSE(child(m, attr, Kel::AttrOp::del)) << attr;
        if (auto* helper = dynamic_cast<VrrpSmHelper*>(present.get())) {
            EXPECT_EQ(helper->parent(), nullptr);
        } else {
            EXPECT_FALSE(present->hasNotificationActive()) << attr;
        }
    }
}

// Calls `onRelease` when the last reference goes, that of the child given it.
template <class Base>
struct Sentinel : Base {
    explicit Sentinel(std::function<void()> f) : onRelease(std::move(f)) {}
    ~Sentinel() override { onRelease(); }
    std::function<void()> onRelease;
};

TEST_F(WiringTest, TeardownDropsTheDirectoriesThenEachChildInOrderThenTheInputs) {
    MyStationMounter& m = start();
    Kel::Ptr<VrrpSmHelper> const helper = m.vrrpSmHelper();
    Lines released;
    auto note = [&](char const* name) {
        return [&, name] {
            released.push_back(std::string(name) + " " + held(m) +
                               (helper->parent() ? " attached" : " detached"));
        };
    };
    // Each child rebuilt with one input that only it holds.
    m.l3MyStationHelperSmIs(
        m.routerMacDb(), m.routerMacStatusDb(), sw_->routingConfig(),
        Kel::newPtr<Sentinel<L3MyStationRoutingStatus>>(note("l3MyStationHelperSm")),
        m.myStationConfigDir());
    m.l3MyStationSmIs(sw_->sysdb(), sw_->featureCommon(), m.myStationConfigDir(),
                      m.myStationStatusDir(),
                      Kel::newPtr<Sentinel<SmRunningState>>(note("l3MyStationSm")));
    m.vrrpPrivateVlanReflectorSmIs(
        sw_->vrMacStatus(), Kel::newPtr<Sentinel<IntfVlanIdSet::Table>>(note("reflector")),
        m.vrrpMacStatus());
    m.vrrpSmIs(m.vrrpMacStatus(),
               Kel::newPtr<Sentinel<Routing::Fhrp::Hardware::Status>>(note("vrrpSm")),
               m.vrrpSmHelper());
    mounter_ = nullptr;
    EXPECT_EQ(released, (Lines{"l3MyStationHelperSm 11110100 01111 attached",
                               "l3MyStationSm 11110100 00111 attached",
                               "reflector 11110100 00011 attached",
                               "vrrpSm 11110100 00000 detached"}));
}

}  // namespace
