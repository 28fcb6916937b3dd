#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "Asic/SwTable.h"
#include "Brix/VrrpSm.h"
#include "Jotter/RingFormat.h"
#include "Journal.h"
#include "Kel/Type.h"
#include "PlinthL3Records/MyStationDir.h"
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

constexpr char const* kTypeName = "PlinthL3Unicast::MyStationMounter";
constexpr char const* kChip = "plinthA";

std::string testName() {
    auto const* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    std::replace(name.begin(), name.end(), '/', '-');
    return name;
}

// Cases print by name in failure reports.
template <class Case>
requires requires(Case const& c) { c.name; }
void PrintTo(Case const& c, std::ostream* os) {
    *os << c.name;
}

std::vector<Any> children(MyStationMounter const& m) {
    return {m.l3MyStationHelperSm(), m.l3MyStationSm(), m.vrrpPrivateVlanReflectorSm(),
            m.vrrpSmHelper(), m.vrrpSm()};
}

// Each test reads toggles from a directory of its own and ends with every
// object it made released.
class MounterTest : public ::testing::Test {
  protected:
    MounterTest()
        : toggleDir_(std::filesystem::temp_directory_path() /
                     ("toggles-" + std::to_string(::getpid()) + "-" + testName())) {
        std::filesystem::create_directories(toggleDir_);
        Toggle::toggleDirIs(toggleDir_.string());
    }
    ~MounterTest() override {
        Toggle::toggleDirIs("");
        std::filesystem::remove_all(toggleDir_);
    }
    void TearDown() override {
        mounter_ = nullptr;
        switch_.reset();
        PlinthProfile::chipProfileDel(kChip);
        EXPECT_EQ(Kel::liveObjects(), liveAtStart_);
    }

    // Runs the mounter made so far (or a new one) through doInit and the
    // completion of its mounts, on the switch made so far (or a full one).
    MyStationMounter& start(std::set<std::string> omitted = {}) {
        if (!switch_) {
            switch_ = std::make_unique<Sw>(std::move(omitted));
        }
        if (!mounter_) {
            mounter_ = MyStationMounter::MyStationMounterIs("myStation");
        }
        mounter_->contextIs(sw().context());
        mounter_->doInit();
        EXPECT_EQ(sw().sysdb()->doCompleteMounts(), 1);
        return *mounter_;
    }
    void rerun() { mounter_->doMountsComplete(Corral::MountStatus::complete, sw().sysdb()); }
    void toggleFileIs(std::string const& text) {
        std::ofstream(toggleDir_ / "PlinthLib.json") << text;
    }
    Sw& sw() { return *switch_; }

    std::int64_t const liveAtStart_ = Kel::liveObjects();
    std::filesystem::path const toggleDir_;
    std::unique_ptr<Sw> switch_;
    Kel::Ptr<MyStationMounter> mounter_;
};

// ---- mount table ----------------------------------------------------------------

TEST_F(MounterTest, DeclaresMountsInOrderAndClosesOnce) {
    start();
    auto const group = sw().sysdb()->getMountGroup(mounter_.get());
    using Row = std::tuple<std::string, std::string, Corral::AllMountFlags>;
    constexpr auto w = Corral::kMountRead | Corral::kMountWrite;
    constexpr auto r = Corral::kMountRead;
    std::vector<Row> actual;
    for (Corral::Mount const& m : group->mounts()) {
        actual.emplace_back(m.path().stdString(), m.typeName().stdString(), m.flags());
    }
    EXPECT_EQ(actual,
              (std::vector<Row>{
                  {"hardware/brix/routerMacDb", "Brix::BrixRouterMacDb", w},
                  {"hardware/brix/routerMacStatusDb", "Kel::Dir", w},
                  {"routing/fhrp/vrMacStatus", "Routing::Fhrp::VirtualRouterMacStatus", r},
                  {"routing/fhrp/hardware/status", "Routing::Fhrp::Hardware::Status", w},
                  {"hardware/plinth/centralStatus/l3Capabilities", "PlinthCentral::L3Capabilities",
                   r},
                  {Asic::kHwTableMountPath, "Kel::Dir", w},  // the hardware table's own
              }));
    EXPECT_EQ(group->closeCount(), 1);
    EXPECT_FALSE(group->closeArgs().force);

    std::vector<std::pair<std::string, std::string>> local;
    for (auto const& m : sw().local()->mounts()) {
        local.emplace_back(m.path.stdString(), m.typeName.stdString());
    }
    EXPECT_EQ(local, (std::vector<std::pair<std::string, std::string>>{
                         {"l3/myStationRoutingConfig", "PlinthL3Unicast::L3MyStationRoutingConfig"},
                         {"l3/myStationRoutingStatus", "PlinthL3Unicast::L3MyStationRoutingStatus"},
                         {"l3/smState/2", "PlinthL3Unicast::SmRunningState"},
                     }));
}

