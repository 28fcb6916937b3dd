// The datapath on real frames and a real kernel, each test in network and
// mount namespaces of its own with a BPF file system of its own: a host
// namespace pings the router through static neighbour entries that point at
// the MACs the table holds; frames the kernel cannot make here (802.1Q) are
// run through the program directly.
#include <bpf/bpf.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/bpf.h>
#include <net/if.h>
#include <sys/stat.h>

#include <regex>

#include "AgentProcess.h"
#include "Datapath.h"
#include "Host.h"
#include "Report.h"

namespace {

using namespace PlinthTest;
using PlinthL3Unicast::MacVlanTagged;
using ::testing::HasSubstr;
using Json = nlohmann::json;

// The hits of the primary table row of `mac`; -1 without one.
std::int64_t hitsOf(Json const& dump, std::string const& mac) {
    for (auto const& row : dump["table"]) {
        if (row["addr"] == mac && !row["tagged"]) {
            return row["hits"];
        }
    }
    return -1;
}

// Runs a shell command line: what it printed, and its status.
class ShellTest : public KernelNamespaceTest {
  protected:
    AgentRun sh(std::string const& command) { return run("", "", "(" + command + ")"); }
};

class DatapathTest : public ShellTest {
  protected:
    void SetUp() override {
        KernelNamespaceTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        ASSERT_EQ(::mount("bpf", "/sys/fs/bpf", "bpf", 0, nullptr), 0) << std::strerror(errno);
        ASSERT_EQ(std::system("ip netns add host"), 0);
    }

    // Router port `port` with 10.0.N.1/24, its peer hN in the host namespace
    // with 10.0.N.2/24, and the host's neighbour entry for 10.0.N.1 pointing
    // at `mac` instead of the port's own MAC.
    static void portIs(std::string const& port, int n, std::string const& mac) {
        std::string const net = "10.0." + std::to_string(n) + ".", h = "h" + std::to_string(n);
        ASSERT_EQ(std::system(("ip link add " + port + " type veth peer name " + h +
                               " netns host && ip link set " + port + " up && ip addr add " + net +
                               "1/24 dev " + port + " && ip -n host link set " + h +
                               " up && ip -n host addr add " + net + "2/24 dev " + h +
                               " && ip -n host neigh add " + net + "1 lladdr " + mac + " dev " + h +
                               " nud permanent")
                                  .c_str()),
                  0);
    }
    // Of `count` pings from the host to 10.0.N.1, how many were answered.
    int replies(int n, int count) {
        std::string const out = sh("ip netns exec host ping -q -n -i 0.01 -W 0.3 -c " +
                                   std::to_string(count) + " 10.0." + std::to_string(n) + ".1")
                                    .out;
        std::smatch m;
        return std::regex_search(out, m, std::regex("(\\d+) received")) ? std::stoi(m[1]) : -1;
    }
    std::string filters(std::string const& port) {
        return sh("tc filter show dev " + port + " ingress").out;
    }
};

std::string const kVirtual = "00:1c:73:00:00:99", kPeer = "00:1c:73:00:00:77";
constexpr int kPings = 5;

// A router MAC terminates frames exactly while the table holds it, and
// each frame it terminates counts on its row.
TEST_F(DatapathTest, TerminatesARouterMacWhileTheTableHoldsIt) {
    struct Case {
        std::string mac, add, remove;
    };
    Case const cases[] = {
        {.mac = kVirtual,
         .add = "routing-config virtual " + kVirtual + " valid",
         .remove = "routing-config virtual " + kVirtual + " invalid"},
        {.mac = kPeer,
         .add = "router-mac set " + kPeer + " mlag-peer routing=on",
         .remove = "router-mac set " + kPeer + " mlag-peer routing=off"},
    };
    portIs("r1", 1, kVirtual);
    BackgroundAgent agent("agent", "--datapath r1");
    agent.apply("start\nfap add 0");
    for (auto const& c : cases) {
        SCOPED_TRACE(c.mac);
        ASSERT_EQ(sh("ip -n host neigh replace 10.0.1.1 lladdr " + c.mac + " dev h1 nud permanent")
                      .status,
                  0);
        EXPECT_EQ(replies(1, kPings), 0) << "before the table holds it";
        EXPECT_EQ(hitsOf(agent.apply(c.add + "\nshow datapath").second, c.mac), 0);
        EXPECT_EQ(replies(1, kPings), kPings) << "while the table holds it";
        EXPECT_EQ(hitsOf(agent.apply("").second, c.mac), kPings);
        agent.apply(c.remove);
        EXPECT_EQ(replies(1, kPings), 0) << "after it left the table";
    }
    std::string const shown = agent.apply("show datapath").first;
    EXPECT_THAT(shown, HasSubstr("r1    0     "));
    EXPECT_THAT(shown, HasSubstr(std::to_string(2 * kPings) + "\n")) << "frames for the router";
    EXPECT_EQ(agent.stop(SIGTERM), 0) << agent.err();
}

// A VRRP MAC terminates on the port of its VLAN only: the VLAN of a port's
// untagged frames comes from --vlan, else from a VlanN name.
TEST_F(DatapathTest, TerminatesAVrrpMacOnItsVlanOnly) {
    std::string const vrrp = "00:00:5e:00:01:0a";
    portIs("Vlan10", 10, vrrp);
    portIs("r20", 20, vrrp);
    BackgroundAgent agent("agent", "--datapath Vlan10,r20 --vlan r20=20");
    auto const [shown, dump] =
        agent.apply("start\nfap add 0\nvrrp add " + vrrp + " vlan=10\nshow datapath");
    EXPECT_THAT(shown, HasSubstr("Vlan10  10"));
    EXPECT_THAT(shown, HasSubstr("r20     20"));
    EXPECT_EQ(replies(10, kPings), kPings);
    EXPECT_EQ(replies(20, kPings), 0);
    agent.apply("vrrp del " + vrrp + " vlan=10\nvrrp add " + vrrp + " vlan=20");
    EXPECT_EQ(replies(10, kPings), 0);
    EXPECT_EQ(replies(20, kPings), kPings);
    EXPECT_EQ(agent.stop(SIGTERM), 0) << agent.err();
    // Taken off one port, the other goes on with the pinned maps; the maps
    // go with the last port, and a removal with nothing left says nothing.
    EXPECT_EQ(sh(PLINTH_AGENT_PATH " --datapath-remove Vlan10").err, "");
    EXPECT_EQ(replies(20, kPings), kPings);
    EXPECT_TRUE(std::filesystem::exists("/sys/fs/bpf/plinth/table_v2"));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(sh(PLINTH_AGENT_PATH " --datapath-remove r20").err, "") << "removal " << i;
    }
    EXPECT_FALSE(std::filesystem::exists("/sys/fs/bpf/plinth"));
}

