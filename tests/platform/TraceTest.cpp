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

// A setting names handles (or all of them, later ones included) and their
// levels; disabling it takes them away again. A bad setting names its bad
// piece and changes nothing.
TEST(TraceSettingsTest, ApplyToExistingAndLaterHandlesOrChangeNothing) {
    std::string const setting = "SettingsA/0-3,8,*/31";
    Kel::TraceHandle& a = Kel::traceHandle("SettingsA");
    ASSERT_TRUE(Kel::traceEnable(setting, nullptr));
    EXPECT_EQ(a.levels(), 0x8000010fU);
    EXPECT_EQ(Kel::traceHandle("SettingsLater").levels(), 1U << 31);
    std::string error;
    EXPECT_FALSE(Kel::traceEnable("SettingsA/4,SettingsA/5-2", &error));
    EXPECT_NE(error.find("'SettingsA/5-2'"), std::string::npos) << error;
    EXPECT_EQ(a.levels(), 0x8000010fU);
    ASSERT_TRUE(Kel::traceDisable(setting, nullptr));
    EXPECT_EQ(a.levels(), 0U);
    Kel::traceDisable("*/*", nullptr);
}

}  // namespace
