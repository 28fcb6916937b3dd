#include "PlinthL3Unicast/L3MyStationSm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "Kel/Type.h"
#include "PlinthL3Records/MyStationDir.h"
#include "PlinthL3Records/MyStationTable.h"
#include "PlinthProfile/Profile.h"
#include "Switch.h"
#include "TraceCapture.h"

namespace {

using namespace PlinthL3Unicast;
using LogicalFap::LogicalFapId;
using Entries = std::map<MacVlanTagged, MyStationTable::Entry>;
using Texts = std::vector<std::string>;

constexpr LogicalFapId kFap{7};
constexpr Pakt::EthAddr kMac{0x00005e000101};
constexpr Pakt::EthAddr kAllOnes = Pakt::EthAddr::broadcast();
std::string const kSig = "void PlinthL3Unicast::L3MyStationSm::";
std::string const kFapSig = kSig + "handleLogicalFapId(LogicalFap::LogicalFapId)";
char const* const kAlready = "handleLogicalFapId MyStationTable is already initialized ";
char const* const kRangeError = "U12::value < 0 or > 0x0fff not allowed";

// Cases print by name in failure reports.
template <class Case>
requires requires(Case const& c) {
    c.name;
}
void PrintTo(Case const& c, std::ostream* os) {
    *os << c.name;
}

enum class Chip { untagged, tagged, noFeature, impostor, unknown };

// Filed under the My Station key without being the My Station feature.
class Impostor : public Asic::Feature {
  public:
    Kel::TypeImpl const* fwkType() const override { return myStationAttrType(); }
};

MacVlan keyOf(std::uint32_t vlan, std::uint32_t vlanMask, Pakt::EthAddr addrMask = kAllOnes) {
    return {kMac, vlan, vlanMask, addrMask};
}
MyStationStatus statusOf(MacVlan const& key) {
    MyStationStatus status;
    status.macVlan = key;
    return status;
}
MyStationTable::Entry entryOf(unsigned vlan, unsigned mask, unsigned tagged, unsigned taggedMask,
                              bool l3Enabled = true, bool stationFlag = true) {
    MyStationTable::Entry e;
    e.entryFlag1 = stationFlag;
    e.entryFlag2 = e.entryFlag3 = e.entryFlag4 = l3Enabled;
    e.vlanId = Kel::U12(vlan);
    e.vlanIdMask = Kel::U12(mask);
    e.taggedVlanId = Kel::U12(tagged);
    e.taggedVlanIdMask = Kel::U12(taggedMask);
    e.macAddr = kMac;
    e.macAddrMask = kAllOnes;
    return e;
}
MacVlanTagged tableKeyOf(MacVlan const& k, bool tagged) {
    return {k.addr, k.vlan, k.vlanMask, kAllOnes, tagged};
}

// Runs `action` whenever the running state announces a change.
struct RunningWatcher {
    explicit RunningWatcher(Kel::Ptr<SmRunningState> const& state, std::function<void()> action)
        : state_(state), action_(std::move(action)) {
        slot_.owner = this;
        slot_.dispatch = [](Vosk::Publisher*, Vosk::Subscriber* s, short, void const*,
                            void const*) { static_cast<RunningWatcher*>(s->owner)->action_(); };
        state_->notifieeList()->subscriberAdd(&slot_, false);
    }
    Kel::Ptr<SmRunningState> state_;
    std::function<void()> action_;
    Vosk::Subscriber slot_;
};

class L3MyStationSmTest : public ::testing::Test {
  protected:
    void TearDown() override {
        sm_.reset();
        for (auto const& name : {"plinthA", "plinthB"}) {
            PlinthProfile::chipProfileDel(name);
        }
        sw_.reset();
        configDir_.reset();
        statusDir_.reset();
        EXPECT_EQ(Kel::liveObjects(), liveAtStart_);
    }