TEST_F(MounterTest, DirectoryFactoryMakesANamedMounterSwitchedOn) {
    auto entity = Kel::newEntity(kTypeName, "myStation");
    auto* m = dynamic_cast<MyStationMounter*>(entity.get());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->nameString(), Vosk::String("myStation"));
    EXPECT_TRUE(m->hasNotificationActive());
}

// ---- mount completion -------------------------------------------------------------

// A switch with a known chip, a router MAC, a system MAC and a VRRP MAC on
// VLAN 10: every writer has something to write, and every capability flag
// starts at the opposite of what is published.
TEST_F(MounterTest, CompletionPublishesThenProgramsVrrpThenStartsTheTableThenRouterMacs) {
    switch_ = std::make_unique<Sw>();
    Kel::Ptr<Asic::ChipProfile> profile(new Asic::ChipProfile(kChip));
    profile->featureIs(Kel::Ptr<MyStationAttr>(new MyStationAttr(false)));
    PlinthProfile::chipProfileIs(profile);
    LogicalFap::LogicalFapId const fap{7};
    sw().featureCommon()->logicalModInfoIs(
        fap, Kel::newPtr<PlinthCentral::LogicalModuleInfo>(PlinthCentral::ChipInfo{kChip, 2}));
    sw().featureCommon()->logicalFapIdInsertedIs(fap);
    sw().routerMacDb()->routerMacIs({Pakt::EthAddr(0x001c73000001), Brix::MacType::interface},
                                    {true});
    sw().routingConfig()->routerMacIs({Pakt::EthAddr(0x001c730000aa), true});
    sw().vrMacStatus()->virtualMacIs({"Vlan10", Pakt::EthAddr(0x00005e00010a)});
    sw().brixL3Status()->intfVlanIdSet()->vlanIdIs("Vlan10", 10);
    Routing::Fhrp::Hardware::Status& hw = *sw().fhrpHwStatus();
    hw.useUniqueGroupIdsIs(true);
    hw.requireGlobalIpRoutingIs(true);
    hw.vrrpSubinterfaceSupportedIs(true);

    mounter_ = MyStationMounter::MyStationMounterIs("myStation");
    PlinthTest::Journal journal({mounter_->myStationConfigDirIs(),
                                 mounter_->myStationStatusDirIs(),
                                 {},
                                 sw().routingStatus(),
                                 sw().routerMacStatusDb(),
                                 sw().fhrpHwStatus(),
                                 sw().smRunningState()});
    MyStationMounter& m = start();
    EXPECT_EQ(journal.take(),
              (Lines{"capability anygwSupported=1",
                     "capability vrrpSupported=1",
                     "capability vrrpSupportedMaxNum=511",
                     "capability vrrpMacAsAnygwMacSupported=1",
                     "capability useUniqueGroupIds=0",
                     "capability requireGlobalIpRouting=0",
                     "capability vrrpSubinterfaceSupported=0",
                     "config set 00:00:5e:00:01:0a a/fff [l3 station flag4 flag5]",
                     // The table programmer starts: the table takes what is configured.
                     "status set 00:00:5e:00:01:0a a/fff",
                     "running on",
                     // The resolver is initialised.
                     "macStatus add 00:1c:73:00:00:01 interface",
                     "macStatus 00:1c:73:00:00:01 interface routing=1 status=2",
                     "config set 00:1c:73:00:00:01 0/0 [l3 station flag4 flag5]",
                     "status set 00:1c:73:00:00:01 0/0",
                     "config set 00:1c:73:00:00:aa 0/0 [l3 station flag4 flag5]",
                     "status set 00:1c:73:00:00:aa 0/0",
                     "routing system 00:1c:73:00:00:aa valid"}));
    EXPECT_EQ(m.l3MyStationSm()->myStationTable()->entrys(), 3U);

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
    EXPECT_EQ(journal.take(), (Lines{"capability vrrpSupportedMaxNum=511",
                                     "config del 00:1c:73:00:00:aa 0/0",
                                     "status del 00:1c:73:00:00:aa 0/0",
                                     "config set 00:1c:73:00:00:aa 0/0 [l3 station flag4 flag5]",
                                     "status set 00:1c:73:00:00:aa 0/0"}));
}

struct AbsentCase {
    char const* name;
    char const* path;
    bool wrongType;  // else left out of the switch
    // The input is null in the mounter and in the child built from it.
    bool (*nulled)(MyStationMounter const&);
};

