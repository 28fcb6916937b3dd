#include "Toggle/Toggle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>

namespace {

struct ToggleFileCase {
    char const* name;
    std::optional<char const*> file;  // none: no file at all
    bool defaultState;
    std::uint32_t state;
    char const* error;  // a piece of lastError(), or "" for none
};

void PrintTo(ToggleFileCase const& c, std::ostream* os) {
    *os << c.name;
}

class ToggleFileTest : public ::testing::TestWithParam<ToggleFileCase> {
  protected:
    ToggleFileTest()
        : dir_(std::filesystem::temp_directory_path() /
               ("toggle-" + std::to_string(::getpid()) + "-" + GetParam().name)) {
        std::filesystem::create_directories(dir_);
        Toggle::toggleDirIs(dir_.string());
    }
    ~ToggleFileTest() override {
        Toggle::toggleDirIs("");
        std::filesystem::remove_all(dir_);
    }

    std::filesystem::path const dir_;
};

TEST_P(ToggleFileTest, AnswersStateOrDefault) {
    ToggleFileCase const& c = GetParam();
    if (c.file) {
        std::ofstream(dir_ / "Feature.json") << *c.file;
    }
    EXPECT_EQ(getToggleState("Wanted", "Feature.json", c.defaultState), c.state);
    std::string const error = Toggle::lastError();
    if (*c.error == '\0') {
        EXPECT_EQ(error, "");
    } else {
        EXPECT_NE(error.find((dir_ / "Feature.json").string() + ":"), std::string::npos) << error;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

ToggleFileCase const kCases[] = {
    {"NoFileDefaultOn", std::nullopt, true, 1, ""},
    {"NoFileDefaultOff", std::nullopt, false, 0, ""},
    {"EmptyObject", "{}", true, 1, ""},
    {"True", R"({"Wanted": true})", false, 1, ""},
    {"False", R"({"Wanted": false})", true, 0, ""},
    {"NumberAsIs", R"({"Other": true, "Wanted": 6})", true, 6, ""},
    {"NullIsNoValue", R"({"Wanted": null})", false, 0, ""},
    {"NestedValuesSkipped", R"({"Deep": {"a": [1, {"b": "x"}]}, "Wanted": true})", false, 1, ""},
    {"TrailingComma", "{\n  \"Wanted\": false,\n}", true, 1, "3: expected a string"},
    {"MissingComma", "{\"A\": 1\n \"Wanted\": 0}", true, 1, "2: expected ',' or '}'"},
    {"NotAnObject", "[true]", true, 1, "1: expected '{'"},
    {"TextAfterObject", R"({"Wanted": false} x)", true, 1, "unexpected text after the object"},
    {"BadLiteral", R"({"Wanted": tru})", false, 0, "unknown literal"},
};
INSTANTIATE_TEST_SUITE_P(Files, ToggleFileTest, ::testing::ValuesIn(kCases),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