// 64 bytes for `dst`, with an 802.1Q tag when `tag` is given.
std::vector<std::uint8_t> frame(Pakt::EthAddr dst, std::optional<std::uint16_t> tag) {
    auto const d = dst.bytes();
    std::vector<std::uint8_t> f(d.begin(), d.end());
    f.insert(f.end(), {0x02, 0, 0, 0, 0, 0});  // source 02:00:00:00:00:00
    if (tag) {
        f.insert(f.end(), {0x81, 0x00, std::uint8_t(*tag >> 8), std::uint8_t(*tag)});
    }
    f.insert(f.end(), {0x08, 0x00});  // IPv4
    f.resize(64);
    return f;
}

// Tagged frames, which no link of this kernel receives, run through the
// program directly: with tagged entries a tagged frame matches only them
// (or an entry on any VLAN); without, primary entries match both kinds.
TEST_F(DatapathTest, MatchesTaggedFramesByTheChipsRules) {
    auto const router = *Pakt::EthAddr::parse("02:1c:73:00:00:01");
    auto const vrrp = *Pakt::EthAddr::parse("00:00:5e:00:01:0a");
    auto const bcast = Pakt::EthAddr::broadcast();
    MacVlanTagged const anyVlan{router, 0, 0, bcast, false};
    MacVlanTagged const primary{vrrp, 10, 0xfff, bcast, false};
    MacVlanTagged const tagged{vrrp, 10, 0xfff, bcast, true};
    auto const group = *Pakt::EthAddr::parse("03:1c:73:00:00:01");
    MacVlanTagged const groupEntry{group, 0, 0, bcast, false};
    // A MAC with an entry on VLAN 10 and one on any VLAN.
    auto const both = *Pakt::EthAddr::parse("00:00:5e:00:01:14");
    MacVlanTagged const bothOnVlan{both, 10, 0xfff, bcast, false};
    MacVlanTagged const bothAnyVlan{both, 0, 0, bcast, false};
    std::vector const watched{anyVlan, primary, tagged, groupEntry, bothOnVlan, bothAnyVlan};
    struct Case {
        char const* what;
        Pakt::EthAddr dst;
        std::optional<std::uint16_t> tag;
        std::optional<MacVlanTagged> hitUntaggedChip, hitTaggedChip;
    };
    Case const cases[] = {
        {"untagged, on the port's VLAN", vrrp, {}, primary, primary},
        {"tagged, VLAN 10", vrrp, 10, primary, tagged},
        {"tagged, VLAN 10 with priority bits", vrrp, 0xa00a, primary, tagged},
        {"tagged, VLAN 20", vrrp, 20, {}, {}},
        {"any-VLAN entry, tagged", router, 20, anyVlan, anyVlan},
        {"any-VLAN entry, untagged", router, {}, anyVlan, anyVlan},
        {"unknown MAC", *Pakt::EthAddr::parse("02:1c:73:00:00:02"), {}, {}, {}},
        {"a group MAC, even in the table", group, {}, {}, {}},
        {"broadcast", bcast, 10, {}, {}},
        {"a MAC on a VLAN and on any, on the VLAN", both, {}, bothOnVlan, bothOnVlan},
        {"a MAC on a VLAN and on any, elsewhere", both, 20, bothAnyVlan, bothAnyVlan},
    };
    ASSERT_EQ(std::system("ip link add Vlan10 type veth peer name p10"), 0);
    for (bool const taggedChip : {false, true}) {
        SCOPED_TRACE(taggedChip ? "chip with tagged entries" : "chip without");
        PlinthAgent::Datapath::EbpfDatapath datapath({{"Vlan10"}, "/sys/fs/bpf/plinth", {}},
                                                     [](std::string const& w) { FAIL() << w; });
        PlinthAgent::Host host(PLINTH_PLUGIN_PATH, dir_);
        host.datapathIs(&datapath);
        auto const apply = [&](char const* line) {
            host.apply(*PlinthAgent::Scenario::parseLine(line), std::cout);
        };
        for (auto const* line :
             {taggedChip ? "chip tagged-entry on" : "chip tagged-entry off",
              "router-mac set 02:1c:73:00:00:01 interface routing=on",
              "router-mac set 03:1c:73:00:00:01 interface routing=on",
              "vrrp add 00:00:5e:00:01:0a vlan=10", "vrrp add 00:00:5e:00:01:14 vlan=10",
              "router-mac set 00:00:5e:00:01:14 gateway routing=on", "start", "fap add 0"}) {
            apply(line);
        }
        std::uint64_t matched = 0;
        for (auto const& c : cases) {
            SCOPED_TRACE(c.what);
            auto const expected = taggedChip ? c.hitTaggedChip : c.hitUntaggedChip;
            std::map<MacVlanTagged, std::uint64_t> before;
            for (auto const& key : watched) {
                before[key] = datapath.hits(key);
            }
            auto data = frame(c.dst, c.tag);
            __sk_buff context{};
            context.ifindex = if_nametoindex("Vlan10");
            bpf_test_run_opts run{};
            run.sz = sizeof run;
            run.data_in = data.data();
            run.data_size_in = static_cast<std::uint32_t>(data.size());
            run.ctx_in = &context;
            run.ctx_size_in = sizeof context;
            ASSERT_EQ(bpf_prog_test_run_opts(datapath.programFd("Vlan10"), &run), 0)
                << std::strerror(errno);
            EXPECT_EQ(run.retval, 0U) << "the frame goes on (TC_ACT_OK)";
            for (auto const& [key, hits] : before) {
                EXPECT_EQ(datapath.hits(key), hits + (key == expected ? 1 : 0)) << key;
            }
            matched += expected ? 1 : 0;
        }
        auto const ports = datapath.ports();
        ASSERT_EQ(ports.size(), 1U);
        EXPECT_EQ(ports[0].vlan, 10);
        EXPECT_EQ(ports[0].seen, std::size(cases));
        EXPECT_EQ(ports[0].forRouter, matched);
        // An entry made again counts from zero, though its MAC kept an entry.
        std::uint64_t const onVlan = datapath.hits(bothOnVlan);
        apply("router-mac set 00:00:5e:00:01:14 gateway routing=off");
        apply("router-mac set 00:00:5e:00:01:14 gateway routing=on");
        EXPECT_EQ(datapath.hits(bothAnyVlan), 0U);
        EXPECT_EQ(datapath.hits(bothOnVlan), onVlan);
        apply("stop");
        ASSERT_EQ(std::system("rm -r /sys/fs/bpf/plinth"), 0) << "the next case starts afresh";
    }
}

