// Inputs that once crashed the agent (most found by fuzzing), kept under
// tests/agent/regression and replayed through the real program. Each must
// run to the end and leave the state its missing input allows.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "AgentProcess.h"

namespace {

namespace fs = std::filesystem;

using RegressionTest = PlinthTest::AgentDirTest;

// The MACs configured at the end of the inputs that omit one entity: with one
// input not mounted, the other writer of the configuration still does its
// part. The routing-type writer needs the routing configuration and its
// status; the router-MAC writer needs the router-MAC status database.
std::map<std::string, std::set<std::string>> const kConfigured = {
    {"routing-config-omitted.scn", {"00:00:5e:00:01:01", "00:1c:73:aa:bb:02"}},
    {"routing-status-omitted.scn", {"00:00:5e:00:01:01", "00:1c:73:aa:bb:02"}},
    {"router-mac-status-db-omitted.scn",
     {"00:00:5e:00:01:01", "00:1c:73:00:00:99", "00:1c:73:aa:bb:03"}},
};

// Every kept input runs to its end: a bad line is an error message, never a
// crash or a sanitizer report.
TEST_F(RegressionTest, EveryKeptInputRunsToTheEnd) {
    std::set<std::string> replayed;
    for (auto const& input :
         fs::directory_iterator(fs::path(PLINTH_SOURCE_DIR) / "tests/agent/regression")) {
        std::string const name = input.path().filename();
        SCOPED_TRACE(name);
        PlinthTest::AgentRun r = run("--keep-going " + input.path().string() + " -", "dump\n");
        EXPECT_TRUE(r.status == 0 || r.status == 2) << r.status << "\n" << r.err;
        EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
        auto dumps = PlinthTest::jsonLines(r.out);
        ASSERT_FALSE(dumps.empty()) << "no final dump:\n" << r.out;
        if (auto it = kConfigured.find(name); it != kConfigured.end()) {
            EXPECT_EQ(r.status, 0) << r.err;
            std::set<std::string> macs;
            for (auto const& entry : dumps.back().at("config")) {
                macs.insert(entry.at("addr").get<std::string>());
            }
            EXPECT_EQ(macs, it->second) << r.out;
        }
        replayed.insert(name);
    }
    for (auto const& [name, macs] : kConfigured) {
        EXPECT_TRUE(replayed.contains(name)) << name << " is gone";
    }
}

}  // namespace
