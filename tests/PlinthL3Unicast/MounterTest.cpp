#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Asic/SwTable.h"
#include "Brix/VrrpSm.h"
#include "Journal.h"
#include "Kel/Type.h"
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
using Lines = std::vector<std::string>;
using Any = Kel::Ptr<Kel::PtrInterface>;
using Brix::VrrpPrivateVlanReflectorLib::VirtualRouterMacTable;

constexpr char const* kChip = "plinthA";
constexpr char const* kChildren[] = {"l3MyStationHelperSm", "l3MyStationSm",
                                     "vrrpPrivateVlanReflectorSm", "vrrpSmHelper", "vrrpSm"};

// Scratch files of this process; each test removes its own.
std::filesystem::path scratch(char const* what) {
    return std::filesystem::temp_directory_path() / (what + std::to_string(::getpid()));
}

// Cases print by name in failure reports.
template <class Case>
requires requires(Case const& c) {
    c.name;
}
void PrintTo(Case const& c, std::ostream* os) {
    *os << c.name;
}

Any child(MyStationMounter& m, char const* attr, Kel::AttrOp op = Kel::AttrOp::read) {
    Kel::Value io;
    EXPECT_EQ(m.fwkType()->genericIfAttributeOp(m, attr, op, io), Kel::kAttrOpOk) << attr;
    return Kel::fromValue<Any>(io);
}

std::vector<Any> children(MyStationMounter& m) {
    std::vector<Any> all;
    for (char const* attr : kChildren) {
        all.push_back(child(m, attr));
    }
    return all;
}

std::size_t missing(MyStationMounter& m) {
    auto const all = children(m);
    return std::count(all.begin(), all.end(), nullptr);
}

// A digit per attribute of the mounter in declaration order, whether it
// holds something; the five children after the space.
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

// Each test reads toggles from a directory of its own and ends with every
// object it made released.
class MounterTest : public ::testing::Test {
  protected:
    MounterTest() : toggleDir_(scratch("toggles-")) {
        std::filesystem::create_directories(toggleDir_);
        Toggle::toggleDirIs(toggleDir_.string());
    }
    ~MounterTest() override {
        Toggle::toggleDirIs("");
        std::filesystem::remove_all(toggleDir_);
    }
    void TearDown() override {
        mounter_ = nullptr;
        sw_.reset();
        PlinthProfile::chipProfileDel(kChip);
        EXPECT_EQ(Kel::liveObjects(), liveAtStart_);
    }

    // Runs the mounter made so far (or a new one) through doInit and the
    // completion of its mounts.
    MyStationMounter& start() {
        if (!mounter_) {
            mounter_ = MyStationMounter::MyStationMounterIs("myStation");
        }
        mounter_->contextIs(sw_->context());
        mounter_->doInit();
        EXPECT_EQ(sw_->sysdb()->doCompleteMounts(), 1);
        return *mounter_;
    }
    void rerun() { mounter_->doMountsComplete(Corral::MountStatus::complete, sw_->sysdb()); }
    void toggleFileIs(std::string const& text) {
        std::ofstream(toggleDir_ / "PlinthLib.json") << text;
    }

    std::int64_t const liveAtStart_ = Kel::liveObjects();
    std::filesystem::path const toggleDir_;
    std::unique_ptr<Sw> sw_ = std::make_unique<Sw>();
    Kel::Ptr<MyStationMounter> mounter_;
};

// ---- mount table ---------------------------------------------------------------------

