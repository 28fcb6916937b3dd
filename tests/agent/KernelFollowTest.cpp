// plinth-agent --follow-kernel against the real kernel, each test in a
// network namespace of its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "AgentProcess.h"
#include "FollowingAgent.h"
#include "KernelNamespace.h"

namespace {

namespace fs = std::filesystem;
using PlinthTest::FollowingAgent;
using PlinthTest::sh;

class KernelFollowTest : public PlinthTest::KernelNamespaceTest {
  protected:
    void SetUp() override {
        KernelNamespaceTest::SetUp();
        if (HasFatalFailure() || IsSkipped()) {
            return;
        }
        dir_ = fs::temp_directory_path() /
               ("plinth-follow-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!dir_.empty()) {
            fs::remove_all(dir_);
        }
    }

    // `pairs` veth pairs, both ends with MACs 02:00:00:01:xx:yy, the first
    // `routed` of them with an address; made by one `ip -batch`.
    fs::path burstScript(int pairs, int routed) {
        std::ofstream batch(dir_ / "burst");
        for (int i = 0; i < pairs; ++i) {
            batch << "link add a" << i << " address " << burstMac(2 * i) << " type veth peer name b"
                  << i << " address " << burstMac(2 * i + 1) << "\n";
        }
        for (int i = 0; i < routed; ++i) {
            batch << "link set a" << i << " up\naddr add 10.9." << i << ".1/24 dev a" << i << "\n";
        }
        return dir_ / "burst";
    }
    static std::string burstMac(int n) {
        char text[18];
        std::snprintf(text, sizeof(text), "02:00:00:01:%02x:%02x", n >> 8, n & 0xff);
        return text;
    }
    // The router-MAC lines the agent printed, by MAC: more than one line for
    // a MAC means it printed something twice.
    static std::multiset<std::string> routerMacLines(std::vector<std::string> const& lines) {
        std::multiset<std::string> out;
        for (auto const& l : lines) {
            if (l.starts_with("kernel: router-mac set 02:00:00:01:")) {
                out.insert(l.substr(std::string("kernel: router-mac set ").size(), 17));
            }
        }
        return out;
    }

