#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <type_traits>

#include "Asic/SwTable.h"
#include "Brix/VrrpSm.h"
#include "CaseName.h"
#include "Journal.h"
#include "NothingLeft.h"
#include "OwnProcess.h"
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
using M = MyStationMounter;
using Pub = Vosk::Publisher*;
using Lines = std::vector<std::string>;
using Any = Kel::Ptr<Kel::PtrInterface const>;
using PlinthTest::text;

constexpr char const* kChip = "plinthA";
constexpr LogicalFap::LogicalFapId kFap{7};
using PlinthTest::byName;
using PlinthTest::PrintTo;

// What an attribute of `o` holds (read) or hands back (del).
Any child(Kel::PtrInterface const& o, char const* attr, Kel::AttrOp op = Kel::AttrOp::read) {
    Kel::Value io;
    auto& self = const_cast<Kel::PtrInterface&>(o);
    EXPECT_EQ(self.fwkType()->genericIfAttributeOp(self, attr, op, io), Kel::kAttrOpOk) << attr;
    return Kel::fromValue<Any>(io);
}

// What each attribute of the mounter holds, in declaration order.
std::vector<Any> attrs(MyStationMounter& m) {
    std::vector<Any> all;
    for (Kel::AttrId id = 0; id < m.fwkType()->attributeCount(); ++id) {
        all.push_back(child(m, m.fwkType()->attributeName(id).c_str()));
    }
    return all;
}

constexpr Kel::AttrId kFirstChild = 8;

// The names of the attributes of `m`, from the `first` on, that hold nothing.
std::string empty(MyStationMounter& m, Kel::AttrId first = 0) {
    std::string out;
    for (std::vector<Any> const all = attrs(m); first < all.size(); ++first) {
        out += all[first] ? "" : (out.empty() ? "" : " ") + m.fwkType()->attributeName(first);
    }
    return out;
}
std::string const kChildren =
    "l3MyStationHelperSm l3MyStationSm vrrpPrivateVlanReflectorSm vrrpSmHelper vrrpSm";

// Each test reads toggles from a directory of its own, in a process of its
// own.
struct MounterTest : ::testing::Test {
    void TearDown() override {
        PlinthProfile::chipProfileDel(kChip);
        Toggle::toggleDirIs("");
        std::filesystem::remove_all(toggleDir_);
    }

    // Runs the mounter made so far (or a new one) through doInit and the
    // completion of its mounts.
    MyStationMounter& start() {
        if (!mounter_) {
            mounter_ = MyStationMounter::MyStationMounterIs("myStation");
        }
        Toggle::toggleDirIs(toggleDir_.string());
        mounter_->contextIs(sw_->context());
        mounter_->doInit();
        EXPECT_EQ(sw_->sysdb()->doCompleteMounts(), 1);
        return *mounter_;
    }
    // The chip agent announces a chip of the family with module information
    // (the table's creation is due once `id` is inserted too).
    void chipIs(std::optional<LogicalFap::LogicalFapId> inserted) {
        Kel::Ptr<Asic::ChipProfile> profile(new Asic::ChipProfile(kChip));
        profile->featureIs(Kel::Ptr<MyStationAttr>(new MyStationAttr(false)));
        PlinthProfile::chipProfileIs(profile);
        sw_->featureCommon()->logicalModInfoIs(
            kFap, Kel::newPtr<PlinthCentral::LogicalModuleInfo>(PlinthCentral::ChipInfo{kChip, 2}));
        if (inserted) {
            sw_->featureCommon()->logicalFapIdInsertedIs(*inserted);
        }
    }
    // Runs `body` in a process of its own, which ends with every object the
    // test made released: the toggle is read once per process, and every
    // test here reads it.
    void isolated(std::function<void()> const& body) {
        PlinthTest::inOwnProcess([&] {
            body();
            TearDown();
            mounter_ = nullptr;
            sw_.reset();
            EXPECT_EQ(Kel::liveObjects(), nothingLeft_.atStart) << "objects left alive";
        });
    }
    void rerun() { mounter_->doMountsComplete(Corral::MountStatus::complete, sw_->sysdb()); }
    void toggleIs(std::string const& value) {
        std::filesystem::create_directories(toggleDir_);
        std::ofstream(toggleDir_ / "PlinthLib.json")
            << R"({"PlinthL3UnicastVrrp": )" << value << '}';
    }