// However the agent ends, the ports go on terminating frames as its table
// said, and a new agent takes the ports over without a gap; once its own
// table runs, what that table does not hold stops terminating.
TEST_F(DatapathTest, KeepsTerminatingAcrossARestart) {
    portIs("r1", 1, kVirtual);
    std::string const with =
        file("with.scn", "routing-config virtual " + kVirtual + " valid\nstart\nfap add 0\n");
    constexpr int kEvery10ms = 300;
    {
        BackgroundAgent first("first", "--datapath r1 " + with);
        ASSERT_TRUE(first.apply("").second["running"]) << first.err();
        ChildProcess pinger("ip netns exec host ping -q -n -c " + std::to_string(kEvery10ms) +
                            " -i 0.01 -W 1 10.0.1.1 >/run/ping.out");
        std::this_thread::sleep_for(500ms);
        first.stop(SIGKILL);
        BackgroundAgent second("second", "--datapath r1 " + with);
        EXPECT_TRUE(second.apply("").second["running"]) << second.err();
        EXPECT_EQ(pinger.stop(0), 0);
        EXPECT_THAT(slurp("/run/ping.out"), HasSubstr(std::to_string(kEvery10ms) + " received"));
        EXPECT_EQ(second.stop(SIGTERM), 0) << second.err();
    }
    EXPECT_EQ(replies(1, kPings), kPings) << "after the agent ended";
    BackgroundAgent third("third", "--datapath r1 " + file("without.scn", "start\nfap add 0\n"));
    EXPECT_TRUE(third.apply("").second["running"]) << third.err();
    EXPECT_EQ(replies(1, kPings), 0) << "once a table without it runs";
    EXPECT_EQ(third.stop(SIGTERM), 0) << third.err();

    AgentRun const removed = sh(PLINTH_AGENT_PATH " --datapath-remove r1");
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(sh("tc qdisc show dev r1").out.find("clsact"), std::string::npos)
        << "the clsact qdisc was ours";
    EXPECT_FALSE(std::filesystem::exists("/sys/fs/bpf/plinth"));
}

