// Inputs that once crashed the agent (most found by fuzzing), kept under
// tests/agent/regression and replayed through the real program. Each must
// run to the end and leave the state its missing input allows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "AgentProcess.h"

namespace {

namespace fs = std::filesystem;

fs::path const kRegressionDir = fs::path(PLINTH_SOURCE_DIR) / "tests/agent/regression";

using PlinthTest::lastJsonLine;

PlinthTest::AgentRun replay(fs::path const& scenario, fs::path const& dir) {
    return PlinthTest::runAgent("--keep-going " + scenario.string() + " -", "dump\n", dir);
}

std::set<std::string> configuredMacs(nlohmann::json const& dump) {
    std::set<std::string> macs;
    for (auto const& entry : dump.at("config")) {
        macs.insert(entry.at("addr").get<std::string>());
    }
    return macs;
}

class RegressionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("plinth-regression-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
};

// Every kept input runs to its end: a bad line is an error message, never a
// crash or a sanitizer report.
TEST_F(RegressionTest, EveryKeptInputRunsToTheEnd) {
    std::vector<fs::path> inputs;
    for (auto const& entry : fs::directory_iterator(kRegressionDir)) {
        inputs.push_back(entry.path());
    }
    std::sort(inputs.begin(), inputs.end());
    ASSERT_FALSE(inputs.empty());
    for (auto const& input : inputs) {
        PlinthTest::AgentRun r = replay(input, dir_);
        EXPECT_TRUE(r.status == 0 || r.status == 2) << input << " ended with " << r.status << "\n"
                                                    << r.err;
        EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << input << "\n" << r.err;
        EXPECT_NO_THROW(lastJsonLine(r.out)) << input << " printed no final dump:\n" << r.out;
    }
}

// With one input not mounted, the other writer of the configuration still
// does its part.
struct Omitted {
    char const* file;
    std::set<std::string> configured;
};
void PrintTo(Omitted const& o, std::ostream* os) {
    *os << o.file;
}

class OmittedInputTest : public RegressionTest, public ::testing::WithParamInterface<Omitted> {};

TEST_P(OmittedInputTest, TheOtherWriterStillWorks) {
    PlinthTest::AgentRun r = replay(kRegressionDir / GetParam().file, dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(configuredMacs(lastJsonLine(r.out)), GetParam().configured) << r.out;
}

// The routing-type writer needs the routing configuration and its status;
// the router-MAC writer needs the router-MAC status database.
INSTANTIATE_TEST_SUITE_P(Inputs, OmittedInputTest,
                         ::testing::Values(Omitted{"routing-config-omitted.scn",
                                                   {"00:00:5e:00:01:01", "00:1c:73:aa:bb:02"}},
                                           Omitted{"routing-status-omitted.scn",
                                                   {"00:00:5e:00:01:01", "00:1c:73:aa:bb:02"}},
                                           Omitted{"router-mac-status-db-omitted.scn",
                                                   {"00:00:5e:00:01:01", "00:1c:73:00:00:99",
                                                    "00:1c:73:aa:bb:03"}}));

}  // namespace
