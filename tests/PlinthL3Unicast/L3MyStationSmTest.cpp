#include "PlinthL3Unicast/L3MyStationSm.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "CaseName.h"
#include "Journal.h"
#include "NothingLeft.h"
#include "PlinthProfile/Profile.h"
#include "Switch.h"
#include "TraceCapture.h"

namespace {

using namespace PlinthL3Unicast;
using LogicalFap::LogicalFapId;
using Lines = std::vector<std::string>;

constexpr LogicalFapId kFap{7};
constexpr Pakt::EthAddr kMac{0x00005e000101};
// Journal lines of kMac, and the flags of an entry with routing and station on.
std::string const kSet = "table set 00:00:5e:00:01:01 ";
std::string const kStatus = "status set 00:00:5e:00:01:01 ";
std::string const kOn = " station=1 l3=1,1,1 ";

enum class Chip { untagged, tagged, noFeature, impostor, unknown };

// Filed under the My Station key without being the My Station feature.
struct Impostor : Asic::Feature {
    Kel::TypeImpl const* fwkType() const override { return myStationAttrType(); }
};

using PlinthTest::byName;
using PlinthTest::PrintTo;

MacVlan keyOf(std::uint32_t vlan, std::uint32_t vlanMask,
              Pakt::EthAddr addrMask = Pakt::EthAddr::broadcast()) {
    return {kMac, vlan, vlanMask, addrMask};
}

// An earlier subscriber of the configuration that deletes a new entry on
// VLAN 1 at once, and rewrites a routed one elsewhere without routing.
void veto(Vosk::Publisher*, Vosk::Subscriber* s, short, void const* key, void const* value) {
    auto& dir = *static_cast<MyStationConfigDir*>(s->owner);
    auto const& k = *static_cast<MacVlan const*>(key);
    if (auto const* c = static_cast<MyStationConfig const*>(value); c && k.vlan == 1) {
        dir.configDel(k);
    } else if (c && c->l3Enabled) {
        MyStationConfig unrouted = *c;
        unrouted.l3Enabled = false;
        dir.configIs(k, unrouted);
    }
}

struct L3MyStationSmTest : ::testing::Test {
    void TearDown() override {
        PlinthProfile::chipProfileDel("plinthA");
        PlinthProfile::chipProfileDel("plinthB");
    }

    // A chip named `name` whose module information comes with `id`.
    void chipIs(Chip chip, char const* name, LogicalFapId id) {
        Kel::Ptr<Asic::ChipProfile> profile(new Asic::ChipProfile(name));
        if (chip == Chip::untagged || chip == Chip::tagged) {
            profile->featureIs(Kel::Ptr<MyStationAttr>(new MyStationAttr(chip == Chip::tagged)));
        } else if (chip == Chip::impostor) {
            profile->featureIs(Kel::Ptr<Impostor>(new Impostor()));
        }
        if (chip != Chip::unknown) {
            PlinthProfile::chipProfileIs(profile);
        }
        sw_->featureCommon()->logicalModInfoIs(
            id, Kel::newPtr<PlinthCentral::LogicalModuleInfo>(PlinthCentral::ChipInfo{name, 2}));
    }
    // Built from arguments, as the framework builds it.
    void smIs(bool withRunningState = true) {
        Kel::ArgList const args{Kel::toValue(sw_->sysdb()), Kel::toValue(sw_->featureCommon()),
                                Kel::toValue(configDir_), Kel::toValue(statusDir_),
                                Kel::toValue(withRunningState ? sw_->smRunningState() : nullptr)};
        sm_ = Kel::dynamicPtrCast<L3MyStationSm>(
            Kel::typeImpl("PlinthL3Unicast::L3MyStationSm")->genericIfConstructFromCtorArgs(args));
    }
    void runningSmIs(Chip chip = Chip::untagged) {
        chipIs(chip, "plinthA", kFap);
        sw_->featureCommon()->logicalFapIdInsertedIs(kFap);
        smIs();
    }
    void configIs(MacVlan const& key, bool l3Enabled = true, bool stationFlag = true) {
        configDir_->configIs(
            key, {{.macVlan = key, .l3Enabled = l3Enabled, .stationFlag = stationFlag}});
    }
    Kel::Ptr<MyStationTable const> held() const { return sm_ ? sm_->myStationTable() : nullptr; }

