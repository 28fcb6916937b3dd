#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
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
#include "TraceCapture.h"

namespace {

using namespace PlinthL3Unicast;
namespace Path = PlinthAgent::Path;
using Sw = PlinthAgent::Switch;
using Any = Kel::Ptr<Kel::PtrInterface>;
using Keys = std::set<MacVlanTagged>;

constexpr LogicalFap::LogicalFapId kFap{7};
constexpr Pakt::EthAddr kRouterMac{0x001c73000001};
constexpr Pakt::EthAddr kInterfaceMac{0x001c73000002};
constexpr Pakt::EthAddr kSystemMac{0x001c730000aa};
constexpr Pakt::EthAddr kVrrpMac{0x00005e00010a};
constexpr char const* kChip = "plinthA";
constexpr std::array<char const*, 5> kChildren = {
    "l3MyStationHelperSm", "l3MyStationSm", "vrrpPrivateVlanReflectorSm", "vrrpSmHelper", "vrrpSm"};

// A router MAC entry's key: any VLAN, exact MAC.
MacVlanTagged anyVlan(Pakt::EthAddr mac) {
    return {mac, 0, 0};
}

Keys tableKeys(MyStationMounter const& m) {
    Keys keys;
    for (auto const& [key, entry] : m.l3MyStationSm()->myStationTable()->entries()) {
        keys.insert(key);
    }
    return keys;
}

// The child `attr` through generic access; `op` is read or del.
Any child(MyStationMounter& m, char const* attr, Kel::AttrOp op = Kel::AttrOp::read) {
    Kel::Value io;
    EXPECT_EQ(m.fwkType()->genericIfAttributeOp(m, attr, op, io), Kel::kAttrOpOk) << attr;
    return Kel::fromValue<Any>(io);
}

// A removed reactor is silenced; the helper, an entity, is detached instead.
bool silenced(Any const& removed) {
    if (auto const* helper = dynamic_cast<VrrpSmHelper const*>(removed.get())) {
        return helper->parent() == nullptr;
    }
    return !removed->hasNotificationActive();
}

std::vector<Any> children(MyStationMounter& m) {
    std::vector<Any> all;
    for (char const* attr : kChildren) {
        all.push_back(child(m, attr));
    }
    return all;
}

// Each test reads toggles from a directory of its own, and ends with every
// object it made released.
class WiringTest : public ::testing::Test {
  protected:
    WiringTest()
        : toggleDir_(std::filesystem::temp_directory_path() /
                     ("wiring-toggles-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(toggleDir_);
        Toggle::toggleDirIs(toggleDir_.string());
    }
    ~WiringTest() override {
        Toggle::toggleDirIs("");
        std::filesystem::remove_all(toggleDir_);
    }
    void TearDown() override {
        mounter_ = nullptr;
        PlinthProfile::chipProfileDel(kChip);
        switch_.reset();
        EXPECT_EQ(Kel::liveObjects(), liveAtStart_);
    }

    Sw& switchIs(std::set<std::string> omitted = {}) {
        switch_ = std::make_unique<Sw>(std::move(omitted));
        return *switch_;
    }
    // Runs the mounter made so far (or a new one) through doInit and the
    // completion of its mounts, on the switch made so far (or a full one).
    MyStationMounter& start() {
        if (!switch_) {
            switchIs();
        }
        if (!mounter_) {
            mounter_ = MyStationMounter::MyStationMounterIs("myStation");
        }
        mounter_->contextIs(switch_->context());
        mounter_->doInit();
        EXPECT_EQ(switch_->sysdb()->doCompleteMounts(), 1);
        return *mounter_;
    }
    void rerun() { mounter_->doMountsComplete(Corral::MountStatus::complete, sw().sysdb()); }

    // A known chip whose logical FAP id the chip agent has announced.
    void chipIs() {
        Kel::Ptr<Asic::ChipProfile> profile(new Asic::ChipProfile(kChip));
        profile->featureIs(Kel::Ptr<MyStationAttr>(new MyStationAttr(false)));
        PlinthProfile::chipProfileIs(profile);
        sw().featureCommon()->logicalModInfoIs(
            kFap, Kel::newPtr<PlinthCentral::LogicalModuleInfo>(PlinthCentral::ChipInfo{kChip, 2}));
        sw().featureCommon()->logicalFapIdInsertedIs(kFap);
    }
    void routerMacIs(Pakt::EthAddr mac, Brix::MacType type, bool routing = true) {
        sw().routerMacDb()->routerMacIs({mac, type}, {routing});
    }

    Sw& sw() { return *switch_; }

    std::int64_t const liveAtStart_ = Kel::liveObjects();
    std::filesystem::path const toggleDir_;
    std::unique_ptr<Sw> switch_;
    Kel::Ptr<MyStationMounter> mounter_;
};

// ---- keep or replace ------------------------------------------------------------------

struct ReactorCase {
    char const* attr;
    // Calls the create operation with the inputs the wiring gives it.
    Any (*same)(MyStationMounter&, Sw&);
    // Calls it with one input replaced by another entity.
    Any (*changed)(MyStationMounter&, Sw&);
};
void PrintTo(ReactorCase const& c, std::ostream* os) {
    *os << c.attr;
}

class ReactorIsTest : public WiringTest, public ::testing::WithParamInterface<ReactorCase> {};

TEST_P(ReactorIsTest, KeepsOnTheSameInputsAndReplacesWithAnActiveOneOtherwise) {
    MyStationMounter& m = start();
    Any const first = child(m, GetParam().attr);
    ASSERT_TRUE(first);
    EXPECT_EQ(GetParam().same(m, sw()), first);
    EXPECT_EQ(child(m, GetParam().attr), first);

    Any const second = GetParam().changed(m, sw());
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_EQ(child(m, GetParam().attr), second);
    EXPECT_TRUE(second->hasNotificationActive());
    EXPECT_TRUE(first->hasNotificationActive());  // released, not silenced
}

ReactorCase const kReactors[] = {
    {"l3MyStationSm",
     [](MyStationMounter& m, Sw& s) -> Any {
         return m.l3MyStationSmIs(s.sysdb(), s.featureCommon(), m.myStationConfigDir(),
                                  m.myStationStatusDir(), s.smRunningState());
     },
     [](MyStationMounter& m, Sw& s) -> Any {
         return m.l3MyStationSmIs(s.sysdb(), s.featureCommon(), m.myStationConfigDir(),
                                  Kel::newPtr<MyStationStatusDir>(), s.smRunningState());
     }},
    {"vrrpSm",
     [](MyStationMounter& m, Sw&) -> Any {
         return m.vrrpSmIs(m.vrrpMacStatus(), m.fhrpHwStatus(), m.vrrpSmHelper());
     },
     [](MyStationMounter& m, Sw&) -> Any {
         return m.vrrpSmIs(
             m.vrrpMacStatus(), m.fhrpHwStatus(),
             VrrpSmHelper::VrrpSmHelperIs("other", m.myStationConfigDir(), m.myStationStatusDir()));
     }},
    {"l3MyStationHelperSm",
     [](MyStationMounter& m, Sw& s) -> Any {
         return m.l3MyStationHelperSmIs(m.routerMacDb(), m.routerMacStatusDb(), s.routingConfig(),
                                        s.routingStatus(), m.myStationConfigDir());
     },
     [](MyStationMounter& m, Sw& s) -> Any {
         return m.l3MyStationHelperSmIs(nullptr, m.routerMacStatusDb(), s.routingConfig(),
                                        s.routingStatus(), m.myStationConfigDir());
     }},
};
INSTANTIATE_TEST_SUITE_P(Reactors, ReactorIsTest, ::testing::ValuesIn(kReactors),
                         [](auto const& info) { return std::string(info.param.attr); });

struct HelperCase {
    char const* name;
    char const* helperName;
    bool otherStatusDir;
    bool kept;
};
void PrintTo(HelperCase const& c, std::ostream* os) {
    *os << c.name;
}

class VrrpHelperIsTest : public WiringTest, public ::testing::WithParamInterface<HelperCase> {};

TEST_P(VrrpHelperIsTest, ReplacesOnlyOnAnotherNameOrDirectory) {
    HelperCase const& c = GetParam();
    MyStationMounter& m = start();
    Kel::Ptr<VrrpSmHelper> const first = m.vrrpSmHelper();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->nameString(), Vosk::String(""));
    EXPECT_EQ(first->parent(), &m);

