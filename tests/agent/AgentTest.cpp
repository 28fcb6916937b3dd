// plinth-agent end to end: the program as outside scripts run it, and the
// inputs that once crashed it (most found by fuzzing), kept under
// tests/agent/regression. What each leaves configured with its input missing
// is the helper tests' business.
#include <gtest/gtest.h>

#include "AgentProcess.h"

namespace {

namespace fs = std::filesystem;

using namespace PlinthTest;
using AgentTest = AgentDirTest;
using RegressionTest = AgentDirTest;

// Each example ends in its expected state, with one clean audit.
TEST_F(AgentTest, ExamplesEndInTheirExpectedState) {
    fs::path const source(PLINTH_SOURCE_DIR);
    for (std::string const name :
         {"leaf-switch", "router-mac-change", "vrrp-failover", "late-table"}) {
        SCOPED_TRACE(name);
        AgentRun r = run((source / "examples" / (name + ".scn")).string() + " -", "dump\n");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(lastDump(r.out),
                  nlohmann::json::parse(slurp(source / "tests/agent/expected" / (name + ".json"))));
        auto const audit = r.out.find("audit: clean");
        EXPECT_TRUE(audit != std::string::npos && audit == r.out.rfind("audit: clean")) << r.out;
    }
}

// A bad line is reported with its place and stops the run; with
// --keep-going the run goes on, the state as it was before the line.
TEST_F(AgentTest, BadLinesAreReportedWithTheirPlaceAndChangeNothing) {
    std::pair<char const*, char const*> const cases[] = {
        {"frobnicate", "unknown command 'frobnicate'"},
        {"router-mac set 00:1c:73:00:00:0g interface routing=on",
         "router-mac: bad MAC address '00:1c:73:00:00:0g' (want xx:xx:xx:xx:xx:xx)"},
        {"router-mac set 00:1c:73:00:00:02 bridge routing=on",
         "router-mac: unknown router MAC type 'bridge' (system, virtual, vrrp, mlag-peer, "
         "shared-router-encap, interface, gateway)"},
        {"router-mac set 00:1c:73:00:00:02 interface routing=maybe",
         "router-mac: routing must be on|off, not 'maybe'"},
        {"router-mac set 00:1c:73:00:00:02 interface", "router-mac: missing routing=VALUE"},
        {"vrrp add 00:00:5e:00:01:02 vlan=ten",
         "vrrp: bad VLAN 'ten' (a number from 0 to 4294967295)"},
        {"fap add 65536", "fap: bad logical FAP id '65536' (a number from 0 to 65535)"},
        {"dump now", "dump: unexpected 'now'"},
        {"chip tagged-entry on", "set-up commands are refused once start has run"},
        {"start", "start: already started"},
        {"trace L3MyStationSm/99",
         "trace: bad trace setting 'L3MyStationSm/99': levels are *, N or N-M with 0 <= N <= M "
         "<= 31"},
        {"show tables",
         "show: view must be table|config|status|router-mac|routing|capabilities|running|datapath, not "
         "'tables'"},
    };
    for (auto const& [line, message] : cases) {
        SCOPED_TRACE(line);
        auto scenario = file("s.scn",
                             "router-mac set 00:1c:73:00:00:01 interface routing=on\nfap add 0\n"
                             "start\nvrrp add 00:00:5e:00:01:01 vlan=10\ndump\n" +
                                 std::string(line) + "\ndump\n");
        AgentRun stopped = run(scenario);
        EXPECT_EQ(stopped.status, 2);
        EXPECT_EQ(stopped.err, scenario + ":6: error: " + message + "\n");
        AgentRun going = run("--keep-going " + scenario);
        EXPECT_EQ(going.status, 2);
        auto dumps = jsonLines(going.out);
        ASSERT_EQ(dumps.size(), 2U) << going.out;
        EXPECT_EQ(dumps[1], dumps[0]);
    }
}

// Files and flags it cannot use end the run with a clear error and leave
// the files alone; a toggle file it cannot read, and a failure the plug-in
// raises out of mount completion, are warnings and the run goes on.
TEST_F(AgentTest, SaysWhatItCannotUse) {
    std::string const foreign = "this is not a ring file, not at all, not even close\n";
    auto const ring = file("foreign.ring", foreign);
    fs::create_directories(dir_ / "toggles");
    file("toggles/PlinthLib.json", "{\"PlinthL3UnicastVrrp\": false,,}");
    std::tuple<std::string, std::string, int, std::string> const cases[] = {
        {(dir_ / "nope.scn").string(), "", 2, "nope.scn: cannot open"},
        {"--frobnicate", "", 2, "unknown option '--frobnicate'"},
        {"--plugin", "", 2, "--plugin needs a value"},
        {"--vlan eth0=5", "", 2, "--vlan needs --follow-kernel"},
        {"--ring-file " + ring, "dump\n", 2, "--ring-file"},
        {"-", "remount\n", 2, "<stdin>:1: error: remount: not started\n"},
        {"--toggles " + (dir_ / "toggles").string(), "start\ndump\n", 0,
         "warning: " + (dir_ / "toggles/PlinthLib.json").string()},
        {"-", "fap add 0\nvrrp add 00:00:5e:00:01:01 vlan=4096\nstart\ndump\n", 0,
         "<stdin>:3: warning: mount completion failed: U12::value < 0 or > 0x0fff not allowed\n"},
    };
    for (auto const& [args, input, status, error] : cases) {
        AgentRun r = run(args, input);
        EXPECT_EQ(r.status, status) << args;
        EXPECT_NE(r.err.find(error), std::string::npos) << args << ": " << r.err;
        if (status == 0) {
            EXPECT_TRUE(lastDump(r.out)["capabilities"]["vrrpSupported"]) << "the default holds";
        }
    }
    EXPECT_EQ(slurp(ring), foreign);
}

// Every kept input runs to its end: a bad line is an error message, never a
// crash or a sanitizer report.
TEST_F(RegressionTest, EveryKeptInputRunsToTheEnd) {
    int replayed = 0;
    for (auto const& input :
         fs::directory_iterator(fs::path(PLINTH_SOURCE_DIR) / "tests/agent/regression")) {
        SCOPED_TRACE(input.path().filename());
        AgentRun r = run("--keep-going " + input.path().string() + " -", "dump\n");
        EXPECT_TRUE(r.status == 0 || r.status == 2) << r.status << "\n" << r.err;
        EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
        EXPECT_TRUE(lastDump(r.out)["started"].is_boolean()) << "no final dump:\n" << r.out;
        ++replayed;
    }
    EXPECT_GE(replayed, 3) << "kept inputs are gone";
}

}  // namespace
