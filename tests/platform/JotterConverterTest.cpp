#include "Duplex/JotterConverter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>

#include "Pakt/EthAddr.h"

namespace {

enum class Role : std::uint8_t { backup = 1, master = 2 };
std::ostream& operator<<(std::ostream& os, Role r) {
    return os << (r == Role::master ? "master" : "backup");
}
enum class Bare : std::uint8_t { seven = 7 };

struct Case {
    char const* name;
    std::function<std::string()> run;
    char const* expected;
};

std::string convert(auto const&... args) {
    Duplex::JotterConverter c;
    (c << ... << args);
    return c.str();
}

class ConverterTest : public ::testing::TestWithParam<Case> {};

TEST_P(ConverterTest, RendersLine) {
    EXPECT_EQ(GetParam().run(), GetParam().expected);
}

Case const kCases[] = {
    {"FormatOnly", [] { return convert("no marks"); }, "no marks"},
    {"PercentS", [] { return convert("a %s b", 10); }, "a 10 b"},
    {"PercentX", [] { return convert("a %x b", 255); }, "a ff b"},
    {"XBeforeS", [] { return convert("%s then %x", 255, 255); }, "255 then ff"},
    {"FirstMarkWins", [] { return convert("%x-%s", 16, 16); }, "10-16"},
    {"NoMarkAppends", [] { return convert("tail:", 1, 2); }, "tail:12"},
    {"ExtraValuesAppend", [] { return convert("v=%s ", 1, 2); }, "v=1 2"},
    {"RestFollows", [] { return convert("%s/%s end", 1); }, "1/%s end"},
    {"HexSwitch", [] { return convert("0x%s%s/0x%s", std::hex, 100, 0xfff); }, "0x64/0xfff"},
    {"HexPersists", [] { return convert("%s %s", std::hex, 255); }, " ff"},
    {"HexMarkRestores", [] { return convert("%x %s", 255, 255); }, "ff 255"},
    {"ByteAsNumber", [] { return convert("%s", std::uint8_t{65}); }, "65"},
    {"CharAsNumber", [] { return convert("%s", 'A'); }, "65"},
    {"BoolThroughTheStream", [] { return convert("%s %s", true, false); }, "1 0"},
    {"EnumByName", [] { return convert("%s", Role::master); }, "master"},
    {"EnumWithoutNameAsNumber", [] { return convert("%s", Bare::seven); }, "7"},
    {"EthAddr", [] { return convert("a %s", Pakt::EthAddr(0x00005e000101)); },
     "a 00:00:5e:00:01:01"},
    {"Text", [] { return convert("[%s]", "x y"); }, "[x y]"},
    {"NullText", [] { return convert("[%s]", static_cast<char const*>(nullptr)); }, "[(null)]"},
    {"PercentAloneKept", [] { return convert("100% %s", 5); }, "100% 5"},
};

INSTANTIATE_TEST_SUITE_P(Rules, ConverterTest, ::testing::ValuesIn(kCases),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
