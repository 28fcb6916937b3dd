#include "Toggle/Toggle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

// The plug-in's own tests cover an absent file, true, false, the lowest bit
// of a number and unreadable JSON as its one toggle sees them; these are the
// other shapes a file can take, and the errors that name it.
struct ToggleFileCase {
    char const* name;
    char const* file;  // "/": a directory in its place
    bool defaultState;
    std::uint32_t state;
    char const* error;  // a piece of lastError(), or "" for none
};

class ToggleFileTest : public ::testing::TestWithParam<ToggleFileCase> {
  protected:
    ToggleFileTest() {
        std::filesystem::create_directories(dir_);
        Toggle::toggleDirIs(dir_.string());
    }
    ~ToggleFileTest() override {
        Toggle::toggleDirIs("");
        std::filesystem::remove_all(dir_);
    }

    std::filesystem::path const dir_ =
        std::filesystem::temp_directory_path() / ("toggle-" + std::to_string(::getpid()));
};

TEST_P(ToggleFileTest, AnswersTheStateOrTheDefault) {
    ToggleFileCase const& c = GetParam();
    std::filesystem::path const file = dir_ / "Feature.json";
    if (std::string(c.file) == "/") {
        std::filesystem::create_directories(file);
    } else {
        std::ofstream(file) << c.file;
    }
    EXPECT_EQ(getToggleState("Wanted", "Feature.json", c.defaultState), c.state);
    std::string const error = Toggle::lastError();
    if (*c.error == '\0') {
        EXPECT_EQ(error, "");
    } else {
        EXPECT_EQ(error.rfind(file.string() + ": ", 0), 0U) << error;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

ToggleFileCase const kCases[] = {
    {"NoName", R"({"Other": false})", true, 1, ""},
    {"FalseAmongNested", R"({"Wanted": false, "Deep": {"a": [1, {"b": "x"}]}})", true, 0, ""},
    {"Number", R"({"Other": false, "Wanted": 6})", false, 6, ""},
    {"NotAState", R"({"Wanted": "on"})", true, 1, "Wanted is neither true, false nor a 32-bit"},
    {"TooWide", R"({"Wanted": 4294967296})", false, 0, "Wanted is neither"},
    {"TrailingComma", "{\n  \"Wanted\": false,\n}", true, 1, "line 3"},
    {"NotAnObject", "[false]", true, 1, "not a JSON object"},
    {"Directory", "/", false, 0, "Is a directory"},
};
INSTANTIATE_TEST_SUITE_P(Files, ToggleFileTest, ::testing::ValuesIn(kCases),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
