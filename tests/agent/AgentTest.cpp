// plinth-agent and plinth-ring end to end: the programs as outside scripts
// run them, on the examples and on the inputs that once crashed the agent
// (most found by fuzzing), kept under tests/agent/regression.
#include <gtest/gtest.h>

#include <regex>

#include "AgentProcess.h"

namespace {

namespace fs = std::filesystem;

using namespace PlinthTest;
using AgentTest = AgentDirTest;

// Each example, and each input that once crashed the agent, runs to its end
// in its expected state (for those inputs: the writes that need the missing
// input left undone, the other writers' entries programmed), and audits clean.
TEST_F(AgentTest, ScenariosEndInTheirExpectedState) {
    fs::path const source(PLINTH_SOURCE_DIR);
    int scenarios = 0;
    for (char const* folder : {"examples", "tests/agent/regression"}) {
        for (auto const& scenario : fs::directory_iterator(source / folder)) {
            SCOPED_TRACE(scenario.path().filename());
            auto const [status, out, err] = run(scenario.path().string() + " -", "audit\ndump\n");
            ASSERT_EQ(status, 0) << err;
            fs::path const expected =
                source / "tests/agent/expected" / scenario.path().stem().concat(".json");
            EXPECT_EQ(lastDump(out), nlohmann::json::parse(slurp(expected)));
            EXPECT_TRUE(out.substr(out.rfind("audit: ")).starts_with("audit: clean\n{")) << out;
            ++scenarios;
        }
    }
    EXPECT_GE(scenarios, 7) << "scenarios are gone";
}

// A start whose table creation failed leaves the configuration unprogrammed,
// which the audit names; once the key the chip cannot hold is gone, the
// system database's second completion of the mounts creates the table. A
// later completion only writes the capability flags again: with the applied
// system MAC and the configuration apart (the system MAC, written invalid
// over the key it shares with the virtual MAC, then moved away, deleting
// that key), reconciling again would bring the deleted key back.
TEST_F(AgentTest, RemountCompletesWhatAFailedStartLeftUndone) {
    AgentRun r = run("-",
                     "fap add 0\nvrrp add 00:00:5e:00:01:02 vlan=4096\nstart\naudit\n"
                     "vrrp del 00:00:5e:00:01:02 vlan=4096\n"
                     "vrrp add 00:00:5e:00:01:01 vlan=10\ndump\nremount\naudit\n"
                     "routing-config virtual 00:1c:73:00:00:01 valid\n"
                     "routing-config system 00:1c:73:00:00:01 invalid\n"
                     "routing-config system 00:1c:73:00:00:02 invalid\ndump\nremount\ndump\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "<stdin>:3: warning: mount completion failed: U12::value < 0 or > 0x0fff not "
              "allowed\n");
    auto const dumps = jsonLines(r.out);
    ASSERT_EQ(dumps.size(), 3U) << r.out;
    EXPECT_EQ(r.out.substr(0, r.out.find('{')),
              "audit: 00:00:5e:00:01:02/ff:ff:ff:ff:ff:ff vlan 4096/4095: config yes, status no, "
              "table no\n");
    EXPECT_EQ(dumps[0]["table"].size(), 0U);
    EXPECT_FALSE(dumps[0]["running"]);
    EXPECT_EQ(r.out.substr(r.out.find('\n', r.out.find('{')) + 1, 13), "audit: clean\n");
    EXPECT_EQ(dumps[1]["table"].size(), 2U) << "the VRRP MAC, and 00:1c:73:00:00:02 unrouted";
    EXPECT_TRUE(dumps[1]["running"]);
    EXPECT_EQ(dumps[2], dumps[1]);
}

// A bad line is reported with its place and stops the run; with
// --keep-going the run goes on, the state as it was before the line. Some are
// refused only once they are parsed, by the state they meet.
TEST_F(AgentTest, BadLinesAreReportedWithTheirPlaceAndChangeNothing) {
    fs::create_directories(dir_ / "toggles/PlinthLib.json");  // cannot be written
    std::string const set = "router-mac set 00:1c:73:00:00:02 ";
    struct BadLine {
        std::string line;
        bool started = true;
        std::string args = "";
        std::string message;
    };
    // clang-format off
    BadLine const cases[] = {
        {.line = "frobnicate", .message = "unknown command 'frobnicate'"},
        {.line = "router-mac set 00:1c:73:00:00:0g interface routing=on",
         .message = "router-mac: bad MAC address '00:1c:73:00:00:0g' (want xx:xx:xx:xx:xx:xx)"},
        {.line = set + "bridge routing=on", .message = "router-mac: unknown router MAC type 'bridge' (system, virtual, "
                                                       "vrrp, mlag-peer, shared-router-encap, interface, gateway)"},
        {.line = set + "interface routing=maybe", .message = "router-mac: routing must be on|off, not 'maybe'"},
        {.line = set + "interface", .message = "router-mac: missing routing=VALUE"},
        {.line = "vrrp add 00:00:5e:00:01:02 vlan=ten", .message = "vrrp: bad VLAN 'ten' (a number from 0 to 4294967295)"},
        {.line = "fap add 65536", .message = "fap: bad logical FAP id '65536' (a number from 0 to 65535)"},
        {.line = "dump now", .message = "dump: unexpected 'now'"},
        {.line = "omit l3/smState/2", .message = "set-up commands are refused once start has run"},
        {.line = "start", .message = "start: already started"},
        {.line = "trace L3MyStationSm/99",
         .message = "trace: bad trace setting 'L3MyStationSm/99': levels are *, N or N-M with 0 <= N <= M <= 31"},
        {.line = "show tables",
         .message = "show: view must be table|config|status|router-mac|routing|capabilities|running|datapath, not 'tables'"},
        {.line = "omit hardware/nowhere", .started = false,
         .message = "omit: unknown path 'hardware/nowhere' (one of hardware/brix/routerMacDb, "
                    "hardware/brix/routerMacStatusDb, hardware/brix/routerMacStatusDb/l3RouterMacStatusDb, "
                    "routing/fhrp/vrMacStatus, routing/fhrp/hardware/status, "
                    "hardware/plinth/centralStatus/l3Capabilities, l3/myStationRoutingConfig, "
                    "l3/myStationRoutingStatus, l3/smState/2, featureCommon, brixL3Status, hardware/plinth/hwTable)"},
        {.line = "stop", .started = false, .message = "stop: not started"},
        {.line = "toggle PlinthL3UnicastVrrp off", .started = false,
         .args = "--toggles " + (dir_ / "toggles").string(),
         .message = "toggle: " + (dir_ / "toggles/PlinthLib.json").string() + ": not a readable JSON object; left as it is"},
        {.line = "toggle a\"b on", .started = false, .message = "toggle: bad toggle name 'a\"b'"},
        {.line = std::string("fap add 0\0 x", 12), .message = "control byte 0x00 at column 10"},
    };
    // clang-format on
    for (BadLine const& c : cases) {
        SCOPED_TRACE(c.line);
        std::string const before =
            "router-mac set 00:1c:73:00:00:01 interface routing=on\nfap add 0\n" +
            std::string(c.started ? "start\nvrrp add 00:00:5e:00:01:01 vlan=10\n" : "") + "dump\n";
        auto scenario = file("s.scn", before + c.line + "\ndump\n");
        AgentRun stopped = run(c.args + " " + scenario);
        EXPECT_EQ(stopped.status, 2);
        EXPECT_EQ(stopped.err, scenario + ":" +
                                   std::to_string(std::ranges::count(before, '\n') + 1) +
                                   ": error: " + c.message + "\n");
        AgentRun going = run(c.args + " --keep-going " + scenario);
        EXPECT_EQ(going.status, 2);
        auto dumps = jsonLines(going.out);
        ASSERT_EQ(dumps.size(), 2U) << going.out;
        EXPECT_EQ(dumps[1], dumps[0]);
    }
}

// Files and flags it cannot use end the run with a clear error and leave
// the files alone; a toggle file it cannot read is a warning and the run
// goes on (a failure of mount completion: see the remount tests).
TEST_F(AgentTest, SaysWhatItCannotUse) {
    std::string const foreign = "this is not a ring file, not at all, not even close\n";
    auto const ring = file("foreign.ring", foreign);
    fs::create_directories(dir_ / "toggles");
    file("toggles/PlinthLib.json", "{\"PlinthL3UnicastVrrp\": false,,}");
    std::string const toggles = (dir_ / "toggles").string();
    struct Refusal {
        std::string args, input = "";
        int status = 2;
        std::string err;  // all of it, as a regular expression
    };
    std::string const E = "plinth-agent: error: ", nope = dir_ / "nope.scn";
    // clang-format off
    Refusal const cases[] = {
        {.args = nope, .err = E + nope + ": cannot open: No such file or directory\n"},
        {.args = "- " + dir_.string(), .input = "remount\n", .err = E + dir_.string() + ": cannot open: Is a directory\n"},
        {.args = "--frobnicate", .err = E + "unknown option '--frobnicate'\n"},
        {.args = "--plugin", .err = E + "--plugin needs a value\n"},
        {.args = "--toggles= -", .input = "dump\n", .err = E + "--toggles needs a value\n"},
        {.args = "--keep-going -xy", .err = E + "unknown option '-x'\n"},
        {.args = "--datapath-remove eth9 --datapath-pin " + nope + " " + nope, .err = E + "--datapath-remove takes no scenario files\n"},
        {.args = "--vlan eth0=5", .err = E + "--vlan needs --follow-kernel or --datapath\n"},
        {.args = "--follow-kernel --vlan eth0=5 --vlan eth0=6", .err = E + "--vlan: eth0 is given twice\n"},
        {.args = "--follow-kernel --for -1", .err = E + "--for: bad value '-1' \\(seconds, a number from 0\\)\n"},
        {.args = "--record r.scn", .err = E + "--record needs --follow-kernel or --control\n"},
        {.args = "--ring-file " + ring, .input = "dump\n",
         .err = E + "--ring-file: " + ring + ": refusing to overwrite: not a ring file\n"},
        {.args = "-", .input = "remount\n", .err = "<stdin>:1: error: remount: not started\n"},
        {.args = "--toggles " + toggles, .input = "start\ndump\n", .status = 0,
         .err = "plinth-agent: warning: " + toggles + "/PlinthLib.json: .*; the toggles take their defaults\n"},
    };
    // clang-format on
    for (Refusal const& c : cases) {
        AgentRun r = run(c.args, c.input);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_TRUE(std::regex_match(r.err, std::regex(c.err))) << c.args << ": " << r.err;
        EXPECT_TRUE(c.status != 0 || lastDump(r.out)["capabilities"]["vrrpSupported"])
            << "the default holds";
    }
    EXPECT_EQ(slurp(ring), foreign);
    file("toggles/PlinthLib.json", R"({"PlinthL3UnicastVrrp": false, "OtherTeamToggle": 7})");
    EXPECT_EQ(run("--toggles " + toggles + " -", "toggle Foo on\n").status, 0)
        << "and keeps the others:";
    EXPECT_EQ(
        slurp(dir_ / "toggles/PlinthLib.json"),
        "{\n  \"Foo\": true,\n  \"OtherTeamToggle\": 7,\n  \"PlinthL3UnicastVrrp\": false\n}\n");
    // At a terminal a bad line does not end the session, yet it counts.
    AgentRun const typed = run("-qec " PLINTH_AGENT_PATH " /dev/null", "bogus\nstart\n", "script");
    EXPECT_EQ(typed.status, 2) << typed.out;
}

// The agent records its trace sites in the file --ring-file names, and
// plinth-ring prints the records, each as "SEQ SOURCE:LINE TEXT"; a start
// refused for another reason keeps them; a damaged file is refused, naming
// it and its fault, with exit status 2.
TEST_F(AgentTest, RingFileReadsBackAndADamagedOneIsRefused) {
    std::string const ring = dir_ / "trace.ring";
    ASSERT_EQ(
        run("--ring-file " + ring + " -", "start\nvrrp add 00:00:5e:00:01:01 vlan=10\n").status, 0);
    EXPECT_EQ(run("--ring-file " + ring + " --toggles " + ring + " -").status, 2) << "keeps it";
    AgentRun const good = run(ring, "", PLINTH_RING_PATH);
    EXPECT_EQ(good.status, 0) << good.err;
    std::string const tcam =
        " PlinthL3Unicast/L3VrrpHelper:[0-9]+ void PlinthL3Unicast::VrrpSmHelper::configureTcam\\("
        "const Pakt::EthAddr&, U32, bool\\) macAddr: 00:00:5e:00:01:01 vlanId: 10\n";
    EXPECT_TRUE(std::regex_search(good.out, std::regex("(^|\n)[0-9]+" + tcam))) << good.out;

    fs::resize_file(ring, fs::file_size(ring) - 100);
    AgentRun const damaged = run(ring, "", PLINTH_RING_PATH);
    EXPECT_EQ(damaged.status, 2);
    EXPECT_EQ(damaged.out, "");
    EXPECT_TRUE(damaged.err.starts_with("plinth-ring: " + ring + ": ") &&
                damaged.err.find("truncated") != std::string::npos)
        << damaged.err;
}

}  // namespace