    void chipIs(Chip chip, char const* name = "plinthA") {
        Kel::Ptr<Asic::ChipProfile> profile(new Asic::ChipProfile(name));
        if (chip == Chip::untagged || chip == Chip::tagged) {
            profile->featureIs(Kel::Ptr<MyStationAttr>(new MyStationAttr(chip == Chip::tagged)));
        } else if (chip == Chip::impostor) {
            profile->featureIs(Kel::Ptr<Impostor>(new Impostor()));
        }
        if (chip != Chip::unknown) {
            PlinthProfile::chipProfileIs(profile);
        }
    }
    void moduleIs(LogicalFapId id, char const* chip = "plinthA") {
        fcsd()->logicalModInfoIs(
            id, Kel::newPtr<PlinthCentral::LogicalModuleInfo>(PlinthCentral::ChipInfo{chip, 2}));
    }
    void smIs() {
        sm_ = L3MyStationSm::L3MyStationSmIs(sw_->sysdb(), fcsd(), configDir_, statusDir_,
                                             sw_->smRunningState());
    }
    void runningSmIs(Chip chip = Chip::untagged) {
        chipIs(chip);
        moduleIs(kFap);
        fcsd()->logicalFapIdInsertedIs(kFap);
        smIs();
    }
    void configIs(MacVlan const& key, bool l3Enabled = true, bool stationFlag = true) {
        MyStationConfig config;
        config.macVlan = key;
        config.l3Enabled = l3Enabled;
        config.stationFlag = stationFlag;
        configDir_->configIs(key, config);
    }
    Kel::Ptr<PlinthCentral::FeatureAgentCommonSmData> fcsd() const { return sw_->featureCommon(); }
    Entries entries() const {
        auto const& held = sm_->myStationTable()->entries();
        return {held.begin(), held.end()};
    }
    std::map<MacVlan, MyStationStatus> statuses() const {
        return {statusDir_->status().begin(), statusDir_->status().end()};
    }
    std::size_t subscribers() const {
        return fcsd()->notifieeList()->subscriberCount() +
               configDir_->notifieeList()->subscriberCount();
    }

    std::int64_t const liveAtStart_ = Kel::liveObjects();
    std::optional<PlinthAgent::Switch> sw_{std::in_place};
    Kel::Ptr<MyStationConfigDir> configDir_ = Kel::newPtr<MyStationConfigDir>();
    Kel::Ptr<MyStationStatusDir> statusDir_ = Kel::newPtr<MyStationStatusDir>();
    Kel::Ptr<L3MyStationSm> sm_;
};

TEST_F(L3MyStationSmTest, WaitsWithoutLogicalFapIdAndDropsConfig) {
    PlinthTest::TraceCapture capture("L3MyStationSm");
    smIs();
    EXPECT_EQ(capture.texts(), (Texts{kSig + "handleInitialized()", kSig + "handleLogicalFapId()",
                                      kSig + "handleLogicalFapId()"}));
    capture.clear();
    configIs(keyOf(100, 0xfff));
    EXPECT_EQ(capture.texts(), (Texts{"handleConfig addr: 00:00:5e:00:01:01 vlan/mask: 0x64/0xfff",
                                      "handleConfig MyStationTable is not yet initialized "}));
    EXPECT_FALSE(sm_->myStationTable());
    EXPECT_FALSE(sm_->initialized());
    EXPECT_FALSE(sw_->smRunningState()->running());
    EXPECT_TRUE(statuses().empty());
}

TEST_F(L3MyStationSmTest, CreatesTableAtConstructionForUnit511) {
    PlinthTest::TraceCapture capture("L3MyStationSm");
    runningSmIs();
    EXPECT_EQ(capture.texts(),
              (Texts{kSig + "handleInitialized()", kSig + "handleLogicalFapId()",
                     kFapSig + " module: fap7", kFapSig + " chipInfo: chip plinthA rev 2",
                     kSig + "handleConfig()", kSig + "handleLogicalFapId()", kAlready}));
    ASSERT_TRUE(sm_->myStationTable());
    EXPECT_EQ(sm_->myStationTable()->chip(), (Asic::ChipInfo{"plinthA", 2}));
    EXPECT_TRUE(sm_->initialized());
    EXPECT_TRUE(sw_->smRunningState()->running());
    auto info = Kel::dynamicPtrCast<Asic::HwTableMountInfo>(
        sw_->sysdb()->getEntity("hardware/plinth/hwTable/myStationTable/511"));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->unit(), 511U);
}