    PlinthTest::NothingLeft const nothingLeft_;  // members go in reverse order
    std::filesystem::path const toggleDir_ =
        std::filesystem::temp_directory_path() / ("toggles-" + std::to_string(::getpid()));
    std::unique_ptr<Sw> sw_ = std::make_unique<Sw>();
    Kel::Ptr<MyStationMounter> mounter_;
};

// A known chip, a router MAC, a system MAC and a VRRP MAC on VLAN 10, so
// that every child writes something as it starts; every capability flag
// starts at the opposite of what is published.
TEST_F(MounterTest, CompletionPublishesThenStartsEachChildWithThoseBeforeItInPlace) {
    isolated([&] {
        chipIs(kFap);
        sw_->routerMacDb()->routerMacIs({Pakt::EthAddr(0x001c73000001), Brix::MacType::interface},
                                        {true});
        sw_->routingConfig()->routerMacIs({Pakt::EthAddr(0x001c730000aa), true});
        sw_->vrMacStatus()->virtualMacIs({"Vlan10", Pakt::EthAddr(0x00005e00010a)});
        sw_->brixL3Status()->intfVlanIdSet()->vlanIdIs("Vlan10", 10);
        Routing::Fhrp::Hardware::Status& hw = *sw_->fhrpHwStatus();
        hw.useUniqueGroupIdsIs(true);
        hw.requireGlobalIpRoutingIs(true);
        hw.vrrpSubinterfaceSupportedIs(true);

        mounter_ = MyStationMounter::MyStationMounterIs("myStation");
        // Which children the mounter holds whenever one of them writes: the
        // journal looks at the chip table before each change it records, and
        // the reflector writes the virtual-MAC table.
        Lines present;
        std::function<void()> look = [&] { present.push_back(empty(*mounter_, kFirstChild)); };
        PlinthTest::Journal journal(
            {mounter_->myStationConfigDirIs(), mounter_->myStationStatusDirIs(),
             [&] { return look(), nullptr; }, sw_->routingStatus(), sw_->routerMacStatusDb(),
             sw_->fhrpHwStatus(), sw_->smRunningState()});
        Vosk::Subscriber onTable;
        onTable.owner = &look;
        onTable.dispatch = [](Vosk::Publisher*, Vosk::Subscriber* s, short, void const*,
                              void const*) { (*static_cast<std::function<void()>*>(s->owner))(); };
        mounter_->vrrpMacStatusIs()->notifieeList()->subscriberAdd(&onTable, false);
        MyStationMounter& m = start();
        EXPECT_TRUE(hw.anygwSupported() && hw.vrrpSupported() && hw.vrrpSupportedMaxNum() == 511 &&
                    hw.vrrpMacAsAnygwMacSupported() && !hw.useUniqueGroupIds() &&
                    !hw.requireGlobalIpRouting() && !hw.vrrpSubinterfaceSupported());
        // The reflector fills the virtual-MAC table, the VRRP machine writes
        // through the helper, the table programmer sets the running state, the
        // resolver the configuration again (children in the mounter's order:
        // resolver, table programmer, reflector, helper, VRRP machine).
        present.erase(std::unique(present.begin(), present.end()), present.end());
        EXPECT_EQ(present, (Lines{kChildren, "l3MyStationHelperSm l3MyStationSm vrrpSm",
                                  "l3MyStationHelperSm l3MyStationSm", ""}));

        // Again on the same entities: nothing new is made (the same children
        // kept: see the wiring tests) and only the capabilities are written again:
        // the resolver, already initialised, does not reconcile a second time.
        hw.vrrpSupportedMaxNumIs(0);
        journal.take();
        rerun();
        EXPECT_EQ(journal.take(), (Lines{"capability vrrpSupportedMaxNum=511"}));
        m.vrrpMacStatus()->notifieeList()->subscriberRemove(&onTable);
    });
}

