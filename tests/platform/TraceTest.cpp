#include "Kel/Trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Duplex/RingReader.h"
#include "Kel/Ptr.h"

namespace {

// A class recorded through the customization point rather than built in.
struct VlanId {
    std::uint16_t value;
};
std::ostream& operator<<(std::ostream& os, VlanId id) {
    return os << "vlan" << id.value;
}
std::uint16_t jotterValue(VlanId const& id) {
    return id.value;
}

enum class Mode : std::uint8_t { off, on };

// The codes that the rendering of the sites below cannot tell apart, and
// those of the types they do not pass.
using C = Jotter::MsgFormatString;
using Kel::traceDetail::codeOf;
static_assert(std::array{codeOf<bool>, codeOf<Mode>, codeOf<std::int16_t>, codeOf<std::uint64_t>,
                         codeOf<Kel::Ptr<Kel::PtrInterface>>, codeOf<char const*>,
                         codeOf<std::string>} ==
              std::array{C::b, C::u, C::s, C::q, C::q, C::p, C::p});

void handleConfig(Kel::TraceHandle& h, int* line) {
    *line = __LINE__ + 1;
    KEL_TRACE(h, 0, "PlinthL3Unicast/L3MyStationSm", "handleConfig addr: %s vlan/mask: 0x%s%s/0x%s",
              Pakt::EthAddr(0x00005e000101), std::hex, 100, 0xfff);
}

void dump(Kel::TraceHandle& h, VlanId vlan) {
    KEL_TRACE_TEXT(h, 2, "Test/Dump", "dump %s", vlan);
}

void everyCode(Kel::TraceHandle& h, Vosk::String const& text) {
    KEL_TRACE(h, 5, "Test/Codes", "m=%s i=%s s=%s b=%s u=%s q=%s p=%s%s h=%s v=%s.",
              Pakt::EthAddr(0x00005e000101), 4000000000U, std::uint16_t{65535}, true, Mode::on,
              reinterpret_cast<int*>(0xdeadbeef12), text, std::hex, 255, VlanId{17});
}

class TraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Kel::traceSinkIs([this](std::string_view line) { lines_.emplace_back(line); });
    }
    void TearDown() override {
        Kel::traceSinkIs({});
        Jotter::defaultHandleDel();
        std::filesystem::remove(ringPath_);
    }
    void ringIs() { Jotter::defaultHandleIs(ringPath_, 4096); }
    // The ring's lines without their sequence numbers and source lines.
    std::vector<std::string> ringTexts() const {
        std::vector<std::string> out;
        for (std::string const& line : Duplex::ringLines(ringPath_)) {
            out.push_back(line.substr(line.find(' ', line.find(':')) + 1));
        }
        return out;
    }
    // How many descriptions the ring file holds.
    std::size_t descriptions() const {
        std::ifstream in(ringPath_, std::ios::binary);
        std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                        std::istreambuf_iterator<char>()};
        Jotter::RingFormat::Image image;
        EXPECT_EQ(Jotter::RingFormat::parse(bytes, image), "");
        return image.descs.size();
    }

    std::vector<std::string> lines_;
    std::string const ringPath_ =
        std::filesystem::temp_directory_path() / ("trace-" + std::to_string(::getpid()));
};

TEST_F(TraceTest, EnabledLevelWritesTheExactLine) {
    Kel::TraceHandle& h = Kel::traceHandle("L3MyStationSm");
    ASSERT_TRUE(Kel::traceEnable("L3MyStationSm/0", nullptr));
    int line = 0;
    handleConfig(h, &line);
    EXPECT_EQ(lines_, std::vector<std::string>{
                          "L3MyStationSm/0 PlinthL3Unicast/L3MyStationSm:" + std::to_string(line) +
                          " handleConfig: handleConfig addr: 00:00:5e:00:01:01 vlan/mask: "
                          "0x64/0xfff"});
}

