// plinth-agent end to end: the program as outside scripts run it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "AgentProcess.h"

namespace {

namespace fs = std::filesystem;

using PlinthTest::AgentRun;
using PlinthTest::jsonLines;
using PlinthTest::lastJsonLine;
using PlinthTest::slurp;
using AgentTest = PlinthTest::AgentDirTest;

class ExampleTest : public AgentTest, public ::testing::WithParamInterface<char const*> {};

TEST_P(ExampleTest, EndsInTheExpectedState) {
    fs::path const source(PLINTH_SOURCE_DIR);
    std::string const name = GetParam();
    AgentRun r = run((source / "examples" / (name + ".scn")).string() + " -", "dump\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto expected =
        nlohmann::json::parse(slurp(source / "tests/agent/expected" / (name + ".json")));
    EXPECT_EQ(lastJsonLine(r.out), expected) << "got " << lastJsonLine(r.out).dump();
    auto const audit = r.out.find("audit: clean");
    EXPECT_TRUE(audit != std::string::npos && audit == r.out.rfind("audit: clean")) << r.out;
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
    auto scenario = file("s.scn",
                         "router-mac set 00:1c:73:00:00:01 interface routing=on\n"
                         "fap add 0\nstart\nvrrp add 00:00:5e:00:01:01 vlan=10\ndump\n" +
                             std::string(GetParam().line) + "\ndump\n");
    AgentRun stopped = run(scenario.string());
    EXPECT_EQ(stopped.status, 2);
    EXPECT_EQ(stopped.err, scenario.string() + ":6: error: " + GetParam().message + "\n");

    AgentRun going = run("--keep-going " + scenario.string());
    EXPECT_EQ(going.status, 2);
    auto dumps = jsonLines(going.out);
    ASSERT_EQ(dumps.size(), 2U) << going.out;
    EXPECT_EQ(dumps[1], dumps[0]);
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
    std::string const foreign = "this is not a ring file, not at all, not even close\n";
    auto ring = file("foreign.ring", foreign);
    struct {
        std::string args, input, error;
    } const cases[] = {
        {(dir_ / "nope.scn").string(), "", "nope.scn: cannot open"},
        {"--frobnicate", "", "unknown option '--frobnicate'"},
        {"--plugin", "", "--plugin needs a value"},
        {"--ring-file " + ring.string(), "dump\n", "--ring-file"},
        {"-", "remount\n", "<stdin>:1: error: remount: not started\n"},
    };
    for (auto const& c : cases) {
        AgentRun r = run(c.args, c.input);
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << c.args << ": " << r.err;
    }
    EXPECT_EQ(slurp(ring), foreign);
}

// A stop keeps the system database and a start programs again; a remount
// on unchanged entities changes nothing, makes no second table programmer
// (its traces are on from there) and leaves the plug-in wired once.
TEST_F(AgentTest, StopKeepsTheSystemDatabaseAndRemountChangesNothing) {
    AgentRun r = run("-",
                     "routing-config system 00:1c:73:00:00:01 valid\n"
                     "router-mac set 00:1c:73:00:00:02 gateway routing=on\n"
                     "vrrp add 00:00:5e:00:01:01 vlan=10\n"
                     "fap add 0\nstart\ndump\nstop\ndump\nstart\ndump\n"
                     "trace L3MyStationSm/*\nremount\ndump\n"
                     "router-mac set 00:1c:73:00:00:03 gateway routing=on\ndump\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto d = jsonLines(r.out);
    ASSERT_EQ(d.size(), 5U);
    EXPECT_TRUE(d[0]["running"]);
    EXPECT_EQ(d[0]["table"].size(), 3U);
    EXPECT_EQ(d[1]["table"].size(), 0U);
    EXPECT_FALSE(d[1]["running"]);
    EXPECT_EQ(d[1]["routerMacStatus"], d[0]["routerMacStatus"]);
    EXPECT_EQ(d[1]["routingStatus"]["routerMac"]["mac"], "00:00:00:00:00:00");
    EXPECT_EQ(d[2], d[0]);
    EXPECT_EQ(d[3], d[0]);
    EXPECT_EQ(r.err.find("L3MyStationSm::handleInitialized"), std::string::npos) << r.err;
    EXPECT_EQ(d[4]["table"].size(), 4U);
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

TEST_F(AgentTest, InvalidToggleFileIsReportedAndTheDefaultHolds) {
    fs::create_directories(dir_ / "toggles");
    file("toggles/PlinthLib.json", "{\"PlinthL3UnicastVrrp\": false,,}");
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
    ASSERT_EQ(std::system((PLINTH_RING_PATH " " + ring.string() + " > " + out).c_str()), 0);
    std::string text = slurp(out);
    EXPECT_NE(text.find("doMountsComplete"), std::string::npos);
    EXPECT_NE(text.find("configureTcam(const Pakt::EthAddr&, U32, bool) macAddr: 00:00:5e:00:01:01 "
                        "vlanId: 10"),
              std::string::npos)
        << text;
}

}  // namespace
