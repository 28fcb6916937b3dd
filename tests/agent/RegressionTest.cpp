// Inputs that once crashed the agent (most found by fuzzing), kept under
// tests/agent/regression and replayed through the real program. What each
// leaves configured with its input missing is the helper tests' business.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "AgentProcess.h"

namespace {

namespace fs = std::filesystem;

using RegressionTest = PlinthTest::AgentDirTest;

// Every kept input runs to its end: a bad line is an error message, never a
// crash or a sanitizer report.
TEST_F(RegressionTest, EveryKeptInputRunsToTheEnd) {
    int replayed = 0;
    for (auto const& input :
         fs::directory_iterator(fs::path(PLINTH_SOURCE_DIR) / "tests/agent/regression")) {
        SCOPED_TRACE(input.path().filename());
        PlinthTest::AgentRun r = run("--keep-going " + input.path().string() + " -", "dump\n");
        EXPECT_TRUE(r.status == 0 || r.status == 2) << r.status << "\n" << r.err;
        EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
        EXPECT_TRUE(PlinthTest::lastDump(r.out)["started"].is_boolean()) << "no final dump:\n"
                                                                         << r.out;
        ++replayed;
    }
    EXPECT_GE(replayed, 3) << "kept inputs are gone";
}

}  // namespace