TEST_F(MounterTest, DeclaresMountsInOrderAndClosesOnce) {
    start();
    auto const group = sw_->sysdb()->getMountGroup(mounter_.get());
    Lines mounts;
    for (Corral::Mount const& m : group->mounts()) {
        char const* flags = m.flags() == Corral::kMountRead                           ? " r"
                            : m.flags() == (Corral::kMountRead | Corral::kMountWrite) ? " w"
                                                                                      : " ?";
        mounts.push_back(m.path().stdString() + " " + m.typeName().stdString() + flags);
    }
    for (auto const& m : sw_->local()->mounts()) {
        mounts.push_back("local " + m.path.stdString() + " " + m.typeName.stdString());
    }
    EXPECT_EQ(mounts,
              (Lines{"hardware/brix/routerMacDb Brix::BrixRouterMacDb w",
                     "hardware/brix/routerMacStatusDb Kel::Dir w",
                     "routing/fhrp/vrMacStatus Routing::Fhrp::VirtualRouterMacStatus r",
                     "routing/fhrp/hardware/status Routing::Fhrp::Hardware::Status w",
                     "hardware/plinth/centralStatus/l3Capabilities PlinthCentral::L3Capabilities r",
                     std::string(Asic::kHwTableMountPath) + " Kel::Dir w",
                     "local l3/myStationRoutingConfig PlinthL3Unicast::L3MyStationRoutingConfig",
                     "local l3/myStationRoutingStatus PlinthL3Unicast::L3MyStationRoutingStatus",
                     "local l3/smState/2 PlinthL3Unicast::SmRunningState"}));
    EXPECT_EQ(group->closeCount(), 1);
    EXPECT_FALSE(group->closeArgs().force);
}

// ---- mount completion -----------------------------------------------------------------

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

// A known chip, a router MAC, a system MAC and a VRRP MAC on VLAN 10, so
// that every child writes something as it starts; every capability flag
// starts at the opposite of what is published.
TEST_F(MounterTest, CompletionPublishesThenStartsEachChildWithThoseBeforeItInPlace) {
    Kel::Ptr<Asic::ChipProfile> profile(new Asic::ChipProfile(kChip));
    profile->featureIs(Kel::Ptr<MyStationAttr>(new MyStationAttr(false)));
    PlinthProfile::chipProfileIs(profile);
    LogicalFap::LogicalFapId const fap{7};
    sw_->featureCommon()->logicalModInfoIs(
        fap, Kel::newPtr<PlinthCentral::LogicalModuleInfo>(PlinthCentral::ChipInfo{kChip, 2}));
    sw_->featureCommon()->logicalFapIdInsertedIs(fap);
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
    PlinthTest::Journal journal({mounter_->myStationConfigDirIs(),
                                 mounter_->myStationStatusDirIs(),
                                 {},
                                 sw_->routingStatus(),
                                 sw_->routerMacStatusDb(),
                                 sw_->fhrpHwStatus(),
                                 sw_->smRunningState()});
    // Which children the mounter holds whenever one of them writes.
    Lines present;
    auto look = [&] {
        std::string now;
        for (char const* attr : kChildren) {
            now += child(*mounter_, attr) ? std::string(now.empty() ? "" : " ") + attr : "";
        }
        if (present.empty() || present.back() != now) {
            present.push_back(now);
        }
    };
    OnNotify table(mounter_->vrrpMacStatusIs(), look);
    OnNotify config(mounter_->myStationConfigDir(), look);
    OnNotify running(sw_->smRunningState(), look);
    OnNotify routing(sw_->routingStatus(), look);
    MyStationMounter& m = start();
    EXPECT_EQ(
        journal.take(),
        (Lines{"capability anygwSupported=1", "capability vrrpSupported=1",
               "capability vrrpSupportedMaxNum=511", "capability vrrpMacAsAnygwMacSupported=1",
               "capability useUniqueGroupIds=0", "capability requireGlobalIpRouting=0",
               "capability vrrpSubinterfaceSupported=0",
               "config set 00:00:5e:00:01:0a a/fff [l3 station flag4 flag5]",
               // The table programmer starts and takes what is configured.
               "status set 00:00:5e:00:01:0a a/fff", "running on",
               // The resolver is initialised.
               "macStatus add 00:1c:73:00:00:01 interface",
               "macStatus 00:1c:73:00:00:01 interface routing=1 status=2",
               "config set 00:1c:73:00:00:01 0/0 [l3 station flag4 flag5]",
               "status set 00:1c:73:00:00:01 0/0",
               "config set 00:1c:73:00:00:aa 0/0 [l3 station flag4 flag5]",
               "status set 00:1c:73:00:00:aa 0/0", "routing system 00:1c:73:00:00:aa valid"}));
    EXPECT_EQ(m.l3MyStationSm()->myStationTable()->entrys(), 3U);
    // The reflector fills the virtual-MAC table, the VRRP machine writes
    // through the helper, the table programmer sets the running state, the
    // resolver the routing status.
    EXPECT_EQ(present, (Lines{"", "vrrpPrivateVlanReflectorSm vrrpSmHelper",
                              "vrrpPrivateVlanReflectorSm vrrpSmHelper vrrpSm",
                              "l3MyStationHelperSm l3MyStationSm vrrpPrivateVlanReflectorSm "
                              "vrrpSmHelper vrrpSm"}));

    // Again on the same entities: the same children, the capabilities
    // written again, and the resolver told once more that it is initialised,
    // which applies the system MAC again.
    std::vector<Any> const before = children(m);
    hw.vrrpSupportedMaxNumIs(0);
    journal.take();
    std::int64_t const live = Kel::liveObjects();
    rerun();
    EXPECT_EQ(children(m), before);
    EXPECT_EQ(Kel::liveObjects(), live);
    EXPECT_EQ(journal.take(),
              (Lines{"capability vrrpSupportedMaxNum=511", "config del 00:1c:73:00:00:aa 0/0",
                     "status del 00:1c:73:00:00:aa 0/0",
                     "config set 00:1c:73:00:00:aa 0/0 [l3 station flag4 flag5]",
                     "status set 00:1c:73:00:00:aa 0/0"}));
}