// Refused, with a line at level 0, before anything is created or published,
// while the hardware status or the L3 status is missing; wired once both are
// there, with a toggle file that cannot be read, which is said at level 0
// too. Entry and each completion are traced at level 4.
TEST_F(MounterTest, WiringRefusedUntilItsPreconditionsHold) {
    isolated([&] {
        toggleIs("false,");
        for (char const* path : {Path::routerMacDb, Path::fhrpHwStatus, Path::brixL3Status}) {
            sw_->omit(path);
        }
        PlinthTest::TraceCapture capture("L3MyStationMounter");
        MyStationMounter& m = start();
        EXPECT_EQ(empty(m),
                  "routerMacDb fhrpHwStatus vrrpMacStatus myStationConfigDir myStationStatusDir " +
                      kChildren);
        sw_->sysdb()->entityIs(Path::fhrpHwStatus, Kel::newPtr<Routing::Fhrp::Hardware::Status>());
        rerun();
        EXPECT_EQ(empty(m),
                  "routerMacDb vrrpMacStatus myStationConfigDir myStationStatusDir " + kChildren);
        EXPECT_FALSE(sw_->fhrpHwStatus()->anygwSupported());
        sw_->shared()->childIs(Path::brixL3Status, Kel::newPtr<Brix::L3Status>());
        rerun();
        EXPECT_EQ(empty(m), "routerMacDb");
        std::string const at4 = "4 virtual void PlinthL3Unicast::MyStationMounter::";
        // clang-format off
        auto completed = [&](std::string const& status) {
            return ::testing::MatchesRegex(at4 + "doMountsComplete\\(Corral::MountStatus, const Ptr&\\), mountStatus = " +
                                           status + ", em = Kel::Dir@0x[0-9a-f]+");
        };
        EXPECT_THAT(capture.lines, ::testing::ElementsAre(at4 + "doInit()", completed("mountIncomplete"),
            "0 routing/fhrp/hardware/status missing, My Station wiring refused", completed("mountComplete"),
            "0 brixL3Status missing, My Station wiring refused", completed("mountComplete"),
            "0 toggle file unreadable, default used: " + Toggle::lastError()));
        // clang-format on
    });
}

struct WiringCase {
    char const* name;
    char const* toggle;  // its value in PlinthLib.json, if there is one
    bool vrrpEnabled;
    // An input gone by the second completion, or of another type there; the
    // attributes of the mounter then empty, and a child made from it with
    // the input it then holds nothing in.
    char const* path;
    bool wrongType = false;
    char const* empty = "";
    char const* child = nullptr;
    char const* childInput = nullptr;
};

// The toggle is read once per process: each case runs in a process of its own.
class WiringTest : public MounterTest, public ::testing::WithParamInterface<WiringCase> {};

// The toggle decides only whether VRRP is supported, once per process. An
// input gone is left null and the children remade with it, then kept.
// (The agent tests run without the routing configuration, its status and the
// router-MAC status database.)
TEST_P(WiringTest, DeclaresTheMountsAndWiresWhateverIsThere) {
    isolated([&] {
        WiringCase const& c = GetParam();
        if (c.toggle) {
            toggleIs(c.toggle);
        }
        MyStationMounter& m = start();
        EXPECT_EQ(sw_->fhrpHwStatus()->vrrpSupported(), c.vrrpEnabled);
        EXPECT_EQ(empty(m), "");
        auto const group = sw_->sysdb()->getMountGroup(mounter_.get());
        Lines mounts;
        for (Corral::Mount const& m : group->mounts()) {  // flags: 1 read, 3 read and write
            mounts.push_back(text(m.path(), ' ', m.typeName(), ' ', m.flags()));
        }
        for (auto const& m : sw_->local()->mounts()) {
            mounts.push_back(text("local ", m.path, ' ', m.typeName));
        }
        // clang-format off
        EXPECT_EQ(mounts, (Lines{"hardware/brix/routerMacDb Brix::BrixRouterMacDb 3",
                                 "hardware/brix/routerMacStatusDb Kel::Dir 3",
                                 "routing/fhrp/vrMacStatus Routing::Fhrp::VirtualRouterMacStatus 1",
                                 "routing/fhrp/hardware/status Routing::Fhrp::Hardware::Status 3",
                                 "hardware/plinth/centralStatus/l3Capabilities PlinthCentral::L3Capabilities 1",
                                 std::string(Asic::kHwTableMountPath) + " Kel::Dir 3",
                                 "local l3/myStationRoutingConfig PlinthL3Unicast::L3MyStationRoutingConfig",
                                 "local l3/myStationRoutingStatus PlinthL3Unicast::L3MyStationRoutingStatus",
                                 "local l3/smState/2 PlinthL3Unicast::SmRunningState"}));
        // clang-format on
        EXPECT_EQ(group->closeCount(), 1);
        EXPECT_FALSE(group->closeArgs().force);

        toggleIs(c.vrrpEnabled ? "false" : "true");
        sw_->omit(c.path);
        if (c.wrongType) {
            sw_->sysdb()->entityIs(c.path, Kel::newPtr<Kel::Dir>("impostor"));
        }
        rerun();
        EXPECT_EQ(sw_->fhrpHwStatus()->vrrpSupported(), c.vrrpEnabled);
        std::vector<Any> const made = attrs(m);
        EXPECT_EQ(empty(m), c.empty);
        EXPECT_FALSE(c.child && child(*child(m, c.child), c.childInput));
        rerun();
        EXPECT_EQ(attrs(m), made);
    });
}

