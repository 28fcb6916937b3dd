// The kernel follower: its translation of kernel facts to scenario commands
// without a kernel, then plinth-agent --follow-kernel against the real
// kernel, each test in a network namespace of its own; last two switches,
// each a network namespace with a VRRP daemon and a following plinth-agent,
// joined by a veth pair, whose tables follow VRRP mastership.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <set>

#include "AgentProcess.h"
#include "KernelTranslator.h"

namespace {

using namespace PlinthAgent::Kernel;
using enum OperState;
using namespace PlinthTest;
using KeepalivedTest = KernelNamespaceTest;
using KernelFollowTest = KernelNamespaceTest;

// On the VRRP link: fe80::/10 is link-local, fec0:: is just outside it.
Address v6(std::uint8_t second) {
    return {2, AF_INET6, 64, {0xfe, second, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};
}

// A VRRP link on a routed lower link, as a case sets them up, and the VLAN
// of its entry (-1: not master).
struct VrrpCase {
    char const* what;
    bool adminUp = true, protodown = false;
    OperState oper = up;
    std::vector<Address> addresses = {{2, AF_INET, 24, {10, 0, 0, 2}}};
    char const* lowerName = "Vlan10";
    std::optional<std::uint16_t> lower8021q = {};
    std::map<std::string, std::uint16_t> vlanOption = {};
    int vlan = 10;
};

TEST(KernelTranslatorTest, VrrpMasterWhenEveryConditionHoldsOnTheFirstVlanThatApplies) {
    VrrpCase const cases[] = {
        {.what = "master"},
        {.what = "oper unknown", .oper = unknown},
        {.what = "admin down", .adminUp = false, .vlan = -1},
        {.what = "protodown", .protodown = true, .vlan = -1},
        {.what = "oper down", .oper = down, .vlan = -1},
        {.what = "lower layer down", .oper = lowerLayerDown, .vlan = -1},
        {.what = "no address", .addresses = {}, .vlan = -1},
        {.what = "IPv6 link-local only", .addresses = {v6(0x80), v6(0xbf)}, .vlan = -1},
        {.what = "IPv6 fec0::", .addresses = {v6(0xc0)}},
        {.what = "802.1Q lower first",
         .lower8021q = 30,
         .vlanOption = {{"Vlan10", 20}},
         .vlan = 30},
        {.what = "--vlan before the name", .vlanOption = {{"Vlan10", 20}}, .vlan = 20},
        {.what = "--vlan for another link", .vlanOption = {{"eth0", 20}}},
        {.what = "vlan4094", .lowerName = "vlan4094", .vlan = 4094},
        {.what = "Vlan4095", .lowerName = "Vlan4095", .vlan = 0},
        {.what = "Vlan10a", .lowerName = "Vlan10a", .vlan = 0},
    };
    for (VrrpCase const& c : cases) {
        // {index, name, MAC, loopback, admin up, protodown, oper, lower index, 802.1Q}
        Facts f;
        f.linkIs({1, c.lowerName, Pakt::EthAddr::parse("02:00:00:00:00:01"), false, true, false, up,
                  0, c.lower8021q});
        f.addressIs({1, AF_INET, 24, {10, 0, 0, 1}});
        f.linkIs({2, "vrrp.10", Pakt::EthAddr::parse("00:00:5e:00:02:0a"), false, c.adminUp,
                  c.protodown, c.oper, 1, std::nullopt});
        std::ranges::for_each(c.addresses, [&](auto const& a) { f.addressIs(a); });
        std::vector<std::string> expected{"router-mac set 02:00:00:00:00:01 interface routing=on"};
        if (c.vlan >= 0) {
            expected.push_back("vrrp add 00:00:5e:00:02:0a vlan=" + std::to_string(c.vlan));
        }
        EXPECT_EQ(Translator({c.vlanOption, ""}).commands(f), expected)
            << c.what << " (a VRRP MAC is never a router MAC)";
    }
}

using Lines = std::vector<std::string>;

// Every MAC these tests give a link is 02:00:00:00:xx:yy; these take xx:yy.
std::string const kSetMac = "router-mac set 02:00:00:00:", kDelMac = "router-mac del 02:00:00:00:";
auto const on = [](std::string const& mac) { return kSetMac + mac + " interface routing=on"; };
auto const off = [](std::string const& mac) { return kSetMac + mac + " interface routing=off"; };
auto const del = [](std::string const& mac) { return kDelMac + mac + " interface"; };
// The burst's MACs, from 02:00:00:00:10:00 on.
std::string burstMac(int n) {
    char text[6];
    return {text, text + std::snprintf(text, 6, "%02x:%02x", 0x10 + (n >> 8), n & 0xff)};
}

constexpr int kPairs = 200;

std::string const kVrrp10 = " 00:00:5e:00:01:0a vlan=10";
std::string const kVrrp20 = " 00:00:5e:00:01:14 vlan=20";

// A change to the kernel, the commands it must bring and those it must not
// (the expected ones, caused later, bound the wait for them).
std::tuple<char const*, Lines, Lines> const kSteps[] = {
    {"ip link set vrrp10 protodown on", {"vrrp del" + kVrrp10}, {}},
    {"ip link set vrrp10 protodown off", {"vrrp add" + kVrrp10}, {}},
    {"ip link set Vlan20 down", {off("00:20"), "vrrp del" + kVrrp20}, {}},
    {"ip link set Vlan20 up", {on("00:20"), "vrrp add" + kVrrp20}, {}},
    {"ip link set Vlan20 address 02:00:00:00:00:21", {del("00:20"), on("00:21")}, {}},
    // The system MAC follows its link.
    {"ip link set Vlan10 address 02:00:00:00:00:11",
     {del("00:10"), on("00:11"), "routing-config system 02:00:00:00:00:11 valid"},
     {}},
    {"ip link set Vlan20 address 02:00:00:00:00:11", {del("00:21")}, {}},
    // Whichever of two links sharing a MAC stays routed keeps routing on,
    // and a VRRP link without its address is no master.
    {"ip addr flush dev Vlan10 && ip addr del 10.0.10.254/24 dev vrrp10",
     {"vrrp del" + kVrrp10},
     {off("00:11")}},
    {"ip addr add 10.0.10.1/24 dev Vlan10 && ip addr flush dev Vlan20 && "
     "ip addr add 10.0.10.254/24 dev vrrp10",
     {"vrrp add" + kVrrp10},
     {off("00:11")}},
    {"ip addr flush dev Vlan10", {off("00:11")}, {}},
    {"ip addr add 10.0.10.1/24 dev Vlan10 && ip link del Vlan20",
     {on("00:11"), del("01:20"), "vrrp del" + kVrrp20},
     {del("00:11")}},
    {"ip link del Vlan10", {del("00:11"), del("01:10"), "vrrp del" + kVrrp10}, {}},
};

// The agent starts while a burst of links is being made, then follows each
// change as it comes; what it records rebuilds the same state without the
// kernel.
TEST_F(KernelFollowTest, EachKernelChangeShowsInTheTable) {
    // Option errors end the run before anything is applied; without one,
    // following ends with the dump.
    auto r = run("--follow-kernel --for 0.2");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(lastDump(r.out)["running"]);
    std::pair<std::string, std::string> const errors[] = {
        {"--system-mac eth9", "--system-mac: no link named 'eth9'"},
        {"--vlan eth0=5 --vlan eth0=6", "--vlan: eth0 is given twice"},
        {"--for -1", "--for: bad value '-1' (seconds, a number from 0)"},
        {"--vlan eth0", "--vlan: expected IFNAME=N, not 'eth0'"},
        {"--vlan =10", "--vlan: expected IFNAME=N, not '=10'"},
        {"--vlan eth0=0", "--vlan: bad VLAN '0' for eth0 (a number from 1 to 4094)"},
        {"--vlan eth0=4095", "--vlan: bad VLAN '4095' for eth0 (a number from 1 to 4094)"},
        {"--vlan a-very-long-name0=5",
         "--vlan: interface name 'a-very-long-name0' is longer than 15 characters"},
    };
    for (auto const& [args, error] : errors) {
        // --for ends a run that should have been refused.
        r = run("--follow-kernel --for 0 " + args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(r.err, "plinth-agent: error: " + error + "\n");
    }
    ASSERT_EQ(
        std::system("for n in 10 20; do ip link add Vlan$n address 02:00:00:00:00:$n type veth "
                    "peer name p$n address 02:00:00:00:01:$n && ip link set p$n up && "
                    "ip link set Vlan$n up && ip addr add 10.0.$n.1/24 dev Vlan$n && "
                    "ip link add vrrp$n link Vlan$n address 00:00:5e:00:01:$(printf %02x $n) "
                    "type macvlan mode bridge && ip link set vrrp$n up && "
                    "ip addr add 10.0.$n.254/24 dev vrrp$n || exit 1; done"),
        0);
    // kPairs veth pairs NAME0/pNAME0..., both ends with MACs of their own from
    // burstMac(base) on, the first ten up with an address when `routed`.
    auto const burst = [&](std::string const& name, int base, bool routed) {
        std::ostringstream batch;
        for (int i = 0; i < kPairs; ++i) {
            batch << "link add " << name << i << " address 02:00:00:00:" << burstMac(base + 2 * i)
                  << " type veth peer name p" << name << i
                  << " address 02:00:00:00:" << burstMac(base + 2 * i + 1) << "\n";
        }
        for (int i = 0; i < (routed ? 10 : 0); ++i) {
            batch << "link set " << name << i << " up\naddr add 10.9." << i << ".1/24 dev " << name
                  << i << "\n";
        }
        return "ip -batch " + file(name, batch.str());
    };
    ChildProcess made(burst("a", 0, true) + " 2>" + file("burst.err", ""));
    auto const record = dir_ / "record.scn";
    FollowingAgent agent("agent", "--system-mac Vlan10 --record " + record.string());
    ASSERT_EQ(made.stop(0), 0) << slurp(dir_ / "burst.err");
    ASSERT_TRUE(
        agent.waitFor({on("00:10"), on("00:20"), off("01:10"), "vrrp add" + kVrrp10,
                       "vrrp add" + kVrrp20, "routing-config system 02:00:00:00:00:10 valid",
                       off(burstMac(2 * kPairs - 1)), on(burstMac(18))}));
    for (auto const& [script, expect, absent] : kSteps) {
        SCOPED_TRACE(script);
        agent.mark();
        ASSERT_EQ(std::system(script), 0);
        ASSERT_TRUE(agent.waitFor(expect));
        for (auto const& line : absent) {
            EXPECT_EQ(std::ranges::count(agent.said(), line), 0) << line;
        }
    }

    // With its small socket buffer made to overflow while it is stopped, a
    // second agent reads the kernel again and prints only what changed. The
    // link x0 is made before the overflow and deleted after it: its arrival
    // is still queued when the agent wakes, its removal was lost, and the
    // agent must not take the stale arrival over the fresh read.
    FollowingAgent lossy("lossy", "", "env PLINTH_NETLINK_RCVBUF=4096");
    ASSERT_TRUE(lossy.waitFor({off(burstMac(2 * kPairs - 1))}));
    lossy.mark();
    lossy.signal(SIGSTOP);
    std::string const x0 = burstMac(0xe00);
    EXPECT_EQ(std::system(("ip link add x0 address 02:00:00:00:" + x0 +
                           " type veth peer name px0 " + "address 02:00:00:00:" + burstMac(0xe01))
                              .c_str()),
              0);
    EXPECT_EQ(std::system((burst("c", 0x400, false) + " && ip link del x0").c_str()), 0);
    lossy.signal(SIGCONT);
    ASSERT_TRUE(lossy.waitFor({off(burstMac(0x400 + 2 * kPairs - 1))}));
    ASSERT_EQ(std::system("ip link del c0"), 0);
    ASSERT_TRUE(lossy.waitFor({del(burstMac(0x400)), del(burstMac(0x401))}));
    ASSERT_TRUE(agent.waitFor({del(burstMac(0x400)), del(burstMac(0x401))}));
    EXPECT_EQ(lossy.stop(SIGINT), 0) << "SIGINT ends following as SIGTERM does";
    EXPECT_NE(lossy.err().find("notifications were lost"), std::string::npos) << lossy.err();
    auto const said = lossy.said();
    EXPECT_TRUE(std::ranges::none_of(said, [&](auto& l) { return l.find(x0) != l.npos; }))
        << "x0's stale arrival taken over the fresh read";
    std::set<std::string> const sets(said.begin(), said.end());
    EXPECT_TRUE(sets.size() == 2 * kPairs + 2 && said.size() == sets.size() &&
                std::ranges::all_of(sets, [](auto& l) { return l.starts_with("router-mac "); }))
        << "each new link once, nothing of what stayed: " << testing::PrintToString(said);

    ASSERT_EQ(agent.stop(SIGTERM), 0) << agent.err();
    nlohmann::json const dump = agent.finalDump();
    EXPECT_EQ(dump["routerMacStatus"].size(), 4U * kPairs - 2) << "the bursts' links, no other";
    EXPECT_EQ(dump["table"].size(), 10U) << "the burst's routed links, no VRRP entry";
    EXPECT_EQ(dump["routingStatus"]["routerMac"]["mac"], "02:00:00:00:00:11")
        << "the system MAC outlives its link";
    std::string applied = "start\nfap add 0\n";
    for (auto const& line : agent.said(false)) {
        applied += line + "\n";
    }
    EXPECT_EQ(slurp(record), applied);
    auto replay = run(record.string() + " -", "dump\n");
    ASSERT_EQ(replay.status, 0) << replay.err;
    EXPECT_EQ(lastDump(replay.out), dump);
}

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

// Whether the agent's last word on the virtual MAC was an add.
bool holding(FollowingAgent const& agent) {
    auto const s = agent.said();
    auto it = std::find_if(s.rbegin(), s.rend(), [](auto& l) { return l.ends_with(kVrrp10); });
    return it != s.rend() && it->starts_with("vrrp add");
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
    auto const logs = [] { return slurp("/run/high.log") + slurp("/run/low.log"); };

    // Both start as backup and wait three advertisement intervals; should
    // the low side win that race, the high side preempts it.
    ASSERT_TRUE(waitUntil([&] { return holding(high) && !holding(low); })) << logs();
    ASSERT_EQ(highDaemon.stop(SIGTERM, 5s), 0) << logs();
    EXPECT_TRUE(waitUntil([&] { return !holding(high) && holding(low); }, 5s)) << logs();

    ASSERT_EQ(high.stop(SIGTERM), 0) << high.err();
    ASSERT_EQ(low.stop(SIGTERM), 0) << low.err();
    EXPECT_FALSE(holds(high.finalDump())) << high.finalDump();
    EXPECT_TRUE(holds(low.finalDump())) << low.finalDump();
    EXPECT_EQ(lowDaemon.stop(SIGTERM, 5s), 0) << logs();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 30s);
}

}  // namespace