// What it cannot use ends the run before anything is attached or pinned;
// what others put on a port stays; a port removed while attached is warned
// about and the others go on; a table larger than the maps says how many
// entries it left out.
TEST_F(DatapathTest, LeavesWhatIsNotItsOwnAlone) {
    portIs("r1", 1, kVirtual);
    portIs("r2", 2, kVirtual);
    ASSERT_EQ(std::system("tc qdisc add dev r1 clsact && tc filter add dev r1 ingress pref 5 "
                          "protocol all bpf bytecode '1,6 0 0 0,'"),
              0);
    std::string const foreign = filters("r1");
    ASSERT_THAT(foreign, HasSubstr("pref 5 bpf"));
    std::string const agent = PLINTH_AGENT_PATH;
    std::pair<std::string, std::string> const errors[] = {
        {agent + " --datapath r1,nope0", "--datapath: no port named 'nope0'"},
        {agent + " --datapath r1,r1", "--datapath: r1 is given twice"},
        {agent + " --datapath-remove nope0", "--datapath-remove: no port named 'nope0'"},
        {agent + " --datapath r1 --datapath-pin /sys/fs/bpf/x/y",
         "--datapath: cannot make pin directory '/sys/fs/bpf/x/y': No such file or directory"},
        {agent + " --datapath-pin /x", "--datapath-pin needs --datapath or --datapath-remove"},
        {agent + " --datapath r1 --datapath-pin " + file("a-file", ""),
         "--datapath: pin directory '" + (dir_ / "a-file").string() + "' is not a directory"},
        {"env PLINTH_DATAPATH_ENTRIES=0 " + agent + " --datapath r1",
         "--datapath: PLINTH_DATAPATH_ENTRIES: bad count '0'"},
        {"env TMPDIR=/tmp setpriv --reuid=65534 --regid=65534 --clear-groups " + agent +
             " --datapath r1",
         "--datapath: no permission to load an eBPF program (run as root)"},
    };
    for (auto const& [command, error] : errors) {
        AgentRun const r = sh(command);
        EXPECT_EQ(r.status, 2) << command;
        EXPECT_THAT(r.err, HasSubstr("plinth-agent: error: " + error));
        EXPECT_EQ(filters("r1"), foreign) << command;
        EXPECT_EQ(filters("r2"), "") << command;
        EXPECT_FALSE(std::filesystem::exists("/sys/fs/bpf/plinth")) << command;
    }

    // Without a BPF file system nothing outlives the agent.
    AgentRun const unpinned = sh(agent + " --datapath r2 --datapath-pin /run/pins");
    EXPECT_EQ(unpinned.status, 0);
    EXPECT_THAT(unpinned.err, HasSubstr("plinth-agent: warning: --datapath: '/run/pins' is not "
                                        "on a BPF file system"));
    EXPECT_EQ(filters("r2"), "");

    {
        BackgroundAgent live("agent", "--datapath r1,r2", "env PLINTH_DATAPATH_ENTRIES=1");
        auto [shown, dump] = live.apply(
            "start\nfap add 0\nrouter-mac set 02:1c:73:00:00:01 interface routing=on\n"
            "router-mac set 02:1c:73:00:00:02 interface routing=on\nshow datapath");
        EXPECT_THAT(shown, HasSubstr("entries not mirrored: 1"));
        EXPECT_THAT(filters("r1"), HasSubstr("pref 5 bpf"));
        EXPECT_THAT(filters("r1"), HasSubstr("my_station"));
        ASSERT_EQ(std::system("ip link del r2"), 0);
        shown = live.apply("router-mac del 02:1c:73:00:00:01 interface\nshow datapath").first;
        EXPECT_THAT(shown, HasSubstr("r1 "));
        EXPECT_THAT(shown, ::testing::Not(HasSubstr("r2 ")));
        EXPECT_THAT(shown, ::testing::Not(HasSubstr("not mirrored"))) << "room again";
        EXPECT_THAT(live.err(), HasSubstr("plinth-agent: warning: --datapath: port 'r2' was "
                                          "removed; the other ports go on"));
        EXPECT_EQ(live.stop(SIGTERM), 0) << live.err();
    }
    AgentRun const removed = sh(agent + " --datapath-remove r1");
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(filters("r1"), foreign);
    EXPECT_FALSE(std::filesystem::exists("/sys/fs/bpf/plinth"));
}

