#include "Kel/Trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Jotter/RingFormat.h"
#include "Jotter/RingReader.h"

namespace {

// A class recorded through the customization point rather than built in.
class VlanId {
  public:
    explicit VlanId(std::uint16_t v) : value_(v) {}
    std::uint16_t value() const { return value_; }
    friend std::ostream& operator<<(std::ostream& os, VlanId id) {
        return os << "vlan" << id.value_;
    }

  private:
    std::uint16_t value_;
};
std::uint16_t jotterValue(VlanId const& id) {
    return id.value();
}

enum class Mode : std::uint8_t { off, on };

using C = Jotter::MsgFormatString;
static_assert(Kel::TraceArgTraits<Pakt::EthAddr>::code() == C::EC);
static_assert(Kel::TraceArgTraits<bool>::code() == C::b);
static_assert(Kel::TraceArgTraits<Mode>::code() == C::u);
static_assert(Kel::TraceArgTraits<std::int16_t>::code() == C::s);
static_assert(Kel::TraceArgTraits<int>::code() == C::i);
static_assert(Kel::TraceArgTraits<std::uint64_t>::code() == C::q);
static_assert(Kel::TraceArgTraits<Kel::Ptr<Kel::PtrInterface>>::code() == C::q);
static_assert(Kel::TraceArgTraits<int*>::code() == C::q);
static_assert(Kel::TraceArgTraits<char const*>::code() == C::p);
static_assert(Kel::TraceArgTraits<std::string>::code() == C::p);
static_assert(Kel::TraceArgTraits<Vosk::String>::code() == C::p);
static_assert(Kel::TraceArgTraits<decltype(std::hex)>::code() == C::x);
static_assert(Kel::TraceArgTraits<VlanId>::code() == C::s);

void handleConfig(Kel::TraceHandle& h, int* line) {
    *line = __LINE__ + 1;
    KEL_TRACE(h, 0, "PlinthL3Unicast/L3MyStationSm", "handleConfig addr: %s vlan/mask: 0x%s%s/0x%s",
              Pakt::EthAddr(0x00005e000101), std::hex, 100, 0xfff);
}

void dump(Kel::TraceHandle& h, int level, VlanId vlan) {
    KEL_TRACE_TEXT(h, level, "Test/Dump", "dump %s", vlan);
}

void tick(Kel::TraceHandle& h, int level, std::uint32_t n, Vosk::String const& name) {
    KEL_TRACE(h, level, "Test/Tick", "tick %s %s", n, name);
}

void chip(Kel::TraceHandle& h, std::string const& info) {
    KEL_TRACE(h, 0, "Test/Chip", "chipInfo: %s", info);
}

class TraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Kel::traceSinkIs([this](std::string_view line) { lines_.emplace_back(line); });
    }
    void TearDown() override {
        Kel::traceSinkIs({});
        Jotter::defaultHandleDel();
        if (!ringPath_.empty()) {
            std::filesystem::remove(ringPath_);
        }
    }
    void ringIs() {
        auto const* info = ::testing::UnitTest::GetInstance()->current_test_info();
        ringPath_ = std::filesystem::temp_directory_path() /
                    ("trace-" + std::to_string(::getpid()) + "-" + info->name());
        std::filesystem::remove(ringPath_);
        Jotter::defaultHandleIs(ringPath_, 4096);
    }
    std::vector<std::string> ringLines() {
        Jotter::flushDefault();
        return Jotter::RingReader(ringPath_).lines();
    }

    std::size_t descriptions() const {
        std::ifstream in(ringPath_, std::ios::binary);
        std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                        std::istreambuf_iterator<char>()};
        Jotter::RingFormat::Image image;
        EXPECT_EQ(Jotter::RingFormat::parse(bytes, image), "");
        return image.descs.size();
    }

    std::vector<std::string> lines_;
    std::filesystem::path ringPath_;
};

TEST_F(TraceTest, EnabledLevelWritesExactLine) {
    Kel::TraceHandle& h = Kel::traceHandle("L3MyStationSm");
    ASSERT_TRUE(Kel::traceEnable("L3MyStationSm/0", nullptr));
    int line = 0;
    handleConfig(h, &line);
    ASSERT_EQ(lines_.size(), 1U);
    EXPECT_EQ(lines_[0], "L3MyStationSm/0 PlinthL3Unicast/L3MyStationSm:" + std::to_string(line) +
                             " handleConfig: handleConfig addr: 00:00:5e:00:01:01 vlan/mask: "
                             "0x64/0xfff");
}

TEST_F(TraceTest, DisabledLevelWritesNoLineButStillRecords) {
    ringIs();
    tick(Kel::traceHandle("TickQuiet"), 3, 5, "eth1");
    chip(Kel::traceHandle("ChipQuiet"), "chip a rev 1");  // std::string records as text
    EXPECT_TRUE(lines_.empty());
    std::vector<std::string> ring = ringLines();
    ASSERT_EQ(ring.size(), 2U);
    EXPECT_NE(ring[0].find("Test/Tick:"), std::string::npos);
    EXPECT_NE(ring[0].find(" tick 5 eth1"), std::string::npos) << ring[0];
    EXPECT_NE(ring[1].find("chipInfo: chip a rev 1"), std::string::npos) << ring[1];
}