struct AbsentCase {
    char const* name;
    char const* path;
    bool wrongType;     // else left out of the switch
    char const* input;  // the mounter's attribute, if it keeps one
    char const* child;  // and the attribute of the child made from it
    char const* childInput;
};

bool nullAt(Kel::PtrInterface& object, char const* attr) {
    Kel::Value io;
    EXPECT_EQ(object.fwkType()->genericIfAttributeOp(object, attr, Kel::AttrOp::read, io), 0);
    return !Kel::fromValue<Kel::Ptr<Kel::PtrInterface const>>(io);
}

class AbsentInputTest : public MounterTest, public ::testing::WithParamInterface<AbsentCase> {};

// An input gone by the next completion: the children are remade with the
// null input, and kept on a completion after that.
// (The agent tests run without the routing configuration, its status and the
// router-MAC status database.)
TEST_P(AbsentInputTest, LeavesItNullAndWiresEverythingElse) {
    AbsentCase const& c = GetParam();
    MyStationMounter& m = start();
    sw_->omit(c.path);
    if (c.wrongType) {
        sw_->sysdb()->entityIs(c.path, Kel::newPtr<Kel::Dir>("impostor"));
    }
    rerun();
    std::vector<Any> const made = children(m);
    EXPECT_EQ(missing(m), 0U);
    EXPECT_TRUE(!c.input || nullAt(m, c.input));
    EXPECT_TRUE(!c.child || nullAt(*child(m, c.child), c.childInput));
    EXPECT_TRUE(m.l3MyStationHelperSm()->initialized());
    rerun();
    EXPECT_EQ(children(m), made);
}

AbsentCase const kAbsentInputs[] = {
    {"RouterMacDbMissing", Path::routerMacDb, false, "routerMacDb", "l3MyStationHelperSm",
     "routerMacDb"},
    {"RouterMacDbWrongType", Path::routerMacDb, true, "routerMacDb", "l3MyStationHelperSm",
     "routerMacDb"},
    {"VrMacStatusWrongType", Path::vrMacStatus, true, "virtualMacStatusIn",
     "vrrpPrivateVlanReflectorSm", "virtualRouterMacStatusIn"},
    {"CapabilitiesMissing", Path::l3Capabilities, false, "l3Capabilities", nullptr, nullptr},
    {"FeatureCommonMissing", Path::featureCommon, false, nullptr, "l3MyStationSm", "fcsd"},
    {"RunningStateMissing", Path::smState, false, nullptr, "l3MyStationSm", "smRunningState"},
};
INSTANTIATE_TEST_SUITE_P(Inputs, AbsentInputTest, ::testing::ValuesIn(kAbsentInputs),
                         [](auto const& info) { return std::string(info.param.name); });

struct RefusalCase {
    char const* name;
    char const* refusal;  // the trace line
    void (*spoil)(Sw&);
    void (*repair)(Sw&);
};

class RefusalTest : public MounterTest, public ::testing::WithParamInterface<RefusalCase> {};

