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
#include "Brix/VirtualRouterMacTable.h"
#include "Jotter/RingFormat.h"
#include "Kel/Type.h"
#include "PlinthL3Records/MyStationDir.h"
#include "PlinthL3Unicast/L3MyStationMounter.h"
#include "Switch.h"
#include "Toggle/Toggle.h"
#include "TraceCapture.h"

namespace {

using PlinthL3Unicast::MyStationMounter;
namespace Path = PlinthAgent::Path;
using HwStatus = Routing::Fhrp::Hardware::Status;

constexpr char const* kTypeName = "PlinthL3Unicast::MyStationMounter";
constexpr char const* kDoInitText = "virtual void PlinthL3Unicast::MyStationMounter::doInit()";
constexpr char const* kCompleteText =
    "virtual void PlinthL3Unicast::MyStationMounter::doMountsComplete(Corral::MountStatus, "
    "const Ptr&)";

std::string testName() {
    auto const* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    std::replace(name.begin(), name.end(), '/', '-');
    return name;
}

Kel::Value genericRead(MyStationMounter& m, std::string_view attr) {
    Kel::Value io;
    EXPECT_EQ(m.fwkType()->genericIfAttributeOp(m, attr, Kel::AttrOp::read, io), Kel::kAttrOpOk);
    return io;
}

bool genericNull(MyStationMounter& m, std::string_view attr) {
    return !Kel::fromValue<Kel::Ptr<Kel::PtrInterface const>>(genericRead(m, attr));
}

// Cases print by name in failure reports.
template <class Case>
requires requires(Case const& c) {
    c.name;
}
void PrintTo(Case const& c, std::ostream* os) {
    *os << c.name;
}

// Records which attributes an entity notified, in order.
struct NotifyLog {
    explicit NotifyLog(Kel::PtrInterface const& entity) : publisher(entity.notifieeList()) {
        subscriber.owner = this;
        subscriber.dispatch = [](Vosk::Publisher*, Vosk::Subscriber* s, short attr, void const*,
                                 void const*) {
            static_cast<NotifyLog*>(s->owner)->attrs.push_back(attr);
        };
        publisher->subscriberAdd(&subscriber, false);
    }
    ~NotifyLog() { publisher->subscriberRemove(&subscriber); }

    Vosk::Publisher* publisher;
    Vosk::Subscriber subscriber;
    std::vector<short> attrs;
};

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
        EXPECT_EQ(Kel::liveObjects(), liveAtStart_);
    }

    PlinthAgent::Switch& switchIs(std::set<std::string> omitted = {}) {
        switch_ = std::make_unique<PlinthAgent::Switch>(std::move(omitted));
        return *switch_;
    }
    // Runs a new mounter through doInit and the completion of its mounts,
    // on the switch made so far or on a complete one.
    MyStationMounter& start() {
        if (!switch_) {
            switchIs();
        }
        mounter_ = MyStationMounter::MyStationMounterIs("myStation");
        mounter_->contextIs(switch_->context());
        mounter_->doInit();
        EXPECT_EQ(switch_->sysdb()->doCompleteMounts(), 1);
        return *mounter_;
    }
    MyStationMounter& start(std::set<std::string> omitted) {
        switchIs(std::move(omitted));
        return start();
    }
    void rerun() { mounter_->doMountsComplete(Corral::MountStatus::complete, sw().sysdb()); }

    void toggleFileIs(std::string const& text) {
        std::ofstream(toggleDir_ / "PlinthLib.json") << text;
    }
    PlinthAgent::Switch& sw() { return *switch_; }
    Kel::Ptr<Corral::MountGroup> group() { return sw().sysdb()->getMountGroup(mounter_.get()); }

    std::int64_t const liveAtStart_ = Kel::liveObjects();
    std::filesystem::path const toggleDir_;
    std::unique_ptr<PlinthAgent::Switch> switch_;
    Kel::Ptr<MyStationMounter> mounter_;
};

// ---- mount table ----------------------------------------------------------------