    fs::path dir_;
};

struct Step {
    char const* what;
    char const* script;
    std::vector<std::string> expect;
    // Lines that must not come; the expected lines, caused later, bound the wait.
    std::vector<std::string> absent = {};
};

constexpr char const* kTwoVlans =
    "ip link add Vlan10 address 02:00:00:00:00:10 type veth peer name p10 address "
    "02:00:00:00:01:10 && "
    "ip link add Vlan20 address 02:00:00:00:00:20 type veth peer name p20 address "
    "02:00:00:00:01:20 && "
    "for l in p10 p20 Vlan10 Vlan20; do ip link set $l up || exit 1; done && "
    "ip addr add 10.0.10.1/24 dev Vlan10 && ip addr add 10.0.20.1/24 dev Vlan20 && "
    "ip link add vrrp10 link Vlan10 address 00:00:5e:00:01:0a type macvlan mode bridge && "
    "ip link add vrrp20 link Vlan20 address 00:00:5e:00:01:14 type macvlan mode bridge && "
    "ip link set vrrp10 up && ip link set vrrp20 up && "
    "ip addr add 10.0.10.254/24 dev vrrp10 && ip addr add 10.0.20.254/24 dev vrrp20";

Step const kSteps[] = {
    {"address removal",
     "ip addr del 10.0.20.254/24 dev vrrp20",
     {"vrrp del 00:00:5e:00:01:14 vlan=20"}},
    {"address back",
     "ip addr add 10.0.20.254/24 dev vrrp20",
     {"vrrp add 00:00:5e:00:01:14 vlan=20"}},
    {"VRRP link down", "ip link set vrrp10 down", {"vrrp del 00:00:5e:00:01:0a vlan=10"}},
    {"VRRP link up", "ip link set vrrp10 up", {"vrrp add 00:00:5e:00:01:0a vlan=10"}},
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
    {"one sharing link unrouted",
     "ip addr flush dev Vlan10 && ip link set vrrp20 down",
     {"vrrp del 00:00:5e:00:01:14 vlan=20"},
     {"router-mac set 02:00:00:00:00:11 interface routing=off"}},
    {"both sharing links unrouted",
     "ip addr flush dev Vlan20",
     {"router-mac set 02:00:00:00:00:11 interface routing=off"}},
    {"one sharing link goes",
     "ip addr add 10.0.10.1/24 dev Vlan10 && ip link del Vlan20 && ip link set vrrp10 down",
     {"router-mac set 02:00:00:00:00:11 interface routing=on",
      "router-mac del 02:00:00:00:01:20 interface", "vrrp del 00:00:5e:00:01:0a vlan=10"},
     {"router-mac del 02:00:00:00:00:11 interface"}},
    {"the last sharing link goes",
     "ip link del Vlan10",
     {"router-mac del 02:00:00:00:00:11 interface", "router-mac del 02:00:00:00:01:10 interface"}},
};

TEST_F(KernelFollowTest, EachKernelChangeShowsInTheTable) {
    ASSERT_TRUE(sh(kTwoVlans));
    auto const record = dir_ / "record.scn";
    FollowingAgent agent("--system-mac Vlan10 --record " + record.string(), dir_);
    ASSERT_TRUE(
        agent.waitFor({"router-mac set 02:00:00:00:00:10 interface routing=on",
                       "router-mac set 02:00:00:00:00:20 interface routing=on",
                       "router-mac set 02:00:00:00:01:10 interface routing=off",
                       "vrrp add 00:00:5e:00:01:0a vlan=10", "vrrp add 00:00:5e:00:01:14 vlan=20",
                       "routing-config system 02:00:00:00:00:10 valid"}));

    agent.mark();
    if (std::system("ip link set vrrp10 protodown on 2>/dev/null") != 0) {
        std::cout << "the kernel refuses protodown on a macvlan link; protodown not checked\n";
    } else {
        EXPECT_TRUE(agent.waitFor({"vrrp del 00:00:5e:00:01:0a vlan=10"}));
        agent.mark();
        ASSERT_TRUE(sh("ip link set vrrp10 protodown off"));
        EXPECT_TRUE(agent.waitFor({"vrrp add 00:00:5e:00:01:0a vlan=10"}));
    }

    for (auto const& step : kSteps) {
        SCOPED_TRACE(step.what);
        agent.mark();
        ASSERT_TRUE(sh(step.script));
        ASSERT_TRUE(agent.waitFor(step.expect));
        for (auto const& line : step.absent) {
            EXPECT_FALSE(agent.printedSinceMark(line)) << line;
        }
    }

    ASSERT_EQ(agent.stop(), 0) << agent.err();
    nlohmann::json const dump = agent.finalDump();
    EXPECT_TRUE(dump["routerMacStatus"].empty());
    EXPECT_EQ(dump["routingStatus"]["routerMac"],
              (nlohmann::json{{"mac", "02:00:00:00:00:11"}, {"valid", true}}));

    // The record is what was applied, and rebuilds the same state.
    std::vector<std::string> applied{"start", "fap add 0"};
    for (auto const& line : agent.lines()) {
        if (line.starts_with("kernel: ")) {
            applied.push_back(line.substr(8));
        }
    }
    std::istringstream recorded(PlinthTest::slurp(record));
    std::vector<std::string> recordLines;
    for (std::string line; std::getline(recorded, line);) {
        recordLines.push_back(line);
    }
    EXPECT_EQ(recordLines, applied);
    auto replay = PlinthTest::runAgent(record.string() + " -", "dump\n", dir_);
    ASSERT_EQ(replay.status, 0) << replay.err;
    EXPECT_EQ(PlinthTest::lastJsonLine(replay.out), dump);
}

// Links made while the agent starts and reads its first dump, in a burst
// that a small socket buffer could not hold.
TEST_F(KernelFollowTest, BurstDuringStartLosesNothing) {
    constexpr int kPairs = 200;
    auto const script = burstScript(kPairs, 10);
    PlinthTest::ChildProcess burst({"ip", "-batch", script.string()}, dir_ / "burst.err");
    auto const record = dir_ / "record.scn";
    FollowingAgent agent("--record " + record.string(), dir_);
    ASSERT_EQ(burst.stop(0, FollowingAgent::kWait), 0) << PlinthTest::slurp(dir_ / "burst.err");
    ASSERT_TRUE(
        agent.waitFor({"router-mac set " + burstMac(2 * kPairs - 1) + " interface routing=off"}));
    ASSERT_TRUE(agent.waitFor({"router-mac set " + burstMac(18) + " interface routing=on"}));

    ASSERT_EQ(agent.stop(), 0) << agent.err();
    nlohmann::json const dump = agent.finalDump();
    EXPECT_EQ(dump["routerMacStatus"].size(), 2U * kPairs);
    EXPECT_EQ(dump["table"].size(), 10U);
    auto replay = PlinthTest::runAgent(record.string() + " -", "dump\n", dir_);
    EXPECT_EQ(PlinthTest::lastJsonLine(replay.out), dump);
}

// With the notification socket made to overflow, the agent reads the kernel
// again and prints only what changed.
TEST_F(KernelFollowTest, LostNotificationsAreReadAgain) {
    constexpr int kPairs = 200;
    ASSERT_TRUE(
        sh("ip link add Vlan5 address 02:00:00:00:00:05 type veth peer name p5 "
           "address 02:00:00:00:01:05"));
    FollowingAgent agent("", dir_, {"PLINTH_NETLINK_RCVBUF=4096"});
    ASSERT_TRUE(agent.waitFor({"router-mac set 02:00:00:00:00:05 interface routing=off"}));

    agent.signal(SIGSTOP);
    bool const made = sh("ip -batch " + burstScript(kPairs, 0).string());
    agent.signal(SIGCONT);
    ASSERT_TRUE(made);
    agent.mark();
    ASSERT_TRUE(
        agent.waitFor({"router-mac set " + burstMac(2 * kPairs - 1) + " interface routing=off"}));
    ASSERT_TRUE(sh("ip link del a0"));
    ASSERT_TRUE(agent.waitFor({"router-mac del " + burstMac(0) + " interface",
                               "router-mac del " + burstMac(1) + " interface"}));

    EXPECT_EQ(agent.stop(SIGINT), 0) << "SIGINT ends following as SIGTERM does";
    EXPECT_NE(agent.err().find("notifications were lost"), std::string::npos) << agent.err();
    auto const macs = routerMacLines(agent.lines());
    EXPECT_EQ(macs.size(), 2U * kPairs) << "each MAC exactly once";
    EXPECT_EQ(std::set<std::string>(macs.begin(), macs.end()).size(), 2U * kPairs);
    EXPECT_FALSE(agent.printedSinceMark("router-mac set 02:00:00:00:00:05 interface routing=off"));
}

struct BadFollow {
    char const* args;
    char const* message;
};
void PrintTo(BadFollow const& c, std::ostream* os) {
    *os << c.args;
}

class FollowErrorTest : public KernelFollowTest, public ::testing::WithParamInterface<BadFollow> {};

TEST_P(FollowErrorTest, IsReportedAndEndsWithStatusTwo) {
    auto r = PlinthTest::runAgent(GetParam().args, "", dir_);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, std::string("plinth-agent: error: ") + GetParam().message + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Flags, FollowErrorTest,
    ::testing::Values(
        BadFollow{"--follow-kernel --system-mac eth9", "--system-mac: no link named 'eth9'"},
        BadFollow{"--follow-kernel --vlan eth0=5 --vlan eth0=6", "--vlan: eth0 is given twice"},
        BadFollow{"--follow-kernel --for soon",
                  "--for: bad value 'soon' (seconds, a number from 0)"},
        BadFollow{"--follow-kernel --for -1", "--for: bad value '-1' (seconds, a number from 0)"},
        BadFollow{"--follow-kernel --for", "--for needs a value"},
        BadFollow{"--vlan eth0=5", "--vlan needs --follow-kernel"}));

TEST_F(KernelFollowTest, ForEndsFollowingWithTheDump) {
    auto r = PlinthTest::runAgent("--follow-kernel --for 0.2", "", dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(PlinthTest::lastJsonLine(r.out)["running"]);
}

}  // namespace