    PlinthTest::NothingLeft const nothingLeft_;
    std::optional<PlinthAgent::Switch> sw_{std::in_place};
    Kel::Ptr<MyStationConfigDir> configDir_ = Kel::newPtr<MyStationConfigDir>();
    Kel::Ptr<MyStationStatusDir> statusDir_ = Kel::newPtr<MyStationStatusDir>();
    Kel::Ptr<L3MyStationSm> sm_;
    // What the reactor writes; its table shows once the creator holds it.
    PlinthTest::Journal journal_{
        {{}, statusDir_, [this] { return held(); }, {}, {}, {}, sw_->smRunningState()}};
};

// Trace lines of the reactor.
std::string const kSm = "0 void PlinthL3Unicast::L3MyStationSm::",
                  kLook = kSm + "handleLogicalFapId()",
                  kById = kSm + "handleLogicalFapId(LogicalFap::LogicalFapId) ";

// An id without module information waits; module information on its own
// is another attribute of the chip agent's data, so only an inserted id
// creates the table, for unit 511 from its chip, and replays the
// configuration (each record dumped at level 8) before running. Later ids
// leave the table alone.
TEST_F(L3MyStationSmTest, WaitsForAnIdWithModuleThenReplaysTheConfigurationBeforeRunning) {
    PlinthTest::TraceCapture capture("L3MyStationSm");
    smIs();
    sw_->featureCommon()->logicalFapIdInsertedIs(LogicalFapId(5));
    // Built with no id, it looks at the ids as it is initialized and again as
    // it starts listening.
    EXPECT_EQ(std::exchange(capture.lines, {}),
              (Lines{kSm + "handleInitialized()", kLook, kLook, kById + "module: fap5",
                     "0 handleLogicalFapId no module information for fap5, waiting"}));
    chipIs(Chip::untagged, "plinthA", kFap);
    configIs(keyOf(1, 0xfff));
    EXPECT_FALSE(held());
    EXPECT_EQ(std::exchange(capture.lines, {}),
              (Lines{"0 handleConfig addr: 00:00:5e:00:01:01 vlan/mask: 0x1/0xfff",
                     "0 handleConfig MyStationTable is not yet initialized "}));
    sw_->featureCommon()->logicalFapIdInsertedIs(kFap);
    EXPECT_EQ(journal_.take(), (Lines{kSet + "1/fff" + kOn + "vlan=1/fff tvlan=0/0",
                                      kStatus + "1/fff", "running on"}));
    EXPECT_EQ(capture.lines.at(4),  // the record
              "8 handleConfig macConf: macVlan: 00:00:5e:00:01:01/ff:ff:ff:ff:ff:ff vlan 1/4095 "
              "l3Enabled: 1 stationFlag: 1 configFlag3: 0 configFlag4: 1 configFlag5: 1");
    EXPECT_TRUE(sw_->sysdb()->getEntity("hardware/plinth/hwTable/myStationTable/511"));
    Kel::Ptr<MyStationTable> const table = sm_->myStationTable();
    chipIs(Chip::tagged, "plinthB", LogicalFapId(9));
    sw_->featureCommon()->logicalFapIdInsertedIs(LogicalFapId(9));
    sw_->featureCommon()->logicalFapIdInsertedDel(kFap);
    EXPECT_EQ(sm_->myStationTable(), table);
}

// A key with routing and station on: its entries are committed before its
// status, and removed before it. The status marks the whole key programmed
// and carries no flags: new flags rewrite the entries alone. The table
// matches the whole MAC whatever the key's MAC mask. Destroyed, the reactor
// leaves what it wrote, running included. The chip wants tagged entries.
struct ProgramCase {
    char const* name;
    MacVlan key;
    char const* vlan;   // of the primary entry
    char const* tvlan;  // of the tagged entry; null for none
};
// clang-format off
ProgramCase const kProgramCases[] = {
    {.name = "Vlan0MaskNeitherConvertedNorTagged", .key = keyOf(0, 0x1000), .vlan = "0/0", .tvlan = nullptr},
    {.name = "VlanUnderMask0OnTaggedChip", .key = keyOf(100, 0), .vlan = "64/0", .tvlan = "64/0"},
    {.name = "NarrowAddrMaskOnTaggedChip", .key = keyOf(10, 0xfff, Pakt::EthAddr(0xffffff000000)),
     .vlan = "a/fff", .tvlan = "a/fff"},
};
// clang-format on

class ProgramTest : public L3MyStationSmTest, public ::testing::WithParamInterface<ProgramCase> {};

TEST_P(ProgramTest, CommitsTheEntriesBeforeTheStatusAndRemovesThemBeforeIt) {
    ProgramCase const& c = GetParam();
    runningSmIs(Chip::tagged);
    journal_.take();
    std::string const key = PlinthTest::Journal::key(c.key);
    auto entries = [&](std::string const& flags) {
        Lines out{"table set " + key + flags + "vlan=" + c.vlan + " tvlan=0/0"};
        if (c.tvlan) {
            out.push_back("table set " + key + " tagged" + flags + "vlan=0/0 tvlan=" + c.tvlan);
        }
        return out;
    };
    configIs(c.key);
    Lines programmed = entries(kOn);
    programmed.push_back("status set " + key);
    EXPECT_EQ(journal_.take(), programmed);
    EXPECT_EQ(*statusDir_->status(c.key), MyStationStatus{{c.key}});
    for (auto const& [tableKey, entry] : sm_->myStationTable()->entries()) {
        EXPECT_TRUE(tableKey.addrMask == Pakt::EthAddr::broadcast() && entry.macAddr == kMac &&
                    entry.macAddrMask == Pakt::EthAddr::broadcast());
    }
    configIs(c.key, false, false);
    EXPECT_EQ(journal_.take(), entries(" station=0 l3=0,0,0 "));
    configDir_->configDel(c.key);
    Lines removed{"table del " + key, "table del " + key + " tagged", "status del " + key};
    EXPECT_EQ(journal_.take(), (c.tvlan ? removed : Lines{removed[0], removed[2]}));

    configIs(c.key);
    sm_.reset();
    EXPECT_EQ(statusDir_->status().size(), 1U);
    EXPECT_TRUE(sw_->smRunningState()->running());
}

INSTANTIATE_TEST_SUITE_P(Keys, ProgramTest, ::testing::ValuesIn(kProgramCases), byName);

// A subscriber ahead of the reactor answers a new entry by deleting it (on
// VLAN 1) or by rewriting it without routing (on VLAN 2). The reactor hears
// of that change first and of the addition after it, and must follow what
// the directory holds, not the record the stale announcement hands over.
using EarlierSubscriberTest = L3MyStationSmTest;

TEST_F(EarlierSubscriberTest, TheTableFollowsTheDirectoryNotAStaleAnnouncement) {
    runningSmIs();
    Vosk::Subscriber earlier;
    earlier.owner = configDir_.get();
    earlier.dispatch = &veto;
    configDir_->notifieeList()->subscriberAdd(&earlier, true);
    journal_.take();
    configIs(keyOf(1, 0xfff));
    configIs(keyOf(2, 0xfff));
    EXPECT_EQ(journal_.take(),
              (Lines{kSet + "2/fff station=1 l3=0,0,0 vlan=2/fff tvlan=0/0", kStatus + "2/fff"}));
}

// What the reactor says as it is built with ids (and without the running
// state): it creates the table on its first look at them, from the first id
// in the set's order, and finds it made on the second.
using ConstructionTest = L3MyStationSmTest;

TEST_F(ConstructionTest, TracesEachLookAtTheIds) {
    chipIs(Chip::tagged, "plinthB", LogicalFapId(9));
    sw_->featureCommon()->logicalFapIdInsertedIs(LogicalFapId(9));
    chipIs(Chip::untagged, "plinthA", LogicalFapId(3));
    sw_->featureCommon()->logicalFapIdInsertedIs(LogicalFapId(3));
    PlinthTest::TraceCapture capture("L3MyStationSm");
    smIs(false);
    std::string const already = "0 handleLogicalFapId MyStationTable is already initialized ";
    // clang-format off
    EXPECT_EQ(capture.lines, (Lines{kSm + "handleInitialized()", kLook, kById + "module: fap3",
                                    kById + "chipInfo: chip plinthA rev 2", kSm + "handleConfig()",
                                    "0 runningIs skipped: smRunningState missing", already, kLook, already, already}));
    // clang-format on
    EXPECT_EQ(held() ? held()->chip().chipName : "", "plinthA");
}

// The configuration holds keys on either side, in the directory's own order,
// of one that the chip cannot hold (VLAN 4096): the replay programs those
// before it, and the table is never reported running. Created as the reactor
// is built, the failure takes the reactor and its table with it; created
// later, on the id's arrival, the table stays live with what it holds.
class ReplayStopTest : public L3MyStationSmTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ReplayStopTest, StopsAtAKeyTheChipCannotHold) {
    bool const late = GetParam();
    for (std::uint32_t vlan = 1; vlan <= 8; ++vlan) {
        configIs(keyOf(vlan, 0xfff));
    }
    std::vector<MacVlan> before;  // the keys the directory holds ahead of the bad one
    for (std::uint64_t mac = 1; before.empty(); ++mac) {
        MacVlan const bad{Pakt::EthAddr(mac), 4096, 0xfff};
        configIs(bad);
        before = configDir_->config().keys();
        auto const at = std::ranges::find(before, bad) - before.begin();
        before.resize(at + 1 == std::ssize(before) ? 0 : at);  // keys on both sides, or retry
        if (before.empty()) {
            configDir_->configDel(bad);
        }
    }
    chipIs(Chip::untagged, "plinthA", kFap);
    if (late) {
        smIs();
        sw_->featureCommon()->logicalFapIdInsertedIs(kFap);
    } else {
        sw_->featureCommon()->logicalFapIdInsertedIs(kFap);
        EXPECT_ANY_THROW(smIs());
    }
    EXPECT_THAT(statusDir_->status().keys(), ::testing::UnorderedElementsAreArray(before));
    EXPECT_EQ(held() ? held()->entrys() : 0U, late ? before.size() : 0U);
    EXPECT_FALSE(sw_->smRunningState()->running());
}

INSTANTIATE_TEST_SUITE_P(Paths, ReplayStopTest, ::testing::Bool(),
                         PlinthTest::byFlag("OnTheIdsArrival", "AtConstruction"));

class ChipAttrDeathTest : public L3MyStationSmTest, public ::testing::WithParamInterface<Chip> {};

TEST_P(ChipAttrDeathTest, StopsWithoutTheMyStationFeature) {
    EXPECT_DEATH(
        runningSmIs(GetParam()),
        "PlinthL3Unicast/L3MyStationSm:[0-9]+: void "
        "PlinthL3Unicast::L3MyStationSm::handleLogicalFapId\\(LogicalFap::LogicalFapId\\): "
        "Assertion `l3UnicastChipAttr\\(\\) != __null && \" ChipAttributes not found\"' "
        "failed\\.");
}

INSTANTIATE_TEST_SUITE_P(Profiles, ChipAttrDeathTest,
                         ::testing::Values(Chip::noFeature, Chip::impostor, Chip::unknown));

}  // namespace