class AbsentInputTest : public MounterTest, public ::testing::WithParamInterface<AbsentCase> {};

// The children are made with the null input and kept on a second completion.
TEST_P(AbsentInputTest, LeavesItNullAndWiresEverythingElse) {
    AbsentCase const& c = GetParam();
    switch_ = std::make_unique<Sw>(c.wrongType ? std::set<std::string>{}
                                               : std::set<std::string>{c.path});
    if (c.wrongType) {
        sw().sysdb()->entityIs(c.path, Kel::newPtr<Kel::Dir>("impostor"));
    }
    MyStationMounter& m = start();
    std::vector<Any> const made = children(m);
    for (Any const& child : made) {
        ASSERT_TRUE(child);
    }
    EXPECT_TRUE(c.nulled(m));
    EXPECT_TRUE(m.l3MyStationHelperSm()->initialized());
    rerun();
    EXPECT_EQ(children(m), made);
}

AbsentCase const kAbsentInputs[] = {
    {"RouterMacDbMissing", Path::routerMacDb, false,
     [](auto& m) { return !m.routerMacDb() && !m.l3MyStationHelperSm()->routerMacDb(); }},
    {"RouterMacDbWrongType", Path::routerMacDb, true,
     [](auto& m) { return !m.routerMacDb() && !m.l3MyStationHelperSm()->routerMacDb(); }},
    {"StatusDbDirMissing", Path::routerMacStatusDir, false,
     [](auto& m) {
         return !m.routerMacStatusDb() && !m.l3MyStationHelperSm()->routerMacStatusDb();
     }},
    {"VrMacStatusWrongType", Path::vrMacStatus, true,
     [](auto& m) {
         return !m.virtualMacStatusIn() &&
                !m.vrrpPrivateVlanReflectorSm()->virtualRouterMacStatusIn();
     }},
    {"CapabilitiesMissing", Path::l3Capabilities, false,
     [](auto& m) { return !m.l3Capabilities(); }},
    {"FeatureCommonMissing", Path::featureCommon, false,
     [](auto& m) { return !m.l3MyStationSm()->fcsd(); }},
    {"RunningStateMissing", Path::smState, false,
     [](auto& m) { return !m.l3MyStationSm()->smRunningState(); }},
    {"RoutingConfigMissing", Path::routingConfig, false,
     [](auto& m) { return !m.l3MyStationHelperSm()->myStationRoutingConfig(); }},
    {"RoutingStatusMissing", Path::routingStatus, false,
     [](auto& m) { return !m.l3MyStationHelperSm()->myStationRoutingStatus(); }},
};
INSTANTIATE_TEST_SUITE_P(Inputs, AbsentInputTest, ::testing::ValuesIn(kAbsentInputs),
                         [](auto const& info) { return std::string(info.param.name); });

struct RefusalCase {
    char const* name;
    void (*spoil)(Sw&);
    void (*repair)(Sw&);
};

class RefusalTest : public MounterTest, public ::testing::WithParamInterface<RefusalCase> {};

// Refused before anything is created or published, with one trace line; a
// later completion with the entity in place wires everything.
TEST_P(RefusalTest, CreatesNothingUntilTheEntityIsThere) {
    switch_ = std::make_unique<Sw>();
    GetParam().spoil(sw());
    PlinthTest::TraceCapture capture("L3MyStationMounter");
    MyStationMounter& m = start();
    EXPECT_TRUE(m.routerMacDb());
    EXPECT_FALSE(m.myStationConfigDir() || m.myStationStatusDir() || m.vrrpMacStatus());
    EXPECT_EQ(children(m), std::vector<Any>(5));
    if (m.fhrpHwStatus()) {
        EXPECT_FALSE(m.fhrpHwStatus()->anygwSupported());
    }
    auto texts = capture.texts();
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [](auto const& t) { return t.ends_with("wiring refused"); }),
              1);

    GetParam().repair(sw());
    rerun();
    EXPECT_TRUE(m.myStationConfigDir() && m.vrrpSm());
    EXPECT_EQ(sw().fhrpHwStatus()->vrrpSupportedMaxNum(), 511U);
}

