// plinth-agent end to end: the program as outside scripts run it.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "AgentProcess.h"

namespace {

namespace fs = std::filesystem;

using PlinthTest::AgentRun;
using PlinthTest::lastJsonLine;
using PlinthTest::slurp;

class AgentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("plinth-agent-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs the agent with `args`, feeding `input` on standard input.
    AgentRun run(std::string const& args, std::string const& input = "") {
        return PlinthTest::runAgent(args, input, dir_);
    }
    fs::path file(std::string const& name, std::string const& text) {
        std::ofstream(dir_ / name) << text;
        return dir_ / name;
    }

    fs::path dir_;
};

class ExampleTest : public AgentTest, public ::testing::WithParamInterface<char const*> {};

TEST_P(ExampleTest, EndsInTheExpectedState) {
    std::string const name = GetParam();
    fs::path const source(PLINTH_SOURCE_DIR);
    AgentRun r = run((source / "examples" / (name + ".scn")).string() + " -", "dump\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto expected =
        nlohmann::json::parse(slurp(source / "tests/agent/expected" / (name + ".json")));
    EXPECT_EQ(lastJsonLine(r.out), expected) << "got " << lastJsonLine(r.out).dump();
    EXPECT_EQ(r.out.find("audit: clean"), r.out.rfind("audit: clean")) << "audit ran once";
    EXPECT_NE(r.out.find("audit: clean"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleTest,
                         ::testing::Values("leaf-switch", "router-mac-change", "vrrp-failover",
                                           "late-table"));

struct BadLine {
    char const* line;
    char const* message;
};

class BadLineTest : public AgentTest, public ::testing::WithParamInterface<BadLine> {};

// Each bad line is reported with its place, and the state before it stays.
TEST_P(BadLineTest, IsReportedWithItsPlaceAndChangesNothing) {
    std::string const setup =
        "router-mac set 00:1c:73:00:00:01 interface routing=on\n"
        "fap add 0\n"
        "start\n"
        "vrrp add 00:00:5e:00:01:01 vlan=10\n"
        "dump\n";
    auto scenario = file("s.scn", setup + GetParam().line + "\ndump\n");
    AgentRun stopped = run(scenario.string());
    EXPECT_EQ(stopped.status, 2);
    EXPECT_EQ(stopped.err, scenario.string() + ":6: error: " + GetParam().message + "\n");

    AgentRun going = run("--keep-going " + scenario.string());
    EXPECT_EQ(going.status, 2);
    std::istringstream lines(going.out);
    std::string line, before, after;
    while (std::getline(lines, line)) {
        if (line.starts_with("{")) {
            (before.empty() ? before : after) = line;
        }
    }
    EXPECT_EQ(nlohmann::json::parse(after), nlohmann::json::parse(before));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BadLineTest,
    ::testing::Values(
        BadLine{"frobnicate", "unknown command 'frobnicate'"},
        BadLine{"router-mac set 00:1c:73:00:00:0g interface routing=on",
                "router-mac: bad MAC address '00:1c:73:00:00:0g' (want xx:xx:xx:xx:xx:xx)"},
        BadLine{"router-mac set 00:1c:73:00:00:02 bridge routing=on",
                "router-mac: unknown router MAC type 'bridge' (system, virtual, vrrp, mlag-peer, "
                "shared-router-encap, interface, gateway)"},
        BadLine{"router-mac set 00:1c:73:00:00:02 interface routing=maybe",
                "router-mac: routing must be on|off, not 'maybe'"},
        BadLine{"router-mac set 00:1c:73:00:00:02 interface", "router-mac: missing routing=VALUE"},
        BadLine{"vrrp add 00:00:5e:00:01:02 vlan=ten",
                "vrrp: bad VLAN 'ten' (a number from 0 to 4294967295)"},
        BadLine{"fap add 65536", "fap: bad logical FAP id '65536' (a number from 0 to 65535)"},
        BadLine{"dump now", "dump: unexpected 'now'"},
        BadLine{"chip tagged-entry on", "set-up commands are refused once start has run"},
        BadLine{"toggle PlinthL3UnicastVrrp off", "set-up commands are refused once start has run"},
        BadLine{"start", "start: already started"},
        BadLine{"trace L3MyStationSm/99",
                "trace: bad trace setting 'L3MyStationSm/99': levels are *, N or N-M with 0 <= "
                "N <= M <= 31"},
        BadLine{"show tables",
                "show: view must be table|config|status|router-mac|routing|"
                "capabilities|running, not 'tables'"}));

TEST_F(AgentTest, RefusesWhatItCannotRead) {
    AgentRun missing = run((dir_ / "nope.scn").string());
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("nope.scn: cannot open"), std::string::npos) << missing.err;

    AgentRun flag = run("--frobnicate");
    EXPECT_EQ(flag.status, 2);
    EXPECT_NE(flag.err.find("unknown option '--frobnicate'"), std::string::npos);

    AgentRun noValue = run("--plugin");
    EXPECT_EQ(noValue.status, 2);
    EXPECT_NE(noValue.err.find("--plugin needs a value"), std::string::npos);

    auto foreign = file("foreign.ring", "this is not a ring file, not at all, not even close\n");
    AgentRun ring = run("--ring-file " + foreign.string(), "dump\n");
    EXPECT_EQ(ring.status, 2);
    EXPECT_NE(ring.err.find("--ring-file"), std::string::npos) << ring.err;
    EXPECT_EQ(slurp(foreign), "this is not a ring file, not at all, not even close\n");
}

TEST_F(AgentTest, StopKeepsTheSystemDatabaseAndStartProgramsAgain) {
    AgentRun r = run("-",
                     "routing-config system 00:1c:73:00:00:01 valid\n"
                     "router-mac set 00:1c:73:00:00:02 gateway routing=on\n"
                     "fap add 0\nstart\ndump\nstop\ndump\nstart\ndump\n");
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<nlohmann::json> dumps;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        dumps.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(dumps.size(), 3U);
    EXPECT_EQ(dumps[1]["table"].size(), 0U);
    EXPECT_FALSE(dumps[1]["running"]);
    EXPECT_EQ(dumps[1]["routerMacStatus"], dumps[0]["routerMacStatus"]);
    EXPECT_EQ(dumps[1]["routingStatus"]["routerMac"]["mac"], "00:00:00:00:00:00");
    EXPECT_EQ(dumps[2], dumps[0]);
    EXPECT_EQ(dumps[0]["table"].size(), 2U);
}

TEST_F(AgentTest, AFailedMountCompletionIsAWarningAndKeepsWhatWasWired) {
    auto scenario = file("s.scn",
                         "fap add 0\n"
                         "router-mac set 00:1c:73:00:00:02 gateway routing=on\n"
                         "vrrp add 00:00:5e:00:01:01 vlan=4096\n"
                         "start\n"
                         "vrrp add 00:00:5e:00:01:02 vlan=10\n"
                         "dump\n");
    AgentRun r = run(scenario.string());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, scenario.string() +
                         ":4: warning: mount completion failed: U12::value < 0 or > 0x0fff not "
                         "allowed\n");
    auto dump = lastJsonLine(r.out);
    EXPECT_TRUE(dump["started"]);
    EXPECT_FALSE(dump["running"]);
    EXPECT_TRUE(dump["capabilities"]["vrrpSupported"]);
    // The VRRP machines came before the table programmer and still write;
    // nothing after it was made.
    EXPECT_EQ(dump["config"].size(), 2U);
    EXPECT_TRUE(dump["table"].empty());
    EXPECT_TRUE(dump["routerMacStatus"].empty());
}

TEST_F(AgentTest, RemountOnUnchangedEntitiesChangesNothing) {
    AgentRun r = run("-",
                     "routing-config system 00:1c:73:00:00:01 valid\n"
                     "router-mac set 00:1c:73:00:00:02 gateway routing=on\n"
                     "vrrp add 00:00:5e:00:01:01 vlan=10\n"
                     "fap add 0\nstart\ndump\nremount\ndump\n"
                     "router-mac set 00:1c:73:00:00:03 gateway routing=on\ndump\n");
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<nlohmann::json> dumps;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        dumps.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(dumps.size(), 3U);
    EXPECT_TRUE(dumps[0]["running"]);
    EXPECT_EQ(dumps[0]["table"].size(), 3U);
    EXPECT_EQ(dumps[1], dumps[0]);
    // Still wired once: one more router MAC is one more entry.
    EXPECT_EQ(dumps[2]["table"].size(), 4U);

    AgentRun early = run("-", "remount\n");
    EXPECT_EQ(early.status, 2);
    EXPECT_EQ(early.err, "<stdin>:1: error: remount: not started\n");
}

TEST_F(AgentTest, InvalidToggleFileIsReportedAndTheDefaultHolds) {
    fs::create_directories(dir_ / "toggles");
    std::ofstream(dir_ / "toggles" / "PlinthLib.json") << "{\"PlinthL3UnicastVrrp\": false,,}";
    AgentRun r = run("--toggles " + (dir_ / "toggles").string(), "start\ndump\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(lastJsonLine(r.out)["capabilities"]["vrrpSupported"]);
    EXPECT_NE(r.err.find("warning"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("PlinthLib.json"), std::string::npos) << r.err;
}

TEST_F(AgentTest, RingFileRecordsTheTraceSitesAndPlinthRingReadsThem) {
    auto ring = dir_ / "trace.ring";
    AgentRun r = run("--ring-file " + ring.string(),
                     "fap add 0\nstart\nvrrp add 00:00:5e:00:01:01 vlan=10\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << "text trace was off, yet: " << r.err;
    std::string out = dir_ / "ring.txt";
    ASSERT_EQ(
        std::system((std::string(PLINTH_RING_PATH) + " " + ring.string() + " > " + out).c_str()),
        0);
    std::string text = slurp(out);
    EXPECT_NE(text.find("doMountsComplete"), std::string::npos);
    EXPECT_NE(text.find("configureTcam(const Pakt::EthAddr&, U32, bool) macAddr: 00:00:5e:00:01:01 "
                        "vlanId: 10"),
              std::string::npos)
        << text;
}

}  // namespace