TEST_F(TraceTest, TextOnlySiteWritesNoRecord) {
    ASSERT_TRUE(Kel::traceEnable("Dumper/2", nullptr));
    ringIs();
    dump(Kel::traceHandle("Dumper"), 2, VlanId(7));
    dump(Kel::traceHandle("DumperOff"), 2, VlanId(8));
    ASSERT_EQ(lines_.size(), 1U);
    EXPECT_NE(lines_[0].find("dump: dump vlan7"), std::string::npos) << lines_[0];
    EXPECT_TRUE(ringLines().empty());
}

TEST_F(TraceTest, SiteDescribesItselfOncePerRing) {
    Kel::TraceHandle& h = Kel::traceHandle("TickMany");
    ringIs();
    for (std::uint32_t n = 0; n < 300; ++n) {
        tick(h, 9, n, "x");
    }
    std::vector<std::string> ring = ringLines();
    ASSERT_FALSE(ring.empty());
    EXPECT_NE(ring.back().find("tick 299 x"), std::string::npos);
    EXPECT_EQ(descriptions(), 1U);
    // A fresh ring file learns the description again from the same site.
    Jotter::defaultHandleDel();
    std::filesystem::remove(ringPath_);
    Jotter::defaultHandleIs(ringPath_, 4096);
    tick(h, 9, 1, "y");
    ring = ringLines();
    ASSERT_EQ(ring.size(), 1U);
    EXPECT_NE(ring[0].find(" tick 1 y"), std::string::npos) << ring[0];
    EXPECT_EQ(descriptions(), 1U);
}

// ---- level settings -------------------------------------------------------------

struct SettingsCase {
    char const* name;
    char const* setting;
    std::uint32_t first;   // levels of handle SettingsA afterwards
    std::uint32_t second;  // levels of handle SettingsB afterwards
};

SettingsCase const kGoodSettings[] = {
    {"Single", "SettingsA/3", 1U << 3, 0},
    {"Range", "SettingsA/0-3", 0xfU, 0},
    {"SharedCommas", "SettingsA/0-3,8,SettingsB/*", 0x10fU, 0xffffffffU},
    {"Extremes", "SettingsB/31,0", 0, 0x80000001U},
    {"SameHandleTwice", "SettingsA/1,SettingsA/2", 0x6U, 0},
    {"Star", "*/5", 1U << 5, 1U << 5},
};

class SettingsTest : public ::testing::TestWithParam<SettingsCase> {
  protected:
    void TearDown() override { Kel::traceDisable("*/*", nullptr); }
};

TEST_P(SettingsTest, AppliesToExistingAndLaterHandles) {
    Kel::TraceHandle& a = Kel::traceHandle("SettingsA");
    ASSERT_TRUE(Kel::traceEnable(GetParam().setting, nullptr));
    EXPECT_EQ(a.levels(), GetParam().first);
    // SettingsB may be made before or after; either way it ends up the same.
    EXPECT_EQ(Kel::traceHandle("SettingsB").levels(), GetParam().second);
    std::string later = std::string("SettingsLater") + GetParam().name;
    EXPECT_EQ(Kel::traceHandle(later).levels(),
              std::string(GetParam().setting)[0] == '*' ? 1U << 5 : 0U);
}

INSTANTIATE_TEST_SUITE_P(Good, SettingsTest, ::testing::ValuesIn(kGoodSettings),
                         [](auto const& info) { return std::string(info.param.name); });

struct BadSettings {
    char const* name;
    char const* setting;
    char const* piece;
};

BadSettings const kBadSettings[] = {
    {"Empty", "", "''"},
    {"NoHandle", "3", "'3'"},
    {"EmptyName", "/3", "'/3'"},
    {"LevelTooHigh", "BadA/1,BadA/32", "'BadA/32'"},
    {"Reversed", "BadA/5-2", "'BadA/5-2'"},
    {"NotANumber", "BadA/x", "'BadA/x'"},
    {"TrailingComma", "BadA/1,", "''"},
    {"EmptyLevels", "BadA/", "'BadA/'"},
    {"LateBadPiece", "BadA/1,BadB/2,zz", "'zz'"},
};

class BadSettingsTest : public ::testing::TestWithParam<BadSettings> {};

TEST_P(BadSettingsTest, ChangesNothingAndNamesThePiece) {
    Kel::TraceHandle& a = Kel::traceHandle("BadA");
    std::string error;
    EXPECT_FALSE(Kel::traceEnable(GetParam().setting, &error));
    EXPECT_NE(error.find(GetParam().piece), std::string::npos) << error;
    EXPECT_EQ(a.levels(), 0U);
    EXPECT_EQ(Kel::traceHandle("BadB").levels(), 0U);
}

INSTANTIATE_TEST_SUITE_P(Bad, BadSettingsTest, ::testing::ValuesIn(kBadSettings),
                         [](auto const& info) { return std::string(info.param.name); });

TEST(TraceHandleTest, OutOfRangeLevelIsNeverEnabledAndNamesAreShared) {
    Kel::TraceHandle h("Loose");
    h.levelsIs(0xffffffffU);
    for (int level : {0, 31}) {
        EXPECT_TRUE(h.enabled(level));
    }
    for (int level : {32, -1}) {
        EXPECT_FALSE(h.enabled(level));
    }
    EXPECT_EQ(&Kel::traceHandle("Twin"), &Kel::traceHandle(std::string("Twin")));
}

}  // namespace