TEST_F(MounterTest, DeclaresMountsInOrderAndClosesOnce) {
    start();
    using Row = std::tuple<std::string, std::string, Corral::AllMountFlags>;
    constexpr auto w = Corral::kMountRead | Corral::kMountWrite;
    constexpr auto r = Corral::kMountRead;
    std::vector<Row> const expected = {
        {"hardware/brix/routerMacDb", "Brix::BrixRouterMacDb", w},
        {"hardware/brix/routerMacStatusDb", "Kel::Dir", w},
        {"routing/fhrp/vrMacStatus", "Routing::Fhrp::VirtualRouterMacStatus", r},
        {"routing/fhrp/hardware/status", "Routing::Fhrp::Hardware::Status", w},
        {"hardware/plinth/centralStatus/l3Capabilities", "PlinthCentral::L3Capabilities", r},
        {Asic::kHwTableMountPath, "Kel::Dir", w},  // the hardware table's own
    };
    std::vector<Row> actual;
    for (Corral::Mount const& m : group()->mounts()) {
        actual.emplace_back(m.path().stdString(), m.typeName().stdString(), m.flags());
    }
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(group()->closeCount(), 1);
    EXPECT_FALSE(group()->closeArgs().force);
    EXPECT_TRUE(group()->missing().empty());

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

// ---- trace ------------------------------------------------------------------------

TEST_F(MounterTest, EntryLinesNameStatusAndManager) {
    PlinthTest::TraceCapture capture("L3MyStationMounter");
    start({Path::routerMacDb});
    std::ostringstream em;
    em << sw().sysdb();
    EXPECT_EQ(capture.texts(),
              (std::vector<std::string>{kDoInitText,
                                        std::string(kCompleteText) +
                                            ", mountStatus = mountIncomplete, em = " + em.str()}));
    for (std::string const& line : capture.lines()) {
        EXPECT_EQ(line.rfind("L3MyStationMounter/4 PlinthL3Unicast/L3MyStationMounter:", 0), 0U)
            << line;
    }
}

TEST_F(MounterTest, EntryRecordsStatusAsEnumAndManagerAsPointer) {
    auto const ring = std::filesystem::temp_directory_path() /
                      ("ring-" + std::to_string(::getpid()) + "-" + testName());
    Jotter::defaultHandleIs(ring.string(), 4096);
    start();
    Jotter::flushDefault();
    Jotter::defaultHandleDel();
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
    EXPECT_EQ(codes, (std::vector<std::vector<C>>{{}, {C::u, C::q}}));
}

// ---- inputs -------------------------------------------------------------------------

TEST_F(MounterTest, CompletionFillsInputsAndCreatesChildren) {
    MyStationMounter& m = start();
    EXPECT_EQ(m.routerMacDb(), sw().routerMacDb());
    EXPECT_EQ(m.routerMacStatusDb(), sw().routerMacStatusDb());
    EXPECT_EQ(m.virtualMacStatusIn(), sw().vrMacStatus());
    EXPECT_EQ(m.fhrpHwStatus(), sw().fhrpHwStatus());
    EXPECT_EQ(m.l3Capabilities(), sw().sysdb()->getEntity(Path::l3Capabilities));
    for (char const* owned : {"vrrpMacStatus", "myStationConfigDir", "myStationStatusDir"}) {
        auto child = Kel::fromValue<Kel::Ptr<Kel::PtrInterface const>>(genericRead(m, owned));
        ASSERT_TRUE(child) << owned;
        EXPECT_TRUE(child->hasNotificationActive()) << owned;
    }
}

struct AbsentInputCase {
    char const* name;
    char const* path;
    bool wrongType;  // else omitted from the switch
    char const* attr;
};

class AbsentInputTest : public MounterTest,
                        public ::testing::WithParamInterface<AbsentInputCase> {};

TEST_P(AbsentInputTest, LeavesOnlyThatAttributeNullAndWiringGoesOn) {
    AbsentInputCase const& c = GetParam();
    if (c.wrongType) {
        switchIs().sysdb()->entityIs(c.path, Kel::newPtr<Kel::Dir>("impostor"));
    } else {
        switchIs({c.path});
    }
    MyStationMounter& m = start();
    for (char const* attr : {"routerMacDb", "routerMacStatusDb", "virtualMacStatusIn",
                             "fhrpHwStatus", "l3Capabilities"}) {
        EXPECT_EQ(genericNull(m, attr), std::string_view(attr) == c.attr) << attr;
    }
    EXPECT_TRUE(m.myStationConfigDir());
    EXPECT_TRUE(m.vrrpMacStatus());
    EXPECT_EQ(sw().fhrpHwStatus()->vrrpSupportedMaxNum(), 511U);
}

AbsentInputCase const kAbsentInputs[] = {
    {"RouterMacDbMissing", Path::routerMacDb, false, "routerMacDb"},
    {"RouterMacDbWrongType", Path::routerMacDb, true, "routerMacDb"},
    {"StatusDbDirMissing", Path::routerMacStatusDir, false, "routerMacStatusDb"},
    {"VrMacStatusWrongType", Path::vrMacStatus, true, "virtualMacStatusIn"},
    {"CapabilitiesMissing", Path::l3Capabilities, false, "l3Capabilities"},
};
INSTANTIATE_TEST_SUITE_P(Inputs, AbsentInputTest, ::testing::ValuesIn(kAbsentInputs),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(MounterTest, InputThatDisappearsIsCleared) {
    MyStationMounter& m = start();
    sw().sysdb()->entityDel(Path::routerMacDb);
    rerun();
    EXPECT_FALSE(m.routerMacDb());
}

// ---- refusal --------------------------------------------------------------------------

struct RefusalCase {
    char const* name;
    void (*spoil)(PlinthAgent::Switch&);
    void (*repair)(PlinthAgent::Switch&);
};

class RefusalTest : public MounterTest, public ::testing::WithParamInterface<RefusalCase> {};

// Refused before anything is created or published; the inputs are filled.
// A later completion with the entity in place wires everything.
TEST_P(RefusalTest, CreatesNothingUntilTheEntityIsThere) {
    GetParam().spoil(switchIs());
    PlinthTest::TraceCapture capture("L3MyStationMounter");
    MyStationMounter& m = start();
    EXPECT_TRUE(m.routerMacDb());
    EXPECT_FALSE(m.myStationConfigDir());
    EXPECT_FALSE(m.myStationStatusDir());
    EXPECT_FALSE(m.vrrpMacStatus());
    if (m.fhrpHwStatus()) {
        EXPECT_EQ(m.fhrpHwStatus()->vrrpSupportedMaxNum(), 0U);
    }
    auto texts = capture.texts();
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [](auto const& t) { return t.ends_with("wiring refused"); }),
              1);

    GetParam().repair(sw());
    rerun();
    EXPECT_TRUE(m.myStationConfigDir());
    EXPECT_TRUE(m.vrrpMacStatus());
    EXPECT_EQ(sw().fhrpHwStatus()->vrrpSupportedMaxNum(), 511U);
}

