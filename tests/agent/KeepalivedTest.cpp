// Two switches, each a network namespace with a VRRP daemon and a following
// plinth-agent, joined by a veth pair: the table follows VRRP mastership.
#include <gtest/gtest.h>

#include <fstream>

#include "KernelNamespace.h"

namespace {

using namespace std::chrono_literals;
using PlinthTest::ChildProcess;
using PlinthTest::FollowingAgent;
using KeepalivedTest = PlinthTest::KernelNamespaceTest;

// One switch's daemon in the foreground, with pid files of its own and
// everything it says in /run/SIDE.log.
ChildProcess keepalived(std::string const& side, int priority) {
    std::string const base = "/run/" + side;
    std::ofstream(base + ".conf") << "global_defs {\n  router_id " << side
                                  << "\n}\nvrrp_instance VI_10 {\n  state BACKUP\n"
                                  << "  interface Vlan10\n  virtual_router_id 10\n  priority "
                                  << priority << "\n  advert_int 1\n  use_vmac\n"
                                  << "  virtual_ipaddress {\n    10.0.10.254/24\n  }\n}\n";
    return ChildProcess("ip netns exec " + side + " keepalived -n -l -P -f " + base + ".conf -p " +
                        base + ".pid -r " + base + ".vrrp.pid >" + base + ".log 2>&1");
}
constexpr char const* kAdd = "vrrp add 00:00:5e:00:01:0a vlan=10";
constexpr char const* kDel = "vrrp del 00:00:5e:00:01:0a vlan=10";

// Whether the agent's last word on the virtual MAC was an add.
bool holding(FollowingAgent const& agent) {
    auto const said = agent.said();
    auto it = std::find_if(said.rbegin(), said.rend(),
                           [](auto const& s) { return s == kAdd || s == kDel; });
    return it != said.rend() && *it == kAdd;
}
bool holds(nlohmann::json const& dump) {
    return std::ranges::any_of(dump["table"], [](auto const& e) {
        return e["addr"] == "00:00:5e:00:01:0a" && e["vlan"] == 10;
    });
}

TEST_F(KeepalivedTest, TableFollowsMastershipAcrossFailover) {
    if (std::system("keepalived --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "keepalived is not installed (scripts/setup installs it)";
    }
    auto const began = std::chrono::steady_clock::now();
    ASSERT_EQ(std::system("ip netns add high && ip netns add low && "
                          "ip link add Vlan10 netns high type veth peer name Vlan10 netns low && "
                          "ip -n high link set Vlan10 up && ip -n low link set Vlan10 up && "
                          "ip -n high addr add 10.0.10.1/24 dev Vlan10 && "
                          "ip -n low addr add 10.0.10.2/24 dev Vlan10"),
              0);
    FollowingAgent high("high", "", "ip netns exec high");
    FollowingAgent low("low", "", "ip netns exec low");
    auto highDaemon = keepalived("high", 200);
    auto lowDaemon = keepalived("low", 100);
    auto const logs = [] {
        return PlinthTest::slurp("/run/high.log") + PlinthTest::slurp("/run/low.log");
    };

    // Both start as backup and wait three advertisement intervals; should
    // the low side win that race, the high side preempts it.
    ASSERT_TRUE(PlinthTest::waitUntil([&] { return holding(high) && !holding(low); })) << logs();
    ASSERT_EQ(highDaemon.stop(SIGTERM, 5s), 0) << logs();
    EXPECT_TRUE(PlinthTest::waitUntil([&] { return !holding(high) && holding(low); }, 5s))
        << logs();

    ASSERT_EQ(high.stop(SIGTERM), 0) << high.err();
    ASSERT_EQ(low.stop(SIGTERM), 0) << low.err();
    EXPECT_FALSE(holds(high.finalDump())) << high.finalDump();
    EXPECT_TRUE(holds(low.finalDump())) << low.finalDump();
    EXPECT_EQ(lowDaemon.stop(SIGTERM, 5s), 0) << logs();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 30s);
}

}  // namespace