    Kel::Ptr<MyStationStatusDir> statusDir = m.myStationStatusDir();
    if (c.otherStatusDir) {
        statusDir = Kel::newPtr<MyStationStatusDir>();
    }
    auto const current = m.vrrpSmHelperIs(c.helperName, m.myStationConfigDir(), statusDir);
    EXPECT_EQ(m.vrrpSmHelper(), current);
    EXPECT_EQ(current == first, c.kept);
    EXPECT_EQ(current->parent(), &m);
    EXPECT_EQ(current->nameString(), Vosk::String(c.helperName));
    EXPECT_EQ(first->parent(), c.kept ? &m : nullptr);
}

HelperCase const kHelpers[] = {
    {"SameNameAndDirectories", "", false, true},
    {"OtherName", "vrrp", false, false},
    {"OtherStatusDirectory", "", true, false},
};
INSTANTIATE_TEST_SUITE_P(Helper, VrrpHelperIsTest, ::testing::ValuesIn(kHelpers),
                         [](auto const& info) { return std::string(info.param.name); });

// ---- delete ---------------------------------------------------------------------------

class ChildDelTest : public WiringTest, public ::testing::WithParamInterface<char const*> {};

TEST_P(ChildDelTest, EmptyGivesNullAndPresentIsSilencedAndHandedBack) {
    mounter_ = MyStationMounter::MyStationMounterIs("unwired");
    EXPECT_FALSE(child(*mounter_, GetParam(), Kel::AttrOp::del));

    MyStationMounter& m = start();
    Any const present = child(m, GetParam());
    ASSERT_TRUE(present);
    EXPECT_EQ(child(m, GetParam(), Kel::AttrOp::del), present);
    EXPECT_FALSE(child(m, GetParam()));
    EXPECT_FALSE(child(m, GetParam(), Kel::AttrOp::del));
    EXPECT_TRUE(silenced(present));
}

INSTANTIATE_TEST_SUITE_P(Children, ChildDelTest, ::testing::ValuesIn(kChildren),
                         [](auto const& info) { return std::string(info.param); });

// ---- inputs that are off or absent ----------------------------------------------------

TEST_F(WiringTest, ToggleOffStillCreatesTheVrrpChildren) {
    std::ofstream(toggleDir_ / "PlinthLib.json") << R"({"PlinthL3UnicastVrrp": false})";
    MyStationMounter& m = start();
    EXPECT_FALSE(sw().fhrpHwStatus()->vrrpSupported());
    for (Any const& c : children(m)) {
        ASSERT_TRUE(c);
    }
    EXPECT_TRUE(m.vrrpPrivateVlanReflectorSm()->hasNotificationActive());
    EXPECT_TRUE(m.vrrpSm()->hasNotificationActive());
    EXPECT_EQ(m.vrrpSm()->vrrpHelper(), m.vrrpSmHelper());
}

TEST_F(WiringTest, WithoutRouterMacDbTheResolverIsCreatedAndInitialized) {
    switchIs({Path::routerMacDb});
    MyStationMounter& m = start();
    ASSERT_TRUE(m.l3MyStationHelperSm());
    EXPECT_FALSE(m.l3MyStationHelperSm()->routerMacDb());
    EXPECT_TRUE(m.l3MyStationHelperSm()->initialized());
    EXPECT_TRUE(m.l3MyStationHelperSm()->hasNotificationActive());
}

TEST_F(WiringTest, WithoutRunningStateTheTableIsStillProgrammed) {
    switchIs({Path::smState});
    chipIs();
    MyStationMounter& m = start();
    ASSERT_TRUE(m.l3MyStationSm());
    EXPECT_FALSE(m.l3MyStationSm()->smRunningState());
    ASSERT_TRUE(m.l3MyStationSm()->myStationTable());
    routerMacIs(kRouterMac, Brix::MacType::interface);
    EXPECT_EQ(tableKeys(m), Keys{anyVlan(kRouterMac)});
}

// ---- repeated completion and order ----------------------------------------------------

TEST_F(WiringTest, SecondCompletionKeepsEveryChildAndInitializesAgain) {
    MyStationMounter& m = start();
    std::vector<Any> const before = children(m);
    std::int64_t const live = Kel::liveObjects();
    PlinthTest::TraceCapture capture("L3MyStationHelperSm");
    rerun();
    EXPECT_EQ(children(m), before);
    EXPECT_EQ(Kel::liveObjects(), live);
    auto const texts = capture.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "handleInitialized"), 1);
}