// Only the lowest bit of the toggle counts.
// clang-format off
WiringCase const kWirings[] = {
    {.name = "NoFile_RouterMacDbOfAnotherType", .toggle = nullptr, .vrrpEnabled = true, .path = Path::routerMacDb,
     .wrongType = true, .empty = "routerMacDb", .child = "l3MyStationHelperSm", .childInput = "routerMacDb"},
    {.name = "Off_VrMacStatusOfAnotherType", .toggle = "false", .vrrpEnabled = false, .path = Path::vrMacStatus,
     .wrongType = true, .empty = "virtualMacStatusIn", .child = "vrrpPrivateVlanReflectorSm",
     .childInput = "virtualRouterMacStatusIn"},
    {.name = "Two_CapabilitiesGone", .toggle = "2", .vrrpEnabled = false, .path = Path::l3Capabilities,
     .empty = "l3Capabilities"},
    {.name = "Three_FeatureCommonGone", .toggle = "3", .vrrpEnabled = true, .path = Path::featureCommon,
     .child = "l3MyStationSm", .childInput = "fcsd"},
    {.name = "InvalidJson_RunningStateGone", .toggle = "false,", .vrrpEnabled = true, .path = Path::smState,
     .child = "l3MyStationSm", .childInput = "smRunningState"},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Toggle, WiringTest, ::testing::ValuesIn(kWirings), byName);

// Handed to the next input that in() makes, which calls it when released.
std::function<void()> onRelease = [] {};

template <class Base>
struct Sentinel : Base {
    ~Sentinel() override { note(); }
    std::function<void()> note = std::exchange(onRelease, [] {});
};

// The wired input, or a new one of its type when it is the one replaced.
template <class T>
Kel::Ptr<T> in(int replaced, int input, Kel::Ptr<T> const& wired) {
    return replaced == input ? Kel::Ptr<T>(Kel::newPtr<Sentinel<std::remove_const_t<T>>>()) : wired;
}

struct KeepCase {
    char const* name;
    int inputs;
    int own;  // an input that only this child holds, if any
    // The create operation with the inputs the wiring gave it, but `r`.
    Any (*call)(M&, Sw&, int r);
};

// clang-format off
KeepCase const kKeepCases[] = {
    {.name = "l3MyStationHelperSm", .inputs = 5, .own = 3, .call = [](M& m, Sw& s, int r) -> Any {
         return m.l3MyStationHelperSmIs(in(r, 0, m.routerMacDb()), in(r, 1, m.routerMacStatusDb()),
             in(r, 2, s.routingConfig()), in(r, 3, s.routingStatus()), in(r, 4, m.myStationConfigDir())); }},
    {.name = "l3MyStationSm", .inputs = 5, .own = 4, .call = [](M& m, Sw& s, int r) -> Any {
         return m.l3MyStationSmIs(in(r, 0, s.sysdb()), in(r, 1, s.featureCommon()), in(r, 2, m.myStationConfigDir()),
                                  in(r, 3, m.myStationStatusDir()), in(r, 4, s.smRunningState())); }},
    {.name = "vrrpPrivateVlanReflectorSm", .inputs = 3, .own = 1, .call = [](M& m, Sw& s, int r) -> Any {
         return m.vrrpPrivateVlanReflectorSmIs(in(r, 0, s.vrMacStatus()), in(r, 1, s.brixL3Status()->intfVlanIdSet()),
                                               in(r, 2, m.vrrpMacStatus())); }},
    {.name = "vrrpSmHelper", .inputs = 3, .own = -1, .call = [](M& m, Sw&, int r) -> Any {
         return m.vrrpSmHelperIs(r == 0 ? "other" : "", in(r, 1, m.myStationConfigDir()),
                                 in(r, 2, m.myStationStatusDir())); }},
    {.name = "vrrpSm", .inputs = 3, .own = 1, .call = [](M& m, Sw&, int r) -> Any {
         return m.vrrpSmIs(in(r, 0, m.vrrpMacStatus()), in(r, 1, m.fhrpHwStatus()),
                           r == 2 ? Kel::newPtr<BrixHelper::VrrpSmHelper>("other") : m.vrrpSmHelper()); }},
};
// clang-format on

class KeepOrReplaceTest : public MounterTest, public ::testing::WithParamInterface<KeepCase> {};