TEST_F(L3MyStationSmTest, FirstIdVisitedBuildsTheOnlyTable) {
    chipIs(Chip::untagged, "plinthA");
    chipIs(Chip::tagged, "plinthB");
    moduleIs(LogicalFapId(3), "plinthA");
    moduleIs(LogicalFapId(9), "plinthB");
    fcsd()->logicalFapIdInsertedIs(LogicalFapId(9));
    fcsd()->logicalFapIdInsertedIs(LogicalFapId(3));
    PlinthTest::TraceCapture capture("L3MyStationSm");
    smIs();
    ASSERT_TRUE(sm_->myStationTable());
    EXPECT_EQ(sm_->myStationTable()->chip().chipName, "plinthA");
    EXPECT_FALSE(sm_->l3UnicastChipAttr()->taggedEntryNeeded());
    EXPECT_EQ(std::ranges::count(capture.texts(), kFapSig + " module: fap3"), 1);
    EXPECT_EQ(std::ranges::count(capture.texts(), kAlready), 3);
}

TEST_F(L3MyStationSmTest, IdWithoutModuleWaitsForALaterId) {
    chipIs(Chip::tagged);
    moduleIs(LogicalFapId(9));
    fcsd()->logicalFapIdInsertedIs(LogicalFapId(5));
    PlinthTest::TraceCapture capture("L3MyStationSm");
    smIs();
    EXPECT_FALSE(sm_->myStationTable());
    EXPECT_EQ(std::ranges::count(capture.texts(),
                                 "handleLogicalFapId no module information for fap5, waiting"),
              2);
    fcsd()->logicalFapIdInsertedIs(LogicalFapId(9));
    Kel::Ptr<MyStationTable> const table = sm_->myStationTable();
    ASSERT_TRUE(table);
    EXPECT_TRUE(sw_->smRunningState()->running());
    fcsd()->logicalFapIdInsertedIs(LogicalFapId(11));
    fcsd()->logicalFapIdInsertedDel(LogicalFapId(9));
    EXPECT_EQ(sm_->myStationTable(), table);
}

TEST_F(L3MyStationSmTest, ReplaysEarlierConfigBeforeRunning) {
    chipIs(Chip::tagged);
    moduleIs(kFap);
    smIs();
    configIs(keyOf(0, 0));
    configIs(keyOf(100, 0xfff));
    std::optional<std::size_t> entrysWhenRunning, statusesWhenRunning;
    RunningWatcher watcher(sw_->smRunningState(), [&] {
        entrysWhenRunning = sm_->myStationTable()->entrys();
        statusesWhenRunning = statusDir_->status().size();
    });
    fcsd()->logicalFapIdInsertedIs(kFap);
    EXPECT_EQ(entrysWhenRunning, 3U);
    EXPECT_EQ(statusesWhenRunning, 2U);
}

struct ProgramCase {
    char const* name;
    Chip chip;
    std::uint32_t vlan, vlanMask;
    std::uint64_t addrMask;  // the table takes all ones, the status keeps the key
    // Expected table: primary VLAN fields, then tagged ones when a tagged entry is written.
    std::array<unsigned, 2> primary;
    std::optional<std::array<unsigned, 2>> tagged;
};

