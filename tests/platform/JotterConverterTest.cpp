#include "Duplex/JotterConverter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>

namespace {

enum class Role : std::uint8_t { backup = 1, master = 2 };
std::ostream& operator<<(std::ostream& os, Role r) {
    return os << (r == Role::master ? "master" : "backup");
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
    EXPECT_EQ(convert("no marks"), "no marks");
    EXPECT_EQ(convert("a %s b", 10), "a 10 b");
    EXPECT_EQ(convert("a %x b", 255), "a ff b");
    EXPECT_EQ(convert("%s then %x", 255, 255), "255 then ff");
    EXPECT_EQ(convert("%x-%s", 16, 16), "10-16");  // the first mark wins
    EXPECT_EQ(convert("tail:", 1, 2), "tail:12");  // no mark: values are appended
    EXPECT_EQ(convert("v=%s ", 1, 2), "v=1 2");
    EXPECT_EQ(convert("%s/%s end", 1), "1/%s end");
    EXPECT_EQ(convert("%s %s", std::hex, 255), " ff");  // hex persists
    EXPECT_EQ(convert("%x %s", 255, 255), "ff 255");    // a %x restores decimal
    EXPECT_EQ(convert("%s", std::uint8_t{65}), "65");
    EXPECT_EQ(convert("%s", 'A'), "65");
    EXPECT_EQ(convert("%s", Role::master), "master");
    EXPECT_EQ(convert("%s", Bare::seven), "7");
    EXPECT_EQ(convert("[%s]", static_cast<char const*>(nullptr)), "[(null)]");
    EXPECT_EQ(convert("100% %s", 5), "100% 5");
}

}  // namespace
