#include "Kel/Trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "Duplex/RingReader.h"
#include "TraceCapture.h"

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

// The codes each type records under are pinned, site by site, by the
// plug-in's trace-site test; this site checks what the ring makes of them.
void everyCode(Kel::TraceHandle& h, Vosk::String const& text) {
    KEL_TRACE(h, 5, "Test/Codes", "m=%s i=%s s=%s b=%s u=%s q=%s p=%s%s h=%s v=%s.",
              Pakt::EthAddr(0x00005e000101), 4000000000U, std::uint16_t{65535}, true, Mode::on,
              reinterpret_cast<int*>(0xdeadbeef12), text, std::hex, 255, VlanId{17});
}

struct TraceTest : ::testing::Test {
    void TearDown() override {
        Jotter::defaultHandleDel();
        std::filesystem::remove(ringPath_);
    }
    // The ring's lines without their sequence numbers and source lines, and
    // how many site descriptions the file holds.
    std::pair<std::vector<std::string>, std::size_t> ring() const {
        std::vector<std::string> texts;
        for (std::string const& line : Duplex::ringLines(ringPath_)) {
            texts.push_back(line.substr(line.find(' ', line.find(':')) + 1));
        }
        std::ifstream in(ringPath_, std::ios::binary);
        std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        Jotter::RingFormat::Image image;
        EXPECT_EQ(Jotter::RingFormat::parse(bytes, image), "");
        return {texts, image.descs.size()};
    }

    PlinthTest::TraceCapture dumper_{"Dumper"};
    std::string const ringPath_ =
        std::filesystem::temp_directory_path() / ("trace-" + std::to_string(::getpid()));
};

TEST_F(TraceTest, EverySiteRecordsWhateverTheLevelAndTextOnlySitesDoNot) {
    Kel::TraceHandle& quiet = Kel::traceHandle("Quiet");
    Jotter::defaultHandleIs(ringPath_, 4096);
    everyCode(quiet, "hello world");
    everyCode(quiet, std::string(200, 'z'));  // no longer fits: the record ends there
    KEL_TRACE_TEXT(Kel::traceHandle("Dumper"), 2, "Test/Dump", "dump %s", VlanId{8});
    EXPECT_EQ(dumper_.lines, std::vector<std::string>{"2 dump vlan8"});
    std::string const fixed = "m=00:00:5e:00:01:01 i=4000000000 s=65535 b=1 u=1 q=0xdeadbeef12 p=";
    // A site describes itself once per ring.
    EXPECT_EQ(ring(), std::pair(std::vector<std::string>{fixed + "hello world h=ff v=11.",
                                                         fixed + "%s%s h=%s v=%s."},
                                std::size_t{1}));

    // A new ring learns the description again from the same site.
    Jotter::defaultHandleDel();
    Jotter::defaultHandleIs(ringPath_, 4096);
    everyCode(quiet, "y");
    EXPECT_EQ(ring(), std::pair(std::vector<std::string>{fixed + "y h=ff v=11."}, std::size_t{1}));
}

// A good setting gives these levels to handles SettingsA and SettingsB and
// to one made afterwards, and its disabling takes them away again. A bad one
// (its last field: the bad piece that its error names) changes nothing.
TEST(TraceSettingsTest, ApplyToExistingAndLaterHandlesOrChangeNothing) {
    struct Setting {
        char const* text;
        std::uint32_t a = 0, b = 0, later = 0;  // the levels of SettingsA, SettingsB, a later one
        char const* badPiece = nullptr;
    };
    // clang-format off
    Setting const cases[] = {
        {.text = "SettingsA/0-3,8,SettingsB/*", .a = 0x10fU, .b = 0xffffffffU},
        {.text = "SettingsB/31,0", .b = 0x80000001U},
        {.text = "*/5", .a = 1U << 5, .b = 1U << 5, .later = 1U << 5},
        {.text = "3", .badPiece = "'3'"},
        {.text = "SettingsA/1,SettingsA/32", .badPiece = "'SettingsA/32'"},
        {.text = "SettingsA/5-2", .badPiece = "'SettingsA/5-2'"},
        {.text = "SettingsA/1,", .badPiece = "''"},
        {.text = "SettingsA/1,SettingsB/2,zz", .badPiece = "'zz'"},
    };
    // clang-format on
    Kel::TraceHandle& a = Kel::traceHandle("SettingsA");
    int later = 0;
    for (auto const& [setting, first, second, inLater, badPiece] : cases) {
        std::string error;
        ASSERT_EQ(Kel::traceEnable(setting, &error), badPiece == nullptr) << setting;
        EXPECT_EQ(a.levels(), first) << setting;
        EXPECT_EQ(Kel::traceHandle("SettingsB").levels(), second) << setting;
        EXPECT_EQ(Kel::traceHandle("Later" + std::to_string(++later)).levels(), inLater);
        if (badPiece != nullptr) {
            EXPECT_NE(error.find(badPiece), std::string::npos) << error;
        } else {
            ASSERT_TRUE(Kel::traceDisable(setting, nullptr));
            EXPECT_EQ(a.levels(), 0U) << setting;
        }
        Kel::traceDisable("*/*", nullptr);
    }
    // Only levels 0 to 31 exist.
    a.levelsIs(0xffffffffU);
    EXPECT_TRUE(a.enabled(0) && a.enabled(31) && !a.enabled(32) && !a.enabled(-1));
    a.levelsIs(0);
}

enum class Bare : std::uint8_t { seven = 7 };

std::string convert(auto const&... args) {
    Duplex::JotterConverter c;
    (c << ... << args);
    return c.str();
}

// Addresses, text, flags and the switch to hex inside a format are rendered
// by the trace tests through whole lines.
TEST(ConverterTest, RendersEachRule) {
    EXPECT_EQ(convert("%x-%s", 16, 16), "10-16");  // the first mark wins
    EXPECT_EQ(convert("tail:", 1, 2), "tail:12");  // no mark: values are appended
    EXPECT_EQ(convert("%s/%s end", 1), "1/%s end");
    EXPECT_EQ(convert("%s %s", std::hex, 255), " ff");  // hex persists
    EXPECT_EQ(convert("%x %s", 255, 255), "ff 255");    // a %x restores decimal
    EXPECT_EQ(convert("%s", 'A'), "65");
    EXPECT_EQ(convert("%s", Bare::seven), "7");
    EXPECT_EQ(convert("[%s]", static_cast<char const*>(nullptr)), "[(null)]");
    EXPECT_EQ(convert("100% %s", 5), "100% 5");
}

}  // namespace