ProgramCase const kProgramCases[] = {
    {"Vlan0", Chip::tagged, 0, 0, ~0ULL, {0, 0}, std::nullopt},
    {"Vlan0MaskNeverConverted", Chip::untagged, 0, 0x1000, ~0ULL, {0, 0}, std::nullopt},
    {"Vlan100Untagged", Chip::untagged, 100, 0xfff, ~0ULL, {100, 0xfff}, std::nullopt},
    {"Vlan100Tagged", Chip::tagged, 100, 0xfff, ~0ULL, {100, 0xfff}, std::array{100U, 0xfffU}},
    {"VlanNarrowedTo16Bits", Chip::untagged, 0x10064, 0x20fff, ~0ULL, {100, 0xfff}, std::nullopt},
    {"AddrMaskTagged",
     Chip::tagged,
     10,
     0xfff,
     0xffffff000000,
     {10, 0xfff},
     std::array{10U, 0xfffU}},
};

class ProgramTest : public L3MyStationSmTest, public ::testing::WithParamInterface<ProgramCase> {};

TEST_P(ProgramTest, CommitsEntriesAndStatusThenRemovesThem) {
    ProgramCase const& c = GetParam();
    runningSmIs(c.chip);
    MacVlan const key = keyOf(c.vlan, c.vlanMask, Pakt::EthAddr(c.addrMask & 0xffffffffffffULL));
    configIs(key);
    Entries expected{{tableKeyOf(key, false), entryOf(c.primary[0], c.primary[1], 0, 0)}};
    if (c.tagged) {
        expected.emplace(tableKeyOf(key, true), entryOf(0, 0, (*c.tagged)[0], (*c.tagged)[1]));
    }
    EXPECT_EQ(entries(), expected);
    EXPECT_EQ(statuses(), (std::map<MacVlan, MyStationStatus>{{key, statusOf(key)}}));
    sm_->handleConfig(key);  // a second run changes nothing
    EXPECT_EQ(entries(), expected);
    configDir_->configDel(key);
    EXPECT_TRUE(entries().empty());
    EXPECT_TRUE(statuses().empty());
}