RefusalCase const kRefusals[] = {
    {"HardwareStatusMissing",
     [](PlinthAgent::Switch& s) { s.sysdb()->entityDel(Path::fhrpHwStatus); },
     [](PlinthAgent::Switch& s) {
         s.sysdb()->entityIs(Path::fhrpHwStatus, Kel::newPtr<HwStatus>());
     }},
    {"BrixL3StatusMissing",
     [](PlinthAgent::Switch& s) { s.shared()->childDel(Path::brixL3Status); },
     [](PlinthAgent::Switch& s) {
         s.shared()->childIs(Path::brixL3Status, Kel::newPtr<Brix::L3Status>());
     }},
    {"BrixL3StatusWrongType",
     [](PlinthAgent::Switch& s) {
         s.shared()->childIs(Path::brixL3Status, Kel::newPtr<Kel::Dir>("x"));
     },
     [](PlinthAgent::Switch& s) {
         s.shared()->childIs(Path::brixL3Status, Kel::newPtr<Brix::L3Status>());
     }},
};
INSTANTIATE_TEST_SUITE_P(Preconditions, RefusalTest, ::testing::ValuesIn(kRefusals),
                         [](auto const& info) { return std::string(info.param.name); });

// ---- capabilities and toggle ----------------------------------------------------------

TEST_F(MounterTest, PublishesEveryCapabilityInOrder) {
    // Start from the opposite of every published value, so each setter shows.
    HwStatus& hw = *switchIs().fhrpHwStatus();
    hw.useUniqueGroupIdsIs(true);
    hw.requireGlobalIpRoutingIs(true);
    hw.vrrpSubinterfaceSupportedIs(true);
    NotifyLog log(hw);
    start();
    EXPECT_TRUE(hw.anygwSupported());
    EXPECT_TRUE(hw.vrrpSupported());
    EXPECT_EQ(hw.vrrpSupportedMaxNum(), 511U);
    EXPECT_TRUE(hw.vrrpMacAsAnygwMacSupported());
    EXPECT_FALSE(hw.useUniqueGroupIds());
    EXPECT_FALSE(hw.requireGlobalIpRouting());
    EXPECT_FALSE(hw.vrrpSubinterfaceSupported());
    EXPECT_EQ(log.attrs,
              (std::vector<short>{
                  HwStatus::anygwSupportedAttr, HwStatus::vrrpSupportedAttr,
                  HwStatus::vrrpSupportedMaxNumAttr, HwStatus::vrrpMacAsAnygwMacSupportedAttr,
                  HwStatus::useUniqueGroupIdsAttr, HwStatus::requireGlobalIpRoutingAttr,
                  HwStatus::vrrpSubinterfaceSupportedAttr}));
}