// Kept on the very inputs it was made from; replaced, by one switched on,
// when any one differs; the old one only released, not silenced (the helper
// detached). Del hands it back silenced (the helper detached).
TEST_P(KeepOrReplaceTest, AChildIsKeptOnTheSameInputsAndReplacedWhenOneDiffers) {
    isolated([&] {
        KeepCase const& c = GetParam();
        MyStationMounter& m = start();
        Any last = child(m, c.name);
        ASSERT_TRUE(last);
        EXPECT_EQ(c.call(m, *sw_, -1), last);
        auto attachedTo = [](Any const& o) {
            auto const* helper = dynamic_cast<VrrpSmHelper const*>(o.get());
            return helper ? helper->parent() : nullptr;
        };
        for (int r = 0; r < c.inputs; ++r) {
            SCOPED_TRACE("input " + std::to_string(r));
            Any const now = c.call(m, *sw_, r);
            EXPECT_NE(now, last);
            EXPECT_EQ(child(m, c.name), now);
            EXPECT_TRUE(now->hasNotificationActive() && last->hasNotificationActive());
            EXPECT_EQ(attachedTo(last), nullptr);
            last = c.call(m, *sw_, -1);
        }
        EXPECT_EQ(child(m, c.name, Kel::AttrOp::del), last);
        EXPECT_EQ(attachedTo(last), nullptr);
        EXPECT_TRUE(std::string(c.name) == "vrrpSmHelper" || !last->hasNotificationActive());
    });
}

INSTANTIATE_TEST_SUITE_P(Children, KeepOrReplaceTest, ::testing::ValuesIn(kKeepCases), byName);

// Each reactor remade with an input that only it holds, which notes, when
// released, what the mounter still holds and whether the helper is attached.
TEST_F(MounterTest, TeardownDropsTheDirectoriesThenEachChildInOrderThenTheInputs) {
    isolated([&] {
        MyStationMounter& m = start();
        Kel::Ptr<VrrpSmHelper> const helper = m.vrrpSmHelper();
        Lines released;
        for (KeepCase const& c : kKeepCases) {
            onRelease = [&, name = c.name] {
                released.push_back(std::string(name) + ": " + empty(m) +
                                   (helper->parent() ? ", attached" : ", detached"));
            };
            if (c.own >= 0) {
                c.call(m, *sw_, c.own);
            }
        }
        onRelease = [] {};
        mounter_ = nullptr;
        std::string const dirs = "vrrpMacStatus myStationConfigDir myStationStatusDir ";
        // clang-format off
        EXPECT_EQ(released, (Lines{"l3MyStationHelperSm: " + dirs + "l3MyStationHelperSm, attached",
                                   "l3MyStationSm: " + dirs + "l3MyStationHelperSm l3MyStationSm, attached",
                                   "vrrpPrivateVlanReflectorSm: " + dirs + "l3MyStationHelperSm l3MyStationSm "
                                   "vrrpPrivateVlanReflectorSm, attached",
                                   "vrrpSm: " + dirs + kChildren + ", detached"}));
        // clang-format on
    });
}

// ---- Dispatch ---------------------------------------------------------------------

// One dispatch entry of a reactor: a change of the input it watches, and the
// same change announced again by hand, once under another attribute.
struct DispatchCase {
    char const* name;
    char const* reactor;  // the mounter's child
    short watched, other;
    void const* key = nullptr;
    void const* value = nullptr;
    bool tableLive = true;  // a logical FAP id inserted before start
    // Makes the change; answers the publisher of the input changed.
    Pub (*change)(Sw&, M&);
};

MacVlan const kConfigKey{Pakt::EthAddr(0x001c73000001), 0, 0};
Brix::MacTypeMask const kRouterMac{Pakt::EthAddr(0x001c73000002), Brix::MacType::interface};
Brix::BrixRouterMac const kRouting{true};
Bridging::MacVlanPair const kVrrpPair{Pakt::EthAddr(0x00005e00010a), 10};
using Fcsd = PlinthCentral::FeatureAgentCommonSmData;
using RoutingConfig = L3MyStationRoutingConfig;
using ConfigDir = MyStationConfigDir;
using RouterMacDb = Brix::BrixRouterMacDb;
using VrrpMacs = Brix::VrrpPrivateVlanReflectorLib::VirtualRouterMacTable;
using VrMacs = Routing::Fhrp::VirtualRouterMacStatus;

