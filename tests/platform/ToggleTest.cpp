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
TEST(ToggleTest, AnswersTheStateOrTheDefaultAndNamesTheFileOfAnError) {
    struct Shape {
        char const* file;  // "/": a directory in its place
        bool defaultState;
        std::uint32_t state;
        char const* error = "";  // a piece of lastError()
    };
    // clang-format off
    Shape const cases[] = {
        {.file = R"({"Other": false})", .defaultState = true, .state = 1},
        {.file = R"({"Wanted": false, "Deep": {"a": [1, {"b": "x"}]}})", .defaultState = true, .state = 0},
        {.file = R"({"Wanted": "on"})", .defaultState = true, .state = 1,
         .error = "Wanted is neither true, false nor a 32-bit"},
        {.file = R"({"Wanted": 4294967296})", .defaultState = false, .state = 0, .error = "Wanted is neither"},
        {.file = "{\n  \"Wanted\": false,\n}", .defaultState = true, .state = 1, .error = "line 3"},
        {.file = "[false]", .defaultState = true, .state = 1, .error = "not a JSON object"},
        {.file = "/", .defaultState = false, .state = 0, .error = "Is a directory"},
    };
    // clang-format on
    auto const dir =
        std::filesystem::temp_directory_path() / ("toggle-" + std::to_string(getpid()));
    Toggle::toggleDirIs(dir.string());
    for (auto const& [file, defaultState, state, wanted] : cases) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir / (*file == '/' ? "Feature.json" : ""));
        std::ofstream(dir / "Feature.json") << file;  // fails on a directory
        EXPECT_EQ(getToggleState("Wanted", "Feature.json", defaultState), state) << file;
        std::string const error = Toggle::lastError();
        EXPECT_TRUE(*wanted == '\0' ? error.empty()
                                    : error.starts_with((dir / "Feature.json").string() + ": ") &&
                                          error.find(wanted) != std::string::npos)
            << file << " gave " << error;
    }
    Toggle::toggleDirIs("");
    std::filesystem::remove_all(dir);
}

}  // namespace