// Every trace site of the mounter, with its text line: refused before
// anything is created or published, then wired, once repaired, with a toggle
// file that cannot be read.
TEST_P(RefusalTest, TracedAndNothingMadeUntilRepaired) {
    RefusalCase const& c = GetParam();
    toggleFileIs(R"({"PlinthL3UnicastVrrp": false,})");
    sw_->omit(Path::routerMacDb);
    c.spoil(*sw_);
    PlinthTest::TraceCapture capture("L3MyStationMounter");
    MyStationMounter& m = start();
    EXPECT_FALSE(m.myStationConfigDir() || m.myStationStatusDir() || m.vrrpMacStatus());
    EXPECT_EQ(missing(m), 5U);
    if (auto const hw = sw_->fhrpHwStatus()) {
        EXPECT_FALSE(hw->anygwSupported());
    }
    c.repair(*sw_);
    rerun();
    EXPECT_EQ(missing(m), 0U);

    std::ostringstream em;
    em << sw_->sysdb();
    std::string const entry =
        "virtual void PlinthL3Unicast::MyStationMounter::doMountsComplete(Corral::MountStatus, "
        "const Ptr&), mountStatus = ";
    EXPECT_EQ(capture.texts(),
              (Lines{"virtual void PlinthL3Unicast::MyStationMounter::doInit()",
                     entry + "mountIncomplete, em = " + em.str(), c.refusal,
                     entry + "mountComplete, em = " + em.str(),
                     "toggle file unreadable, default used: " + Toggle::lastError()}));
    Lines const& lines = capture.lines();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string const level = i == 2 || i == 4 ? "/0 " : "/4 ";
        EXPECT_EQ(lines[i].rfind("L3MyStationMounter" + level + "PlinthL3Unicast/", 0), 0U);
    }
}

RefusalCase const kRefusals[] = {
    {"HardwareStatusMissing", "routing/fhrp/hardware/status missing, My Station wiring refused",
     [](Sw& s) { s.sysdb()->entityDel(Path::fhrpHwStatus); },
     [](Sw& s) {
         s.sysdb()->entityIs(Path::fhrpHwStatus, Kel::newPtr<Routing::Fhrp::Hardware::Status>());
     }},
    {"BrixL3StatusMissing", "brixL3Status missing, My Station wiring refused",
     [](Sw& s) { s.shared()->childDel(Path::brixL3Status); },
     [](Sw& s) { s.shared()->childIs(Path::brixL3Status, Kel::newPtr<Brix::L3Status>()); }},
    {"BrixL3StatusWrongType", "brixL3Status missing, My Station wiring refused",
     [](Sw& s) { s.shared()->childIs(Path::brixL3Status, Kel::newPtr<Kel::Dir>("x")); },
     [](Sw& s) { s.shared()->childIs(Path::brixL3Status, Kel::newPtr<Brix::L3Status>()); }},
};
INSTANTIATE_TEST_SUITE_P(Preconditions, RefusalTest, ::testing::ValuesIn(kRefusals),
                         [](auto const& info) { return std::string(info.param.name); });

struct ToggleCase {
    char const* name;
    std::optional<char const*> file;  // PlinthLib.json; none: no file
    bool enabled;
};

// The toggle is cached per process: each case relies on running in a
// process of its own, as CTest runs every discovered test.
class ToggleTest : public MounterTest, public ::testing::WithParamInterface<ToggleCase> {};

TEST_P(ToggleTest, DecidesOnlyVrrpSupportedOncePerProcess) {
    ToggleCase const& c = GetParam();
    if (c.file) {
        toggleFileIs(*c.file);
    }
    MyStationMounter& m = start();
    EXPECT_EQ(sw_->fhrpHwStatus()->vrrpSupported(), c.enabled);
    EXPECT_TRUE(sw_->fhrpHwStatus()->anygwSupported());
    EXPECT_EQ(missing(m), 0U);
    // A changed file is not read again in this process.
    toggleFileIs(c.enabled ? R"({"PlinthL3UnicastVrrp": false})"
                           : R"({"PlinthL3UnicastVrrp": true})");
    rerun();
    EXPECT_EQ(sw_->fhrpHwStatus()->vrrpSupported(), c.enabled);
}