struct ToggleCase {
    char const* name;
    std::optional<char const*> file;  // PlinthLib.json; none: no file
    bool enabled;
    bool unreadable;
};

// The toggle is cached per process: each case relies on running in a
// process of its own, as CTest runs every discovered test.
class ToggleTest : public MounterTest, public ::testing::WithParamInterface<ToggleCase> {};

TEST_P(ToggleTest, DecidesOnlyVrrpSupportedOncePerProcess) {
    ToggleCase const& c = GetParam();
    if (c.file) {
        toggleFileIs(*c.file);
    }
    PlinthTest::TraceCapture capture("L3MyStationMounter");
    MyStationMounter& m = start();
    EXPECT_EQ(sw().fhrpHwStatus()->vrrpSupported(), c.enabled);
    EXPECT_TRUE(sw().fhrpHwStatus()->anygwSupported());
    EXPECT_TRUE(m.vrrpMacStatus());
    auto texts = capture.texts();
    bool const traced = std::any_of(texts.begin(), texts.end(), [](auto const& t) {
        return t.find("PlinthLib.json:") != std::string::npos;
    });
    EXPECT_EQ(traced, c.unreadable);

    // A changed file is not read again in this process.
    toggleFileIs(c.enabled ? R"({"PlinthL3UnicastVrrp": false})"
                           : R"({"PlinthL3UnicastVrrp": true})");
    rerun();
    EXPECT_EQ(sw().fhrpHwStatus()->vrrpSupported(), c.enabled);
    EXPECT_EQ(PlinthL3Unicast::togglePlinthL3UnicastVrrpEnabled(), c.enabled);
}

ToggleCase const kToggles[] = {
    {"FileAbsent", std::nullopt, true, false},
    {"NameAbsent", R"({"OtherFeature": false})", true, false},
    {"On", R"({"PlinthL3UnicastVrrp": true})", true, false},
    {"Off", R"({"PlinthL3UnicastVrrp": false})", false, false},
    {"InvalidJsonGivesDefault", R"({"PlinthL3UnicastVrrp": false,})", true, true},
};
INSTANTIATE_TEST_SUITE_P(Toggle, ToggleTest, ::testing::ValuesIn(kToggles),
                         [](auto const& info) { return std::string(info.param.name); });

// ---- repeated completion and owned children --------------------------------------------

TEST_F(MounterTest, SecondCompletionCreatesNothingNewAndRewritesCapabilities) {
    MyStationMounter& m = start();
    auto const children =
        std::make_tuple(m.myStationConfigDir(), m.myStationStatusDir(), m.vrrpMacStatus());
    PlinthL3Unicast::MacVlan const key{Pakt::EthAddr(0x001c73000001)};
    m.myStationConfigDir()->configIs(key, {});
    sw().fhrpHwStatus()->vrrpSupportedMaxNumIs(0);
    std::int64_t const live = Kel::liveObjects();

    rerun();
    EXPECT_EQ(Kel::liveObjects(), live);
    EXPECT_EQ(std::make_tuple(m.myStationConfigDir(), m.myStationStatusDir(), m.vrrpMacStatus()),
              children);
    EXPECT_NE(m.myStationConfigDir()->config(key), nullptr);
    EXPECT_EQ(sw().fhrpHwStatus()->vrrpSupportedMaxNum(), 511U);
}

// Through generic access, which reaches the typed Is and Del operations.
class OwnedChildTest : public MounterTest, public ::testing::WithParamInterface<char const*> {
  protected:
    Kel::Ptr<Kel::PtrInterface const> op(Kel::AttrOp op) {
        Kel::Value io;
        EXPECT_EQ(mounter_->fwkType()->genericIfAttributeOp(*mounter_, GetParam(), op, io),
                  Kel::kAttrOpOk);
        return Kel::fromValue<Kel::Ptr<Kel::PtrInterface const>>(io);
    }
};

TEST_P(OwnedChildTest, IsKeepsThePresentChildAndDelHandsItBack) {
    mounter_ = MyStationMounter::MyStationMounterIs("unwired");
    EXPECT_FALSE(op(Kel::AttrOp::del));
    auto const first = op(Kel::AttrOp::write);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->hasNotificationActive());
    EXPECT_EQ(op(Kel::AttrOp::write), first);
    EXPECT_EQ(op(Kel::AttrOp::read), first);

    EXPECT_EQ(op(Kel::AttrOp::del), first);
    EXPECT_FALSE(op(Kel::AttrOp::read));
    EXPECT_FALSE(op(Kel::AttrOp::del));
    EXPECT_NE(op(Kel::AttrOp::write), first);
}