RefusalCase const kRefusals[] = {
    {"HardwareStatusMissing", [](Sw& s) { s.sysdb()->entityDel(Path::fhrpHwStatus); },
     [](Sw& s) {
         s.sysdb()->entityIs(Path::fhrpHwStatus, Kel::newPtr<Routing::Fhrp::Hardware::Status>());
     }},
    {"BrixL3StatusMissing", [](Sw& s) { s.shared()->childDel(Path::brixL3Status); },
     [](Sw& s) { s.shared()->childIs(Path::brixL3Status, Kel::newPtr<Brix::L3Status>()); }},
    {"BrixL3StatusWrongType",
     [](Sw& s) { s.shared()->childIs(Path::brixL3Status, Kel::newPtr<Kel::Dir>("x")); },
     [](Sw& s) { s.shared()->childIs(Path::brixL3Status, Kel::newPtr<Brix::L3Status>()); }},
};
INSTANTIATE_TEST_SUITE_P(Preconditions, RefusalTest, ::testing::ValuesIn(kRefusals),
                         [](auto const& info) { return std::string(info.param.name); });

// ---- toggle ---------------------------------------------------------------------------

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
    EXPECT_EQ(sw().fhrpHwStatus()->vrrpSupported(), c.enabled);
    EXPECT_TRUE(sw().fhrpHwStatus()->anygwSupported());
    for (Any const& child : children(m)) {
        EXPECT_TRUE(child);
    }

    // A changed file is not read again in this process.
    toggleFileIs(c.enabled ? R"({"PlinthL3UnicastVrrp": false})"
                           : R"({"PlinthL3UnicastVrrp": true})");
    rerun();
    EXPECT_EQ(sw().fhrpHwStatus()->vrrpSupported(), c.enabled);
    EXPECT_EQ(togglePlinthL3UnicastVrrpEnabled(), c.enabled);
}

ToggleCase const kToggles[] = {
    {"FileAbsent", std::nullopt, true},
    {"NameAbsent", R"({"OtherFeature": false})", true},
    {"On", R"({"PlinthL3UnicastVrrp": true})", true},
    {"Off", R"({"PlinthL3UnicastVrrp": false})", false},
    // Only the lowest bit counts.
    {"Two", R"({"PlinthL3UnicastVrrp": 2})", false},
    {"Three", R"({"PlinthL3UnicastVrrp": 3})", true},
    {"InvalidJsonGivesDefault", R"({"PlinthL3UnicastVrrp": false,})", true},
};
INSTANTIATE_TEST_SUITE_P(Toggle, ToggleTest, ::testing::ValuesIn(kToggles),
                         [](auto const& info) { return std::string(info.param.name); });

// ---- trace --------------------------------------------------------------------------

// Every trace site of the mounter once: refused for want of the forwarding
// layer's L3 status, then wired with a toggle file that cannot be read.
TEST_F(MounterTest, TraceSitesWriteTheirLinesAndArgumentCodes) {
    auto const ring = std::filesystem::temp_directory_path() /
                      ("ring-" + std::to_string(::getpid()) + "-" + testName());
    Jotter::defaultHandleIs(ring.string(), 4096);
    toggleFileIs(R"({"PlinthL3UnicastVrrp": false,})");
    PlinthTest::TraceCapture capture("L3MyStationMounter");
    start({Path::routerMacDb, Path::brixL3Status});
    sw().shared()->childIs(Path::brixL3Status, Kel::newPtr<Brix::L3Status>());
    rerun();
    Jotter::flushDefault();
    Jotter::defaultHandleDel();

    std::ostringstream em;
    em << sw().sysdb();
    std::string const entry =
        "virtual void PlinthL3Unicast::MyStationMounter::doMountsComplete(Corral::MountStatus, "
        "const Ptr&), mountStatus = ";
    EXPECT_EQ(capture.texts(),
              (Lines{"virtual void PlinthL3Unicast::MyStationMounter::doInit()",
                     entry + "mountIncomplete, em = " + em.str(),
                     "brixL3Status missing, My Station wiring refused",
                     entry + "mountComplete, em = " + em.str(),
                     "toggle file unreadable, default used: " + Toggle::lastError()}));
    Lines const& lines = capture.lines();
    ASSERT_EQ(lines.size(), 5U);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string const level = i == 2 || i == 4 ? "0" : "4";
        EXPECT_EQ(lines[i].rfind("L3MyStationMounter/" + level + " PlinthL3Unicast/L3MyStationMounter:", 0), 0U) << lines[i];
    }

    std::ifstream in(ring, std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>()};
    std::filesystem::remove(ring);
    Jotter::RingFormat::Image image;
    ASSERT_EQ(Jotter::RingFormat::parse(bytes, image), "");
    using C = Jotter::MsgFormatString;
    std::vector<std::vector<C>> codes;
    for (auto const& desc : image.descs) {
        if (desc.source == "PlinthL3Unicast/L3MyStationMounter") {
            codes.push_back(desc.codes);
        }
    }
    EXPECT_EQ(codes, (std::vector<std::vector<C>>{{}, {C::u, C::q}, {}, {C::p}}));
}

}  // namespace