TEST_F(TraceTest, EverySiteRecordsWhateverTheLevelAndTextOnlySitesDoNot) {
    ASSERT_TRUE(Kel::traceEnable("Dumper/2", nullptr));
    Kel::TraceHandle& quiet = Kel::traceHandle("Quiet");
    ringIs();
    everyCode(quiet, "hello world");
    everyCode(quiet, std::string(200, 'z'));  // no longer fits: the record ends there
    dump(Kel::traceHandle("Dumper"), VlanId{8});
    ASSERT_EQ(lines_.size(), 1U);
    EXPECT_NE(lines_[0].find("dump: dump vlan8"), std::string::npos) << lines_[0];
    std::string const fixed = "m=00:00:5e:00:01:01 i=4000000000 s=65535 b=1 u=1 q=0xdeadbeef12 p=";
    EXPECT_EQ(ringTexts(), (std::vector<std::string>{fixed + "hello world h=ff v=11.",
                                                     fixed + "%s%s h=%s v=%s."}));
    EXPECT_EQ(descriptions(), 1U);  // a site describes itself once per ring

    // A new ring learns the description again from the same site.
    ringIs();
    everyCode(quiet, "y");
    EXPECT_EQ(ringTexts(), std::vector<std::string>{fixed + "y h=ff v=11."});
    EXPECT_EQ(descriptions(), 1U);
}

// ---- level settings -------------------------------------------------------------

struct SettingsCase {
    char const* name;
    char const* setting;
    std::uint32_t first;   // levels of handle SettingsA afterwards
    std::uint32_t second;  // levels of handle SettingsB afterwards
    std::uint32_t later;   // levels of a handle made afterwards
};

SettingsCase const kGoodSettings[] = {
    {"Single", "SettingsA/3", 1U << 3, 0, 0},
    {"Range", "SettingsA/0-3", 0xfU, 0, 0},
    {"SharedCommas", "SettingsA/0-3,8,SettingsB/*", 0x10fU, 0xffffffffU, 0},
    {"Extremes", "SettingsB/31,0", 0, 0x80000001U, 0},
    {"SameHandleTwice", "SettingsA/1,SettingsA/2", 0x6U, 0, 0},
    {"Star", "*/5", 1U << 5, 1U << 5, 1U << 5},
};

class SettingsTest : public ::testing::TestWithParam<SettingsCase> {
  protected:
    void TearDown() override { Kel::traceDisable("*/*", nullptr); }
};

TEST_P(SettingsTest, ApplyToExistingAndLaterHandles) {
    Kel::TraceHandle& a = Kel::traceHandle("SettingsA");
    ASSERT_TRUE(Kel::traceEnable(GetParam().setting, nullptr));
    EXPECT_EQ(a.levels(), GetParam().first);
    EXPECT_EQ(Kel::traceHandle("SettingsB").levels(), GetParam().second);
    EXPECT_EQ(Kel::traceHandle(std::string("Later") + GetParam().name).levels(), GetParam().later);
    ASSERT_TRUE(Kel::traceDisable(GetParam().setting, nullptr));
    EXPECT_EQ(a.levels(), 0U);
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
    {"Negative", "BadA/-1", "'BadA/-1'"},
    {"Reversed", "BadA/5-2", "'BadA/5-2'"},
    {"NotANumber", "BadA/x", "'BadA/x'"},
    {"TrailingComma", "BadA/1,", "''"},
    {"EmptyLevels", "BadA/", "'BadA/'"},
    {"LateBadPiece", "BadA/1,BadB/2,zz", "'zz'"},
};

class BadSettingsTest : public ::testing::TestWithParam<BadSettings> {};

TEST_P(BadSettingsTest, ChangeNothingAndNameThePiece) {
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
    EXPECT_TRUE(h.enabled(0) && h.enabled(31));
    EXPECT_FALSE(h.enabled(32) || h.enabled(-1));
    EXPECT_EQ(&Kel::traceHandle("Twin"), &Kel::traceHandle(std::string("Twin")));
}

}  // namespace