INSTANTIATE_TEST_SUITE_P(Owned, OwnedChildTest,
                         ::testing::Values("vrrpMacStatus", "myStationConfigDir",
                                           "myStationStatusDir"),
                         [](auto const& info) { return std::string(info.param); });

// ---- generic attribute access -----------------------------------------------------------

TEST_F(MounterTest, AttributesAnswerInDeclarationOrder) {
    mounter_ = MyStationMounter::MyStationMounterIs("unwired");
    Kel::TypeImpl const& type = *mounter_->fwkType();
    std::vector<std::string> const names = {
        "routerMacDb",   "routerMacStatusDb", "virtualMacStatusIn", "fhrpHwStatus",
        "vrrpMacStatus", "l3Capabilities",    "myStationConfigDir", "myStationStatusDir"};
    ASSERT_GE(type.attributeCount(), names.size());
    for (Kel::AttrId id = 0; id < names.size(); ++id) {
        EXPECT_EQ(type.attributeName(id), names[id]);
    }
    struct Case {
        char const* attr;
        Kel::AttrOp op;
        int result;
    };
    for (Case const c :
         {Case{"fhrpHwStatus", Kel::AttrOp::read, 0}, Case{"routerMacDb", Kel::AttrOp::del, 1},
          Case{"l3Capabilities", Kel::AttrOp::del, 1},
          Case{"virtualMacStatusIn", Kel::AttrOp::invoke, 1},
          Case{"myStationConfigDir", Kel::AttrOp::invoke, 1},
          Case{"myStationTable", Kel::AttrOp::read, 2}}) {
        Kel::Value io;
        EXPECT_EQ(type.genericIfAttributeOp(*mounter_, c.attr, c.op, io), c.result) << c.attr;
    }
    Kel::Value io;
    EXPECT_EQ(type.genericIfAttributeOp(*mounter_, static_cast<Kel::AttrId>(type.attributeCount()),
                                        Kel::AttrOp::read, io),
              2);
}

TEST_F(MounterTest, GenericWriteSetsOnlyInputsOfTheirType) {
    MyStationMounter& m = start();
    Kel::TypeImpl const& type = *m.fwkType();
    Kel::Ptr<Brix::BrixRouterMacDb> const replacement(Kel::newPtr<Brix::BrixRouterMacDb>());
    Kel::Value io = Kel::toValue(replacement);
    ASSERT_EQ(type.genericIfAttributeOp(m, "routerMacDb", Kel::AttrOp::write, io), 0);
    EXPECT_EQ(m.routerMacDb(), replacement);

    io = Kel::toValue(Kel::Ptr<Kel::Dir>(new Kel::Dir("x")));
    EXPECT_THROW(type.genericIfAttributeOp(m, "routerMacDb", Kel::AttrOp::write, io),
                 Kel::RangeException);
    EXPECT_EQ(m.routerMacDb(), replacement);

    ASSERT_EQ(type.genericIfAttributeOp(m, "routerMacDb", Kel::AttrOp::del, io), 1);
    EXPECT_EQ(m.routerMacDb(), replacement);
}

// ---- creation by name and the plug-in's life cycle --------------------------------------

TEST_F(MounterTest, DirectoryFactoryMakesANamedMounterAndRefusesArguments) {
    auto entity = Kel::newEntity(kTypeName, "myStation");
    auto* m = dynamic_cast<MyStationMounter*>(entity.get());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->nameString(), Vosk::String("myStation"));
    EXPECT_TRUE(m->hasNotificationActive());
    std::int64_t const live = Kel::liveObjects();
    EXPECT_THROW(Kel::newEntity(kTypeName, "myStation", {Vosk::String("extra")}),
                 Kel::NewEntityArgsException);
    EXPECT_EQ(Kel::liveObjects(), live);
}

TEST_F(MounterTest, LoadedPluginStartsByTypeNameAndPublishesCapabilities) {
    ASSERT_EQ(Plugin::loadLibrary(PLINTH_PLUGIN_PATH), "");
    switchIs();
    {
        auto mounter = Plugin::mounterStart(kTypeName, "myStation", sw().context());
        ASSERT_TRUE(mounter);
        EXPECT_EQ(mounter->fwkType()->name(), kTypeName);
        EXPECT_EQ(sw().sysdb()->getMountGroup(mounter.get())->closeCount(), 1);
    }
    EXPECT_EQ(sw().fhrpHwStatus()->vrrpSupportedMaxNum(), 511U);
}

}  // namespace