INSTANTIATE_TEST_SUITE_P(Keys, ProgramTest, ::testing::ValuesIn(kProgramCases),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(L3MyStationSmTest, CopiesFlagsButStatusKeepsDefaults) {
    runningSmIs();
    MacVlan const key = keyOf(0, 0);
    for (bool l3Enabled : {false, true}) {
        for (bool stationFlag : {false, true}) {
            configIs(key, l3Enabled, stationFlag);
            EXPECT_EQ(
                entries(),
                (Entries{{tableKeyOf(key, false), entryOf(0, 0, 0, 0, l3Enabled, stationFlag)}}));
            EXPECT_EQ(*statusDir_->status(key), statusOf(key));
        }
    }
}

struct RangeCase {
    char const* name;
    std::uint32_t vlan, vlanMask;
};
RangeCase const kRangeCases[] = {
    {"VlanId", 0x1000, 0xfff}, {"VlanMask", 100, 0x1000}, {"VlanIdAfterNarrowing", 0x11000, 0xfff}};

class RangeTest : public L3MyStationSmTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(RangeTest, DispatchDropsTheChangeBeforeAnyWrite) {
    runningSmIs(Chip::tagged);
    configIs(keyOf(5, 0xfff));
    Entries const before = entries();
    PlinthTest::TraceCapture capture("L3MyStationSm");
    configIs(keyOf(GetParam().vlan, GetParam().vlanMask));
    EXPECT_EQ(entries(), before);
    EXPECT_EQ(statuses().size(), 1U);
    EXPECT_EQ(capture.texts().back(),
              std::string("myStationConfigDirDispatch dropped a change: ") + kRangeError);
    EXPECT_THROW(sm_->handleConfig(keyOf(GetParam().vlan, GetParam().vlanMask)),
                 Kel::RangeException);
}

INSTANTIATE_TEST_SUITE_P(Fields, RangeTest, ::testing::ValuesIn(kRangeCases),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(L3MyStationSmTest, RecordDumpOnlyAtLevel8) {
    runningSmIs();
    PlinthTest::TraceCapture capture("L3MyStationSm");
    for (std::uint32_t levels : {~0U, 1U}) {
        capture.clear();
        Kel::traceHandle("L3MyStationSm").levelsIs(levels);
        configIs(keyOf(0, 0), levels == 1U);  // a real change each round
        Texts expected{"handleConfig addr: 00:00:5e:00:01:01 vlan/mask: 0x0/0x0",
                       "handleConfig Routing is enabled "};
        if (levels != 1U) {
            std::ostringstream config;
            config << *configDir_->config(keyOf(0, 0));
            expected.insert(expected.begin() + 1, "handleConfig macConf: " + config.str());
            EXPECT_EQ(capture.lines().at(1).rfind("L3MyStationSm/8 ", 0), 0U);
        }
        EXPECT_EQ(capture.texts(), expected);
    }
}

TEST_F(L3MyStationSmTest, GenericAccessByIdentity) {
    chipIs(Chip::untagged);
    moduleIs(kFap);
    smIs();
    Kel::TypeImpl const& type = *sm_->fwkType();
    Kel::Value io;
    auto op = [&](Kel::AttrId id, Kel::AttrOp o, Kel::ArgList const& args = {}) {
        return type.genericIfAttributeOp(*sm_, id, o, io, args);
    };
    ASSERT_EQ(op(1, Kel::AttrOp::read), 0);
    EXPECT_EQ(Kel::fromValue<Kel::Ptr<Kel::PtrInterface const>>(io), fcsd());
    EXPECT_EQ(op(0, Kel::AttrOp::write), 1);
    EXPECT_EQ(op(7, Kel::AttrOp::read), 1);
    EXPECT_EQ(op(11, Kel::AttrOp::read), 2);
    EXPECT_EQ(op(7, Kel::AttrOp::invoke, {kFap}), 0);
    ASSERT_TRUE(sm_->myStationTable());
    // Silenced, the reactor programs a key only when asked through its attribute.
    sm_->hasNotificationActiveIs(false);
    EXPECT_EQ(subscribers(), 0U);
    configIs(keyOf(0, 0));
    EXPECT_TRUE(statuses().empty());
    EXPECT_EQ(op(8, Kel::AttrOp::invoke, {keyOf(0, 0)}), 0);
    EXPECT_EQ(statuses().size(), 1U);
    sm_->hasNotificationActiveIs(true);
    EXPECT_EQ(subscribers(), 2U);
    io = Kel::toValue(myStationTableFactory());
    ASSERT_EQ(op(5, Kel::AttrOp::write), 0);
    EXPECT_EQ(sm_->myStationTable()->entrys(), 0U);
    io = false;
    ASSERT_EQ(op(9, Kel::AttrOp::write), 0);
    EXPECT_FALSE(sm_->initialized());
    PlinthTest::TraceCapture capture("L3MyStationSm");
    EXPECT_EQ(op(10, Kel::AttrOp::invoke), 0);
    EXPECT_EQ(capture.texts(),
              (Texts{kSig + "handleInitialized()", kSig + "handleLogicalFapId()"}));
}

TEST_F(L3MyStationSmTest, ConstructsFromArgumentsAndTearsDownInOrder) {
    chipIs(Chip::untagged);
    moduleIs(kFap);
    fcsd()->logicalFapIdInsertedIs(kFap);
    Kel::TypeImpl const* type = Kel::typeImpl("PlinthL3Unicast::L3MyStationSm");
    ASSERT_NE(type, nullptr);
    Kel::ArgList args{Kel::toValue(sw_->sysdb()), Kel::toValue(fcsd()), Kel::toValue(configDir_),
                      Kel::toValue(statusDir_), Kel::toValue(sw_->smRunningState())};
    EXPECT_THROW(type->genericIfConstructFromCtorArgs({args[1], args[0]}), Kel::RangeException);
    sm_ = Kel::dynamicPtrCast<L3MyStationSm>(type->genericIfConstructFromCtorArgs(args));
    args.clear();
    ASSERT_TRUE(sm_ && sm_->hasNotificationActive() && sm_->myStationTable());
    configIs(keyOf(0, 0));
    sm_->kelDoZombieReactors(true);  // a zombie ignores what it is told
    configDir_->configDel(keyOf(0, 0));
    EXPECT_EQ(statuses().size(), 1U);
    sm_.reset();
    EXPECT_EQ(subscribers(), 0U);
    EXPECT_EQ(configDir_->references(), 1U);
    EXPECT_EQ(statuses().size(), 1U);
    EXPECT_TRUE(sw_->smRunningState()->running());
}

// The keys ahead of `stop` in the directory's own order: what a replay that
// fails at `stop` has programmed.
std::set<MacVlan> keysBefore(MyStationConfigDir const& dir, MacVlan const& stop) {
    std::set<MacVlan> keys;
    for (auto const& [key, config] : dir.config()) {
        if (key == stop) {
            break;
        }
        keys.insert(key);
    }
    return keys;
}

TEST_F(L3MyStationSmTest, ReplayStopsAtAKeyTheChipCannotHoldAndDoesNotRun) {
    MacVlan const bad = keyOf(0x1000, 0xfff);
    for (std::uint32_t vlan = 1; vlan <= 8; ++vlan) {
        configIs(keyOf(vlan, 0xfff));
    }
    configIs(bad);
    chipIs(Chip::untagged);
    moduleIs(kFap);
    smIs();
    PlinthTest::TraceCapture capture("L3MyStationSm");
    fcsd()->logicalFapIdInsertedIs(kFap);
    EXPECT_EQ(std::ranges::count(capture.texts(),
                                 std::string("fcsdDispatch dropped a change: ") + kRangeError),
              1);
    EXPECT_FALSE(sw_->smRunningState()->running());
    std::set<MacVlan> programmed;
    for (auto const& [key, status] : statuses()) {
        programmed.insert(key);
    }
    EXPECT_EQ(programmed, keysBefore(*configDir_, bad));
    EXPECT_EQ(entries().size(), programmed.size());

    // The table is there: later changes program it as usual.
    MacVlan const later = keyOf(9, 0xfff);
    configIs(later);
    EXPECT_EQ(statuses().count(later), 1U);
    EXPECT_EQ(entries().count(tableKeyOf(later, false)), 1U);
}

TEST_F(L3MyStationSmTest, ReplayFailureAtConstructionReachesTheCreatorAndLeavesNothing) {
    configIs(keyOf(0x1000, 0xfff));
    try {
        runningSmIs();
        FAIL() << "the range error did not reach the creator";
    } catch (Kel::RangeException const& e) {
        EXPECT_STREQ(e.what(), kRangeError);
    }
    EXPECT_FALSE(sm_);
    EXPECT_FALSE(sw_->smRunningState()->running());
    EXPECT_EQ(subscribers(), 0U);
    // TearDown checks that every reference the constructor took was released.
}

std::string regexEscaped(std::string_view text) {
    std::string out;
    for (char ch : text) {
        if (std::strchr("\\^$.|?*+()[]{}", ch) != nullptr) {
            out += '\\';
        }
        out += ch;
    }
    return out;
}

class ChipAttrDeathTest : public L3MyStationSmTest, public ::testing::WithParamInterface<Chip> {};

TEST_P(ChipAttrDeathTest, StopsWithoutTheMyStationFeature) {
    std::string const report =
        "PlinthL3Unicast/L3MyStationSm:[0-9]+: " + regexEscaped(kFapSig) + ": Assertion `" +
        regexEscaped("l3UnicastChipAttr() != __null && \" ChipAttributes not found\"") +
        "' failed\\.";
    EXPECT_DEATH(runningSmIs(GetParam()), report);
}

INSTANTIATE_TEST_SUITE_P(Profiles, ChipAttrDeathTest,
                         ::testing::Values(Chip::noFeature, Chip::impostor, Chip::unknown));

}  // namespace