// clang-format off
DispatchCase const kDispatchCases[] = {
    {.name = "TableProgrammerLogicalFapIds", .reactor = "l3MyStationSm", .watched = Fcsd::kLogicalFapIdInsertedAttr,
     .other = Fcsd::kLogicalModInfoAttr, .key = &kFap, .tableLive = false, .change = [](Sw& s, M&) -> Pub {
         s.featureCommon()->logicalFapIdInsertedIs(kFap);
         return s.featureCommon()->notifieeList(); }},
    {.name = "TableProgrammerConfiguration", .reactor = "l3MyStationSm", .watched = ConfigDir::kCollectionAttr,
     .other = ConfigDir::kCollectionAttr + 1, .key = &kConfigKey, .change = [](Sw&, M& m) -> Pub {
         m.myStationConfigDir()->configIs(kConfigKey, {{.macVlan = kConfigKey}});
         return m.myStationConfigDir()->notifieeList(); }},
    {.name = "ResolverRoutingConfiguration", .reactor = "l3MyStationHelperSm", .watched = RoutingConfig::kRouterMacAttr,
     .other = RoutingConfig::kVirtualRouterMacAttr + 1, .change = [](Sw& s, M&) -> Pub {
         s.routingConfig()->routerMacIs({Pakt::EthAddr(0x001c730000aa), true});
         return s.routingConfig()->notifieeList(); }},
    {.name = "ResolverRouterMacs", .reactor = "l3MyStationHelperSm", .watched = RouterMacDb::kRouterMacAttr,
     .other = RouterMacDb::kRouterMacAttr + 1, .key = &kRouterMac, .value = &kRouting, .change = [](Sw& s, M&) -> Pub {
         s.routerMacDb()->routerMacIs(kRouterMac, kRouting);
         return s.routerMacDb()->notifieeList(); }},
    {.name = "ReflectorVirtualMacs", .reactor = "vrrpPrivateVlanReflectorSm", .watched = VrMacs::kVirtualMacAttr,
     .other = VrMacs::kVirtualMacAttr + 1, .change = [](Sw& s, M&) -> Pub {
         s.brixL3Status()->intfVlanIdSet()->vlanIdIs("Vlan10", 10);
         s.vrMacStatus()->virtualMacIs({"Vlan10", kVrrpPair.mac});
         return s.vrMacStatus()->notifieeList(); }},
    {.name = "VrrpMachineVirtualMacTable", .reactor = "vrrpSm", .watched = VrrpMacs::kMacVlanAttr,
     .other = VrrpMacs::kMacVlanAttr + 1, .key = &kVrrpPair, .change = [](Sw&, M& m) -> Pub {
         m.vrrpMacStatus()->macVlanIs(kVrrpPair);
         return m.vrrpMacStatus()->notifieeList(); }},
};
// clang-format on

class DispatchTest : public MounterTest, public ::testing::WithParamInterface<DispatchCase> {};

// Whatever a reaction writes shows in the journal (but the configuration,
// which one of the inputs is). Switched off, the reactor leaves the input.
TEST_P(DispatchTest, ReactsToItsOwnAttributeOnlyAndNotWhileMarkedForDeletion) {
    isolated([&] {
        DispatchCase const& c = GetParam();
        chipIs(c.tableLive ? std::optional(kFap) : std::nullopt);
        MyStationMounter& m = start();
        // clang-format off
        PlinthTest::Journal journal({{}, m.myStationStatusDir(), [&] { return m.l3MyStationSm()->myStationTable(); },
                                     sw_->routingStatus(), sw_->routerMacStatusDb(), {}, sw_->smRunningState()});
        // clang-format on
        auto& reactor = const_cast<Kel::PtrInterface&>(*child(m, c.reactor));
        reactor.kelMarkedForDeletionIs(true);
        Vosk::Publisher& input = *c.change(*sw_, m);
        EXPECT_EQ(journal.take(), Lines{}) << "reacted while marked for deletion";
        reactor.kelMarkedForDeletionIs(false);
        input.notify(c.other, c.key, c.value);
        EXPECT_EQ(journal.take(), Lines{}) << "reacted to another attribute";
        input.notify(c.watched, c.key, c.value);
        EXPECT_NE(journal.take(), Lines{}) << "the change itself went unheard";
        std::size_t const subscribers = input.subscriberCount();
        reactor.hasNotificationActiveIs(false);
        EXPECT_EQ(input.subscriberCount(), subscribers - 1) << "still listening when switched off";
    });
}

INSTANTIATE_TEST_SUITE_P(Entries, DispatchTest, ::testing::ValuesIn(kDispatchCases), byName);

// ---- Reflective access -----------------------------------------------------------

