#include "Toggle/Toggle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

namespace {

// The plug-in's own tests cover an absent file, true, false, the lowest bit
// of a number and unreadable JSON as its one toggle sees them; these are the
// other shapes a file can take, and the errors that name it. Each case:
// file text ("/": a directory in its place), default, state, and a piece of
// lastError() or "" for none.
TEST(ToggleTest, AnswersTheStateOrTheDefaultAndNamesTheFileOfAnError) {
    std::tuple<char const*, bool, std::uint32_t, char const*> const cases[] = {
        {R"({"Other": false})", true, 1, ""},
        {R"({"Wanted": false, "Deep": {"a": [1, {"b": "x"}]}})", true, 0, ""},
        {R"({"Wanted": "on"})", true, 1, "Wanted is neither true, false nor a 32-bit"},
        {R"({"Wanted": 4294967296})", false, 0, "Wanted is neither"},
        {"{\n  \"Wanted\": false,\n}", true, 1, "line 3"},
        {"[false]", true, 1, "not a JSON object"},
        {"/", false, 0, "Is a directory"},
    };
    auto const dir =
        std::filesystem::temp_directory_path() / ("toggle-" + std::to_string(getpid()));
    Toggle::toggleDirIs(dir.string());
    for (auto const& [file, defaultState, state, wanted] : cases) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir / (*file == '/' ? "Feature.json" : ""));
        if (*file != '/') {
            std::ofstream(dir / "Feature.json") << file;
        }
        EXPECT_EQ(getToggleState("Wanted", "Feature.json", defaultState), state) << file;
        std::string const error = Toggle::lastError();
        EXPECT_EQ(error.empty(), *wanted == '\0') << file;
        EXPECT_TRUE(error.empty() || (error.starts_with((dir / "Feature.json").string() + ": ") &&
                                      error.find(wanted) != std::string::npos))
            << error;
    }
    Toggle::toggleDirIs("");
    std::filesystem::remove_all(dir);
}

}  // namespace