// One command of the README's walkthrough and what it prints.
struct Step {
    std::string command;
    std::vector<std::string> output;
};

// The walkthrough's shell blocks: a "$ " line is a command (going on while
// a quote is open), the lines after it what it prints.
std::vector<Step> walkthrough() {
    std::string const readme = slurp(std::filesystem::path(PLINTH_SOURCE_DIR) / "README.md");
    auto const begin = readme.find("## Terminating router MACs on a Linux router");
    std::istringstream section(readme.substr(begin, readme.find("\n## ", begin + 1) - begin));
    std::vector<Step> steps;
    bool inBlock = false, quoteOpen = false;
    for (std::string line; std::getline(section, line);) {
        if (line.starts_with("```")) {
            inBlock = line == "```sh";
        } else if (inBlock && quoteOpen) {
            steps.back().command += "\n" + line;
            quoteOpen = std::ranges::count(line, '\'') % 2 == 0;
        } else if (inBlock && line.starts_with("$ ")) {
            steps.push_back({line.substr(2), {}});
            quoteOpen = std::ranges::count(line, '\'') % 2 == 1;
        } else if (inBlock && !steps.empty()) {
            steps.back().output.push_back(line);
        }
    }
    return steps;
}

std::vector<std::string> linesOf(std::string const& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line.substr(0, line.find_last_not_of(' ') + 1));
    }
    return lines;
}

using WalkthroughTest = ShellTest;

// The README's walkthrough, run from the README as written: every command
// succeeds and prints what the README shows.
TEST_F(WalkthroughTest, RunsAsTheReadmeShows) {
    auto const steps = walkthrough();
    ASSERT_GE(steps.size(), 10U);
    for (auto const& step : steps) {
        SCOPED_TRACE(step.command);
        // The agent of this build, whatever the preset.
        AgentRun const r =
            sh("cd " PLINTH_SOURCE_DIR " && " +
               std::regex_replace(step.command, std::regex("build/debug/bin/plinth-agent"),
                                  PLINTH_AGENT_PATH));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(linesOf(r.out), step.output);
    }
}

}  // namespace