using PlinthL3::MacState;
using Fn = std::function<Kel::Value(Kel::PtrInterface&)>;

struct Attr {
    std::string name;
    // What it allows through reflective access, in letters: read, write (an
    // owned child: create), delete, invoke.
    char const* allows;
    // The typed accessor's value (an operation's: the typed call's result).
    Fn typed = {};
    // What a write stores.
    Fn other = {};
    Kel::ArgList args = {};  // of an operation
};

// An attribute read with its typed accessor; written, when it may be, with a
// new entity of its type or the negated flag.
template <class T, class R>
Attr attr(char const* name, char const* allows, R (T::*get)() const) {
    using V = std::remove_cvref_t<R>;
    Attr a{name, allows, [get](auto& o) { return Kel::toValue((dynamic_cast<T&>(o).*get)()); }};
    if constexpr (std::is_same_v<V, bool>) {
        a.other = [get](auto& o) { return Kel::Value(!(dynamic_cast<T&>(o).*get)()); };
    } else if constexpr (Kel::IsPtr<V>::value) {
        using E = std::remove_const_t<typename V::element_type>;
        if constexpr (std::is_default_constructible_v<E>) {
            a.other = [](auto&) { return Kel::toValue(Kel::newPtr<E>()); };
        } else if constexpr (std::is_constructible_v<E, bool>) {
            a.other = [](auto&) { return Kel::toValue(Kel::newPtr<E>(true)); };  // a chip flag
        }
    }
    return a;
}
// An operation, called with `args`; `typed`, the typed call, if it answers.
Attr op(char const* name, Kel::ArgList args = {}, Fn typed = {}) {
    return {name, "i", std::move(typed), {}, std::move(args)};
}
#define ATTR(allows, T, name) attr(#name, #allows, &T::name)

// A value as reflection carries it, in words: an entity by type and address.
template <class... T>
std::string textOf(Kel::Value const& v) {
    std::ostringstream os;
    os << std::boolalpha;
    bool const known = ((std::any_cast<T>(&v) && os << *std::any_cast<T>(&v)) || ...);
    return known ? os.str() : "? " + std::string(v.type().name());
}
auto* const shown = &textOf<Kel::Ptr<Kel::PtrInterface>, Kel::Ptr<Kel::PtrInterface const>,
                            Vosk::String, bool, MacState>;

struct TypeCase {
    char const* name;  // and its trace handle
    // The mounter's attribute that holds the instance; none: the mounter.
    char const* holder;
    std::vector<Attr> attrs;
};

using Sm = L3MyStationSm;
using Helper = L3MyStationHelperSm;
auto const kSystem = RouterTypes::systemRouter, kVirtual = RouterTypes::virtualRouter;

// clang-format off
TypeCase const kTypes[] = {
    {"L3MyStationMounter", nullptr,
     {ATTR(rw, M, routerMacDb), ATTR(rw, M, routerMacStatusDb), ATTR(rw, M, virtualMacStatusIn),
      ATTR(rw, M, fhrpHwStatus), ATTR(rwd, M, vrrpMacStatus), ATTR(rw, M, l3Capabilities),
      ATTR(rwd, M, myStationConfigDir), ATTR(rwd, M, myStationStatusDir), ATTR(rd, M, l3MyStationHelperSm),
      ATTR(rd, M, l3MyStationSm), ATTR(rd, M, vrrpPrivateVlanReflectorSm), ATTR(rd, M, vrrpSmHelper),
      ATTR(rd, M, vrrpSm)}},
    {"L3MyStationSm", "l3MyStationSm",
     {ATTR(r, Sm, corralEm), ATTR(r, Sm, fcsd), ATTR(r, Sm, myStationConfigDir), ATTR(r, Sm, myStationStatusDir),
      ATTR(r, Sm, smRunningState), ATTR(rw, Sm, myStationTable), ATTR(rw, Sm, l3UnicastChipAttr),
      op("handleLogicalFapId", {LogicalFap::LogicalFapId{7}}),
      op("handleConfig", {MacVlan{Pakt::EthAddr(0x001c73000001)}}), ATTR(rw, Sm, initialized),
      op("handleInitialized")}},
    {"L3MyStationHelperSm", "l3MyStationHelperSm",
     {ATTR(r, Helper, routerMacDb), ATTR(r, Helper, routerMacStatusDb), ATTR(r, Helper, myStationRoutingConfig),
      ATTR(r, Helper, myStationRoutingStatus), ATTR(r, Helper, myStationConfigDir), op("handleRouterType", {kSystem}),
      op("getNewMacState", {kVirtual}, [](auto& o) { return Kel::Value(dynamic_cast<Helper&>(o).getNewMacState(kVirtual)); }),
      op("getOldMacState", {kVirtual}, [](auto& o) { return Kel::Value(dynamic_cast<Helper&>(o).getOldMacState(kVirtual)); }),
      op("updateRouterMacState", {kSystem, MacState{}})}},
    {"L3VrrpHelper", "vrrpSmHelper",
     {attr("name", "r", &VrrpSmHelper::nameString), ATTR(r, VrrpSmHelper, myStationConfigDir),
      ATTR(r, VrrpSmHelper, myStationStatusDir),
      op("configureTcam", {Pakt::EthAddr(0x00005e00010a), U32{10}, true})}},
};
// clang-format on