// Runs `action` on every notification of `entity` while it lives.
struct OnNotify {
    OnNotify(Kel::Ptr<Kel::NotifyingEntity> entity, std::function<void()> action)
        : entity_(std::move(entity)), action_(std::move(action)) {
        slot_.owner = this;
        slot_.dispatch = [](Vosk::Publisher*, Vosk::Subscriber* s, short, void const*,
                            void const*) { static_cast<OnNotify*>(s->owner)->action_(); };
        entity_->notifieeList()->subscriberAdd(&slot_, false);
    }
    ~OnNotify() { entity_->notifieeList()->subscriberRemove(&slot_); }

    Kel::Ptr<Kel::NotifyingEntity> entity_;
    std::function<void()> action_;
    Vosk::Subscriber slot_;
};

// Every child is there and the table holds every configuration entry.
bool wiredAndInStep(MyStationMounter const& m) {
    if (!(m.l3MyStationHelperSm() && m.l3MyStationSm() && m.vrrpPrivateVlanReflectorSm() &&
          m.vrrpSmHelper() && m.vrrpSm() && m.l3MyStationSm()->myStationTable())) {
        return false;
    }
    return m.l3MyStationSm()->myStationTable()->entrys() == m.myStationConfigDir()->config().size();
}

TEST_F(WiringTest, TableProgrammerExistsBeforeTheFirstEntryAndInitializationIsLast) {
    switchIs();
    chipIs();
    routerMacIs(kRouterMac, Brix::MacType::interface);
    routerMacIs(kInterfaceMac, Brix::MacType::gateway);
    routerMacIs(Pakt::EthAddr(0x001c73000003), Brix::MacType::interface, false);
    sw().routingConfig()->routerMacIs({kSystemMac, true});
    mounter_ = MyStationMounter::MyStationMounterIs("myStation");
    // The resolver records an applied router MAC only once initialised: by
    // then every child must exist and every entry written must be programmed.
    std::vector<bool> seen;
    OnNotify watch(sw().routingStatus(), [&] { seen.push_back(wiredAndInStep(*mounter_)); });
    PlinthTest::TraceCapture capture("L3MyStationSm");
    MyStationMounter& m = start();

    for (std::string const& text : capture.texts()) {
        EXPECT_EQ(text.find(" MyStationTable is not yet initialized "), std::string::npos) << text;
    }
    EXPECT_EQ(tableKeys(m),
              (Keys{anyVlan(kRouterMac), anyVlan(kInterfaceMac), anyVlan(kSystemMac)}));
    EXPECT_EQ(m.myStationStatusDir()->status().size(), 3U);
    EXPECT_TRUE(sw().smRunningState()->running());
    EXPECT_EQ(seen, std::vector<bool>{true});
}

