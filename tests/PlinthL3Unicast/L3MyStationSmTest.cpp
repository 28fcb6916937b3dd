#include "PlinthL3Unicast/L3MyStationSm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
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
using Fcsd = PlinthCentral::FeatureAgentCommonSmData;
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

// Earlier subscribers of the configuration that change a new entry at once.
void deleteNew(Vosk::Publisher*, Vosk::Subscriber* s, short, void const* key, void const* value) {
    if (value != nullptr) {
        static_cast<MyStationConfigDir*>(s->owner)->configDel(*static_cast<MacVlan const*>(key));
    }
}
void rewriteRouted(Vosk::Publisher*, Vosk::Subscriber* s, short, void const* key,
                   void const* value) {
    if (auto const* c = static_cast<MyStationConfig const*>(value); c && c->l3Enabled) {
        MyStationConfig unrouted = *c;
        unrouted.l3Enabled = false;
        static_cast<MyStationConfigDir*>(s->owner)->configIs(*static_cast<MacVlan const*>(key),
                                                             unrouted);
    }
}

struct L3MyStationSmTest : ::testing::Test {
    void TearDown() override {
        PlinthProfile::chipProfileDel("plinthA");
        PlinthProfile::chipProfileDel("plinthB");
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
    // Built from arguments, as the framework builds it.
    void smIs(bool withRunningState = true) {
        Kel::ArgList const args{Kel::toValue(sw_->sysdb()), Kel::toValue(fcsd()),
                                Kel::toValue(configDir_), Kel::toValue(statusDir_),
                                Kel::toValue(withRunningState ? sw_->smRunningState() : nullptr)};
        sm_ = Kel::dynamicPtrCast<L3MyStationSm>(
            Kel::typeImpl("PlinthL3Unicast::L3MyStationSm")->genericIfConstructFromCtorArgs(args));
    }
    void runningSmIs(Chip chip = Chip::untagged) {
        chipIs(chip);
        moduleIs(kFap);
        fcsd()->logicalFapIdInsertedIs(kFap);
        smIs();
    }
    void configIs(MacVlan const& key, bool l3Enabled = true, bool stationFlag = true) {
        configDir_->configIs(
            key, {{.macVlan = key, .l3Enabled = l3Enabled, .stationFlag = stationFlag}});
    }
    Kel::Ptr<Fcsd> fcsd() const { return sw_->featureCommon(); }
    Lines journal() { return journal_.take(); }
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

// An id without module information waits; module information on its own
// is another attribute of the chip agent's data, so only an inserted id
// creates the table, for unit 511 from its chip, and replays the
// configuration (each record dumped at level 8) before running. Later ids
// leave the table alone.
TEST_F(L3MyStationSmTest, WaitsForAnIdWithModuleThenReplaysTheConfigurationBeforeRunning) {
    chipIs(Chip::untagged, "plinthA");
    chipIs(Chip::tagged, "plinthB");
    fcsd()->logicalFapIdInsertedIs(LogicalFapId(5));
    smIs();
    moduleIs(kFap);
    PlinthTest::TraceCapture capture("L3MyStationSm");
    configIs(keyOf(1, 0xfff));
    EXPECT_FALSE(held());
    EXPECT_EQ(std::exchange(capture.lines, {}),
              (Lines{"0 handleConfig addr: 00:00:5e:00:01:01 vlan/mask: 0x1/0xfff",
                     "0 handleConfig MyStationTable is not yet initialized "}));
    fcsd()->logicalFapIdInsertedIs(kFap);
    EXPECT_EQ(journal(), (Lines{kSet + "1/fff" + kOn + "vlan=1/fff tvlan=0/0", kStatus + "1/fff",
                                "running on"}));
    EXPECT_EQ(capture.lines.at(4),  // the record
              "8 handleConfig macConf: macVlan: 00:00:5e:00:01:01/ff:ff:ff:ff:ff:ff vlan 1/4095 "
              "l3Enabled: 1 stationFlag: 1 configFlag3: 0 configFlag4: 1 configFlag5: 1");
    EXPECT_TRUE(sw_->sysdb()->getEntity("hardware/plinth/hwTable/myStationTable/511"));
    Kel::Ptr<MyStationTable> const table = sm_->myStationTable();
    moduleIs(LogicalFapId(9), "plinthB");
    fcsd()->logicalFapIdInsertedIs(LogicalFapId(9));
    fcsd()->logicalFapIdInsertedDel(kFap);
    EXPECT_EQ(sm_->myStationTable(), table);
    // A change the chip cannot hold, here a VLAN mask beyond 12 bits, is
    // dropped by the dispatch entry before any write.
    configIs(keyOf(100, 0x1000));
    EXPECT_EQ(
        capture.lines.back(),
        "0 myStationConfigDirDispatch dropped a change: U12::value < 0 or > 0x0fff not allowed");
    EXPECT_EQ(journal(), Lines{});
}

// A key with routing and station on: its entries are committed before its
// status, and removed before it. The status marks the whole key programmed
// and carries no flags; the table matches the whole MAC whatever the key's
// MAC mask.
struct ProgramCase {
    char const* name;
    Chip chip;
    MacVlan key;
    char const* vlan;   // of the primary entry
    char const* tvlan;  // of the tagged entry; null for none
};
// clang-format off
ProgramCase const kProgramCases[] = {
    {.name = "Vlan0MaskNeitherConvertedNorTagged", .chip = Chip::tagged, .key = keyOf(0, 0x1000),
     .vlan = "0/0", .tvlan = nullptr},
    {.name = "VlanUnderMask0OnTaggedChip", .chip = Chip::tagged, .key = keyOf(100, 0), .vlan = "64/0",
     .tvlan = "64/0"},
    {.name = "NarrowAddrMaskOnTaggedChip", .chip = Chip::tagged,
     .key = keyOf(10, 0xfff, Pakt::EthAddr(0xffffff000000)), .vlan = "a/fff", .tvlan = "a/fff"},
};
// clang-format on

class ProgramTest : public L3MyStationSmTest, public ::testing::WithParamInterface<ProgramCase> {};

TEST_P(ProgramTest, CommitsTheEntriesBeforeTheStatusAndRemovesThemBeforeIt) {
    ProgramCase const& c = GetParam();
    runningSmIs(c.chip);
    journal();
    std::string const key = PlinthTest::Journal::key(c.key);
    Lines programmed{"table set " + key + kOn + "vlan=" + c.vlan + " tvlan=0/0"};
    Lines removed{"table del " + key};
    if (c.tvlan) {
        programmed.push_back("table set " + key + " tagged" + kOn + "vlan=0/0 tvlan=" + c.tvlan);
        removed.push_back("table del " + key + " tagged");
    }
    configIs(c.key);
    programmed.push_back("status set " + key);
    removed.push_back("status del " + key);
    EXPECT_EQ(journal(), programmed);
    EXPECT_EQ(*statusDir_->status(c.key), MyStationStatus{{c.key}});
    for (auto const& [tableKey, entry] : sm_->myStationTable()->entries()) {
        EXPECT_TRUE(tableKey.addrMask == Pakt::EthAddr::broadcast() && entry.macAddr == kMac &&
                    entry.macAddrMask == Pakt::EthAddr::broadcast());
    }
    configDir_->configDel(c.key);
    EXPECT_EQ(journal(), removed);
}

INSTANTIATE_TEST_SUITE_P(Keys, ProgramTest, ::testing::ValuesIn(kProgramCases), byName);

// A subscriber ahead of the reactor answers every new entry by deleting it
// or by rewriting it without routing. The reactor hears of that change
// first and of the addition after it, and must follow what the directory
// holds, not the record the stale announcement hands over.
class EarlierSubscriberTest : public L3MyStationSmTest,
                              public ::testing::WithParamInterface<bool> {};

TEST_P(EarlierSubscriberTest, TheTableFollowsTheDirectoryNotAStaleAnnouncement) {
    bool const rewrite = GetParam();
    runningSmIs();
    Vosk::Subscriber veto;
    veto.owner = configDir_.get();
    veto.dispatch = rewrite ? &rewriteRouted : &deleteNew;
    configDir_->notifieeList()->subscriberAdd(&veto, true);
    configIs(keyOf(1, 0xfff));
    journal();
    auto const& entries = sm_->myStationTable()->entries();
    ASSERT_EQ(entries.size(), rewrite ? 1U : 0U);
    EXPECT_EQ(statusDir_->status().size(), entries.size());
    EXPECT_TRUE(!rewrite || entries.begin()->second.entryFlag2 == 0) << "the stale record won";
}

INSTANTIATE_TEST_SUITE_P(Ways, EarlierSubscriberTest, ::testing::Bool(),
                         PlinthTest::byFlag("Rewrites", "Deletes"));

// What the reactor says as it is built: it looks at the ids once as it is
// initialized and once more as it starts listening. Built with ids (and
// without the running state), it creates the table on the first look, from
// the first id in the set's order.
class ConstructionTest : public L3MyStationSmTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ConstructionTest, TracesEachLookAtTheIds) {
    bool const ids = GetParam();
    std::string const sm = "0 void PlinthL3Unicast::L3MyStationSm::",
                      byId = sm + "handleLogicalFapId(LogicalFap::LogicalFapId) ",
                      look = sm + "handleLogicalFapId()",
                      already = "0 handleLogicalFapId MyStationTable is already initialized ";
    Lines traced{sm + "handleInitialized()", look, look};
    if (ids) {
        chipIs(Chip::untagged, "plinthA");
        chipIs(Chip::tagged, "plinthB");
        for (auto const& [id, chip] : {std::pair{9, "plinthB"}, {3, "plinthA"}}) {
            moduleIs(LogicalFapId(id), chip);
            fcsd()->logicalFapIdInsertedIs(LogicalFapId(id));
        }
        traced = {sm + "handleInitialized()",
                  look,
                  byId + "module: fap3",
                  byId + "chipInfo: chip plinthA rev 2",
                  sm + "handleConfig()",
                  "0 runningIs skipped: smRunningState missing",
                  already,
                  look,
                  already,
                  already};
    }
    PlinthTest::TraceCapture capture("L3MyStationSm");
    smIs(false);
    EXPECT_EQ(capture.lines, traced);
    EXPECT_EQ(held() ? held()->chip().chipName : "", ids ? "plinthA" : "");
}

INSTANTIATE_TEST_SUITE_P(Ids, ConstructionTest, ::testing::Bool(),
                         PlinthTest::byFlag("TwoIds", "NoId"));

// Entries carry the flags of the
// current configuration; the status, which carries none, is written once.
// Switched off or destroyed, the reactor listens no more, and leaves what it
// wrote, running included.
TEST_F(L3MyStationSmTest, ProgramsTheCurrentFlagsAndLeavesWhatItWrote) {
    chipIs(Chip::untagged);
    moduleIs(kFap);
    MacVlan const any = keyOf(0, 0);
    configIs(any, false, true);
    smIs();
    fcsd()->logicalFapIdInsertedIs(kFap);
    configIs(any, true, false);
    EXPECT_EQ(journal(), (Lines{kSet + "0/0 station=1 l3=0,0,0 vlan=0/0 tvlan=0/0", kStatus + "0/0",
                                "running on", kSet + "0/0 station=0 l3=1,1,1 vlan=0/0 tvlan=0/0"}));
    auto subscribers = [this] {
        return fcsd()->notifieeList()->subscriberCount() +
               configDir_->notifieeList()->subscriberCount();
    };
    sm_->hasNotificationActiveIs(false);
    EXPECT_EQ(subscribers(), 0U);
    sm_->hasNotificationActiveIs(true);
    sm_.reset();
    EXPECT_EQ(subscribers(), 0U);
    EXPECT_EQ(statusDir_->status().size(), 1U);
    EXPECT_TRUE(sw_->smRunningState()->running());
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
    chipIs(Chip::untagged);
    moduleIs(kFap);
    if (late) {
        smIs();
        fcsd()->logicalFapIdInsertedIs(kFap);
    } else {
        fcsd()->logicalFapIdInsertedIs(kFap);
        EXPECT_ANY_THROW(smIs());
    }
    auto const status = statusDir_->status().keys();
    EXPECT_EQ(std::set<MacVlan>(status.begin(), status.end()),
              std::set<MacVlan>(before.begin(), before.end()));
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