ToggleCase const kToggles[] = {
    {"FileAbsent", std::nullopt, true},
    {"On", R"({"PlinthL3UnicastVrrp": true})", true},
    {"Off", R"({"PlinthL3UnicastVrrp": false})", false},
    // Only the lowest bit counts.
    {"Two", R"({"PlinthL3UnicastVrrp": 2})", false},
    {"Three", R"({"PlinthL3UnicastVrrp": 3})", true},
    {"InvalidJsonGivesDefault", R"({"PlinthL3UnicastVrrp": false,})", true},
};
INSTANTIATE_TEST_SUITE_P(Toggle, ToggleTest, ::testing::ValuesIn(kToggles),
                         [](auto const& info) { return std::string(info.param.name); });

// ---- keep or replace ------------------------------------------------------------------

// The wired input, or another of its type when it is the one replaced.
template <class T, class U>
T pick(int replaced, int input, T wired, U other) {
    return replaced == input ? T(other) : wired;
}

struct KeepCase {
    char const* name;
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
         return m.vrrpSmHelperIs(
             pick(r, 0, Vosk::String(""), Vosk::String("other")),
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
void PrintTo(KeepParam const& p, std::ostream* os) {
    *os << p.c->name << " input " << p.replaced;
}

std::vector<KeepParam> keepParams() {
    std::vector<KeepParam> params;
    for (KeepCase const& c : kKeepCases) {
        for (int replaced = -1; replaced < c.inputs; ++replaced) {
            params.push_back({&c, replaced});
        }
    }
    return params;
}

class KeepOrReplaceTest : public MounterTest, public ::testing::WithParamInterface<KeepParam> {};

TEST_P(KeepOrReplaceTest, KeptOnTheSameInputsElseReplacedByOneSwitchedOn) {
    auto const [c, replaced] = GetParam();
    MyStationMounter& m = start();
    Any const first = child(m, c->name);
    ASSERT_TRUE(first);
    Any const now = c->call(m, *sw_, replaced);
    EXPECT_EQ(child(m, c->name), now);
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
                             return std::string(info.param.c->name) +
                                    (r < 0 ? "_SameInputs" : "_Input" + std::to_string(r));
                         });

// ---- delete and teardown --------------------------------------------------------------

TEST_F(MounterTest, DelHandsTheChildBackSilencedOrDetached) {
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

// Calls `onRelease` when the last reference goes: that of the child given it.
template <class Base>
struct Sentinel : Base {
    explicit Sentinel(std::function<void()> f) : onRelease(std::move(f)) {}
    ~Sentinel() override { onRelease(); }
    std::function<void()> onRelease;
};

TEST_F(MounterTest, TeardownDropsTheDirectoriesThenEachChildInOrderThenTheInputs) {
    MyStationMounter& m = start();
    Kel::Ptr<VrrpSmHelper> const helper = m.vrrpSmHelper();
    Lines released;
    auto note = [&](char const* name) {
        return [&, name] {
            released.push_back(std::string(name) + " " + held(m) +
                               (helper->parent() ? " attached" : " detached"));
        };
    };
    // Each reactor rebuilt with one input that only it holds.
    m.l3MyStationHelperSmIs(
        m.routerMacDb(), m.routerMacStatusDb(), sw_->routingConfig(),
        Kel::newPtr<Sentinel<L3MyStationRoutingStatus>>(note("l3MyStationHelperSm")),
        m.myStationConfigDir());
    m.l3MyStationSmIs(sw_->sysdb(), sw_->featureCommon(), m.myStationConfigDir(),
                      m.myStationStatusDir(),
                      Kel::newPtr<Sentinel<SmRunningState>>(note("l3MyStationSm")));
    m.vrrpPrivateVlanReflectorSmIs(sw_->vrMacStatus(),
                                   Kel::newPtr<Sentinel<IntfVlanIdSet::Table>>(note("reflector")),
                                   m.vrrpMacStatus());
    m.vrrpSmIs(m.vrrpMacStatus(),
               Kel::newPtr<Sentinel<Routing::Fhrp::Hardware::Status>>(note("vrrpSm")),
               m.vrrpSmHelper());
    mounter_ = nullptr;
    EXPECT_EQ(released,
              (Lines{"l3MyStationHelperSm 11110100 01111 attached",
                     "l3MyStationSm 11110100 00111 attached", "reflector 11110100 00011 attached",
                     "vrrpSm 11110100 00000 detached"}));
}

}  // namespace
