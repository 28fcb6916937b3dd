// plinth-agent --follow-kernel against the real kernel, each test in a
// network namespace of its own.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "KernelNamespace.h"

namespace {

using PlinthTest::FollowingAgent;
using PlinthTest::sh;
using Lines = std::vector<std::string>;

class KernelFollowTest : public PlinthTest::KernelNamespaceTest {
  protected:
    // `pairs` veth pairs made at once, both ends with MACs 02:00:00:01:xx:yy,
    // the first `routed` of them up with an address: the command that makes them.
    std::string burst(int pairs, int routed) {
        std::ofstream batch(dir_ / "burst");
        for (int i = 0; i < pairs; ++i) {
            batch << "link add a" << i << " address " << burstMac(2 * i) << " type veth peer name b"
                  << i << " address " << burstMac(2 * i + 1) << "\n";
        }
        for (int i = 0; i < routed; ++i) {
            batch << "link set a" << i << " up\naddr add 10.9." << i << ".1/24 dev a" << i << "\n";
        }
        return "ip -batch " + (dir_ / "burst").string();
    }
    static std::string burstMac(int n) {
        char text[18];
        std::snprintf(text, sizeof(text), "02:00:00:01:%02x:%02x", n >> 8, n & 0xff);
        return text;
    }
    static std::string routerMac(std::string const& mac, bool on) {
        return "router-mac set " + mac + " interface routing=" + (on ? "on" : "off");
    }
};

struct Step {
    char const* what;
    char const* script;
    Lines expect;
    // Lines that must not come; the expected lines, caused later, bound the wait.
    Lines absent = {};
};

constexpr char const* kTwoVlans =
    "for n in 10 20; do ip link add Vlan$n address 02:00:00:00:00:$n type veth peer name p$n "
    "address 02:00:00:00:01:$n && ip link set p$n up && ip link set Vlan$n up && "
    "ip addr add 10.0.$n.1/24 dev Vlan$n || exit 1; done && "
    "ip link add vrrp10 link Vlan10 address 00:00:5e:00:01:0a type macvlan mode bridge && "
    "ip link add vrrp20 link Vlan20 address 00:00:5e:00:01:14 type macvlan mode bridge && "
    "ip link set vrrp10 up && ip link set vrrp20 up && "
    "ip addr add 10.0.10.254/24 dev vrrp10 && ip addr add 10.0.20.254/24 dev vrrp20";

Step const kSteps[] = {
    {"protodown on", "ip link set vrrp10 protodown on", {"vrrp del 00:00:5e:00:01:0a vlan=10"}},
    {"protodown off", "ip link set vrrp10 protodown off", {"vrrp add 00:00:5e:00:01:0a vlan=10"}},
    {"address removal",
     "ip addr del 10.0.20.254/24 dev vrrp20",
     {"vrrp del 00:00:5e:00:01:14 vlan=20"}},
    {"address back",
     "ip addr add 10.0.20.254/24 dev vrrp20",
     {"vrrp add 00:00:5e:00:01:14 vlan=20"}},
    {"lower link down",
     "ip link set Vlan20 down",
     {"router-mac set 02:00:00:00:00:20 interface routing=off",
      "vrrp del 00:00:5e:00:01:14 vlan=20"}},
    {"lower link up",
     "ip link set Vlan20 up",
     {"router-mac set 02:00:00:00:00:20 interface routing=on",
      "vrrp add 00:00:5e:00:01:14 vlan=20"}},
    {"MAC change",
     "ip link set Vlan20 address 02:00:00:00:00:21",
     {"router-mac del 02:00:00:00:00:20 interface",
      "router-mac set 02:00:00:00:00:21 interface routing=on"}},
    {"system MAC change",
     "ip link set Vlan10 address 02:00:00:00:00:11",
     {"router-mac del 02:00:00:00:00:10 interface",
      "router-mac set 02:00:00:00:00:11 interface routing=on",
      "routing-config system 02:00:00:00:00:11 valid"}},
    {"shared MAC",
     "ip link set Vlan20 address 02:00:00:00:00:11",
     {"router-mac del 02:00:00:00:00:21 interface"}},
    {"one sharing link unrouted, VRRP link down",
     "ip addr flush dev Vlan10 && ip link set vrrp10 down",
     {"vrrp del 00:00:5e:00:01:0a vlan=10"},
     {"router-mac set 02:00:00:00:00:11 interface routing=off"}},
    {"both sharing links unrouted",
     "ip addr flush dev Vlan20",
     {"router-mac set 02:00:00:00:00:11 interface routing=off"}},
    {"one sharing link goes, with the master VRRP link on it",
     "ip addr add 10.0.10.1/24 dev Vlan10 && ip link del Vlan20",
     {"router-mac set 02:00:00:00:00:11 interface routing=on",
      "router-mac del 02:00:00:00:01:20 interface", "vrrp del 00:00:5e:00:01:14 vlan=20"},
     {"router-mac del 02:00:00:00:00:11 interface"}},
    {"the last sharing link goes",
     "ip link del Vlan10",
     {"router-mac del 02:00:00:00:00:11 interface", "router-mac del 02:00:00:00:01:10 interface"}},
};

TEST_F(KernelFollowTest, EachKernelChangeShowsInTheTable) {
    ASSERT_TRUE(sh(kTwoVlans));
    auto const record = dir_ / "record.scn";
    FollowingAgent agent("--system-mac Vlan10 --record " + record.string(), dir_ / "err");
    ASSERT_TRUE(agent.waitFor(
        {routerMac("02:00:00:00:00:10", true), routerMac("02:00:00:00:00:20", true),
         routerMac("02:00:00:00:01:10", false), "vrrp add 00:00:5e:00:01:0a vlan=10",
         "vrrp add 00:00:5e:00:01:14 vlan=20", "routing-config system 02:00:00:00:00:10 valid"}));
    for (auto const& step : kSteps) {
        SCOPED_TRACE(step.what);
        agent.mark();
        ASSERT_TRUE(sh(step.script));
        ASSERT_TRUE(agent.waitFor(step.expect));
        for (auto const& line : step.absent) {
            EXPECT_FALSE(agent.printedSinceMark(line)) << line;
        }
    }

    ASSERT_EQ(agent.stop(SIGTERM), 0) << agent.err();
    nlohmann::json const dump = agent.finalDump();
    EXPECT_TRUE(dump["routerMacStatus"].empty()) << dump;
    EXPECT_EQ(dump["routingStatus"]["routerMac"],
              (nlohmann::json{{"mac", "02:00:00:00:00:11"}, {"valid", true}}));
    // The record is what was applied, and rebuilds the same state.
    std::string applied = "start\nfap add 0\n";
    for (auto const& line : agent.lines()) {
        applied += line.starts_with("kernel: ") ? line.substr(8) + "\n" : "";
    }
    EXPECT_EQ(PlinthTest::slurp(record), applied);
    auto replay = PlinthTest::runAgent(record.string() + " -", "dump\n", dir_);
    ASSERT_EQ(replay.status, 0) << replay.err;
    EXPECT_EQ(PlinthTest::lastJsonLine(replay.out), dump);
}

// Links made while the agent starts and reads its first dump, in a burst
// that a small socket buffer could not hold.
TEST_F(KernelFollowTest, BurstDuringStartLosesNothing) {
    constexpr int kPairs = 200;
    PlinthTest::ChildProcess made(burst(kPairs, 10) + " 2>" + (dir_ / "burst.err").string());
    FollowingAgent agent("", dir_ / "err");
    ASSERT_EQ(made.stop(0), 0) << PlinthTest::slurp(dir_ / "burst.err");
    ASSERT_TRUE(agent.waitFor({routerMac(burstMac(2 * kPairs - 1), false)}));
    ASSERT_TRUE(agent.waitFor({routerMac(burstMac(18), true)}));

    ASSERT_EQ(agent.stop(SIGTERM), 0) << agent.err();
    EXPECT_EQ(agent.finalDump()["routerMacStatus"].size(), 2U * kPairs);
    EXPECT_EQ(agent.finalDump()["table"].size(), 10U);
}

// With the notification socket made to overflow, the agent reads the kernel
// again and prints only what changed.
TEST_F(KernelFollowTest, LostNotificationsAreReadAgain) {
    constexpr int kPairs = 200;
    ASSERT_TRUE(
        sh("ip link add Vlan5 address 02:00:00:00:00:05 type veth peer name p5 "
           "address 02:00:00:00:01:05"));
    FollowingAgent agent("", dir_ / "err", "env PLINTH_NETLINK_RCVBUF=4096");
    ASSERT_TRUE(agent.waitFor(
        {routerMac("02:00:00:00:00:05", false), routerMac("02:00:00:00:01:05", false)}));

    agent.mark();
    agent.signal(SIGSTOP);
    bool const made = sh(burst(kPairs, 0));
    agent.signal(SIGCONT);
    ASSERT_TRUE(made);
    ASSERT_TRUE(agent.waitFor({routerMac(burstMac(2 * kPairs - 1), false)}));
    ASSERT_TRUE(sh("ip link del a0"));
    ASSERT_TRUE(agent.waitFor({"router-mac del " + burstMac(0) + " interface",
                               "router-mac del " + burstMac(1) + " interface"}));

    EXPECT_EQ(agent.stop(SIGINT), 0) << "SIGINT ends following as SIGTERM does";
    EXPECT_EQ(agent.finalDump()["routerMacStatus"].size(), 2U * kPairs);
    EXPECT_NE(agent.err().find("notifications were lost"), std::string::npos) << agent.err();
    std::multiset<std::string> macs;
    for (auto const& line : agent.sinceMark()) {
        if (line.starts_with("kernel: router-mac set ")) {
            macs.insert(line);
        }
    }
    EXPECT_EQ(macs.size(), 2U * kPairs) << "each new link once, nothing of what stayed";
    EXPECT_EQ(std::set<std::string>(macs.begin(), macs.end()).size(), 2U * kPairs);
}

struct Run {
    char const* args;
    int status;
    char const* err;
};
void PrintTo(Run const& c, std::ostream* os) {
    *os << c.args;
}

class FollowOptionsTest : public KernelFollowTest, public ::testing::WithParamInterface<Run> {};

TEST_P(FollowOptionsTest, EndAsTold) {
    auto r = PlinthTest::runAgent(GetParam().args, "", dir_);
    EXPECT_EQ(r.status, GetParam().status);
    EXPECT_EQ(r.err, GetParam().err);
    if (r.status == 0) {
        EXPECT_TRUE(PlinthTest::lastJsonLine(r.out)["running"]) << "the final dump";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kernel, FollowOptionsTest,
    ::testing::Values(
        Run{"--follow-kernel --for 0.2", 0, ""},
        Run{"--follow-kernel --system-mac eth9", 2,
            "plinth-agent: error: --system-mac: no link named 'eth9'\n"},
        Run{"--follow-kernel --vlan eth0=5 --vlan eth0=6", 2,
            "plinth-agent: error: --vlan: eth0 is given twice\n"},
        Run{"--follow-kernel --for -1", 2,
            "plinth-agent: error: --for: bad value '-1' (seconds, a number from 0)\n"},
        Run{"--follow-kernel --for", 2, "plinth-agent: error: --for needs a value\n"},
        Run{"--vlan eth0=5", 2, "plinth-agent: error: --vlan needs --follow-kernel\n"}));

}  // namespace