// ---- teardown -------------------------------------------------------------------------

TEST_F(WiringTest, DestructionSilencesEveryChildWhileTheirDirectoriesLiveOn) {
    switchIs();
    chipIs();
    routerMacIs(kRouterMac, Brix::MacType::interface);
    std::vector<Any> kept = children(start());
    Kel::Ptr<L3MyStationSm> const sm = mounter_->l3MyStationSm();
    mounter_ = nullptr;

    for (Any const& c : kept) {
        EXPECT_TRUE(silenced(c));
    }
    ASSERT_TRUE(sm->myStationConfigDir());
    EXPECT_NE(sm->myStationConfigDir()->config(MacVlan{kRouterMac}), nullptr);
    // Silenced: a new router MAC reaches neither the directory nor the table.
    routerMacIs(kInterfaceMac, Brix::MacType::interface);
    EXPECT_EQ(sm->myStationConfigDir()->config().size(), 1U);
    EXPECT_EQ(sm->myStationTable()->entrys(), 1U);
}

// ---- the loaded plug-in ---------------------------------------------------------------

TEST_F(WiringTest, LoadedPluginProgramsRouterAndVrrpMacsIntoTheChipTable) {
    ASSERT_EQ(Plugin::loadLibrary(PLINTH_PLUGIN_PATH), "");
    switchIs();
    chipIs();
    mounter_ = Kel::dynamicPtrCast<MyStationMounter>(
        Plugin::mounterStart("PlinthL3Unicast::MyStationMounter", "myStation", sw().context()));
    ASSERT_TRUE(mounter_);
    routerMacIs(kRouterMac, Brix::MacType::interface);
    sw().vrMacStatus()->virtualMacIs({"Vlan10", kVrrpMac});
    sw().brixL3Status()->intfVlanIdSet()->vlanIdIs("Vlan10", 10);
    EXPECT_EQ(tableKeys(*mounter_), (Keys{anyVlan(kRouterMac), {kVrrpMac, 10, 0xfff}}));
    EXPECT_TRUE(sw().smRunningState()->running());
}

}  // namespace