class ReflectionTest : public MounterTest, public ::testing::WithParamInterface<TypeCase> {};

// Each attribute, by name, answers with its own typed accessor and changes
// nothing but it; each operation reaches its own function, which either
// answers as the typed call does or traces its own name first.
TEST_P(ReflectionTest, EveryAttributeAnswersForItselfAlone) {
    isolated([&] {
        TypeCase const& c = GetParam();
        start();
        // Every attribute set: a table and a chip attribute for the table
        // programmer; desired and applied states that differ for the resolver,
        // as long as nothing reconciles the virtual router.
        mounter_->l3MyStationSm()->myStationTableIs(myStationTableFactory());
        mounter_->l3MyStationSm()->l3UnicastChipAttrIs(Kel::newPtr<MyStationAttr>(false));
        sw_->routingStatus()->virtualRouterMacIs({Pakt::EthAddr(0x001c730000bb), true});
        Kel::PtrInterface& object =
            c.holder ? const_cast<Kel::PtrInterface&>(*child(*mounter_, c.holder)) : *mounter_;
        Kel::TypeImpl const& type = *object.fwkType();
        auto values = [&] {
            Lines out;
            for (Attr const& a : c.attrs) {
                out.push_back(std::strchr(a.allows, 'i') ? a.name : shown(a.typed(object)));
            }
            return out;
        };
        Lines expected = values();
        ASSERT_EQ(std::set<std::string>(expected.begin(), expected.end()).size(), expected.size())
            << "values that are not all distinct would hide a swap";
        std::string const null = shown(Kel::toValue(Kel::Ptr<Kel::PtrInterface>()));
        std::string const refused = "refused " + std::to_string(Kel::kAttrOpNotSupported);

        ASSERT_EQ(type.attributeCount(), c.attrs.size());
        for (std::size_t i = 0; i < c.attrs.size(); ++i) {
            Attr const& a = c.attrs[i];
            SCOPED_TRACE(a.name);
            EXPECT_EQ(type.attributeName(i), a.name);
            // What an operation on `a` leaves in `io`, unless it is refused.
            auto op = [&](Kel::AttrOp o, Kel::Value io = {}) {
                int const rc = type.genericIfAttributeOp(object, a.name, o, io, a.args);
                return rc == Kel::kAttrOpOk ? shown(io) : "refused " + std::to_string(rc);
            };
            auto allows = [&](char o) { return std::strchr(a.allows, o) != nullptr; };

            EXPECT_EQ(op(Kel::AttrOp::read), allows('r') ? expected[i] : refused);
            EXPECT_EQ(op(Kel::AttrOp::del), allows('d') ? expected[i] : refused);
            expected[i] = allows('d') ? null : expected[i];
            EXPECT_EQ(values(), expected);
            // What was stored, or the child created.
            std::string const wrote =
                op(Kel::AttrOp::write, a.other ? a.other(object) : Kel::Value());
            EXPECT_EQ(wrote == refused, !allows('w'));
            EXPECT_NE(wrote, null);
            expected[i] = allows('w') ? wrote : expected[i];
            EXPECT_EQ(values(), expected);

            PlinthTest::TraceCapture capture(c.name);
            std::string const result = op(Kel::AttrOp::invoke);
            EXPECT_EQ(result,
                      !allows('i') ? refused : shown(a.typed ? a.typed(object) : Kel::Value()));
            EXPECT_TRUE(!allows('i') || a.typed ||
                        (!capture.lines.empty() &&
                         capture.lines.front().find(a.name) != std::string::npos));
            expected = values();
        }
    });
}

INSTANTIATE_TEST_SUITE_P(PlugInTypes, ReflectionTest, ::testing::ValuesIn(kTypes), byName);

}  // namespace
