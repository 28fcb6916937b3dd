// The kernel follower: its translation of kernel facts to scenario commands
// without a kernel, then plinth-agent --follow-kernel against the real
// kernel, each test in a network namespace of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <functional>
#include <set>

#include "AgentProcess.h"
#include "KernelTranslator.h"

namespace {

using namespace PlinthAgent::Kernel;
using enum OperState;
using namespace PlinthTest;
using testing::ThrowsMessage;

using Lines = std::vector<std::string>;

// The commands a change gives, each as its `kernel:` line shows it.
Lines shown(std::vector<Change> const& changes) {
    Lines lines;
    for (auto const& c : changes) {
        lines.push_back(PlinthAgent::Scenario::format(c.command) + "  # " + c.source.text());
    }
    return lines;
}

// An Ethernet link that is up and operational (`mac` empty: none); a link's
// IPv4 address; an IPv6 address on the VRRP link (fe80::/10 is link-local,
// fec0:: is just outside it); and the lines of the commands.
// clang-format off
Link link(int index, std::string name, std::string const& mac, int lower = 0, bool up = true) {
    return {index, std::move(name), Pakt::EthAddr::parse(mac.c_str()), false, up, false, OperState::up, lower, {}};
}
Address v4(int index) { return {index, AF_INET, 24, {10, 0, static_cast<std::uint8_t>(index), 1}}; }
Address v6(std::uint8_t second) { return {2, AF_INET6, 64, {0xfe, second, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}}; }
std::string const A = "02:00:00:00:00:0a", B = "02:00:00:00:00:0b", C = "02:00:00:00:00:0c";
std::string const V = "00:00:5e:00:01:0a", W = "00:00:5e:00:02:0a";
std::string set(std::string const& mac, bool on, std::string const& link) {
    return "router-mac set " + mac + " interface routing=" + (on ? "on" : "off") + "  # " + link;
}
std::string unset(std::string const& mac, std::string const& link) {
    return "router-mac del " + mac + " interface  # " + link;
}
std::string systemMac(std::string const& mac, bool valid, std::string const& lower = "") {
    return "routing-config system " + mac + (valid ? " valid" : " invalid") + "  # Vlan10" +
           (lower.empty() ? "" : " on " + lower);
}
// `vlanAndLink`: "N  # LINK[ on LOWER]".
std::string vrrp(char const* op, std::string const& mac, std::string const& vlanAndLink) {
    return std::string("vrrp ") + op + " " + mac + " vlan=" + vlanAndLink;
}
// clang-format on

Facts facts(std::initializer_list<Link> links) {
    Facts f;
    std::ranges::for_each(links, [&](Link const& l) { f.linkIs(l); });
    return f;
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
    // clang-format off
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
        {.what = "802.1Q lower first", .lower8021q = 30, .vlanOption = {{"Vlan10", 20}}, .vlan = 30},
        {.what = "--vlan before the name", .vlanOption = {{"Vlan10", 20}}, .vlan = 20},
        {.what = "--vlan for another link", .vlanOption = {{"eth0", 20}}},
        {.what = "vlan4094", .lowerName = "vlan4094", .vlan = 4094},
        {.what = "Vlan4095", .lowerName = "Vlan4095", .vlan = 0},
        {.what = "Vlan10a", .lowerName = "Vlan10a", .vlan = 0},
    };
    // clang-format on
    for (VrrpCase const& c : cases) {
        Link lower = link(1, c.lowerName, A), virt = link(2, "vrrp.10", W, 1, c.adminUp);
        lower.vlanId = c.lower8021q;
        virt.protodown = c.protodown;
        virt.operState = c.oper;
        Facts f = facts({lower, virt});
        f.addressIs(v4(1));
        std::ranges::for_each(c.addresses, [&](auto const& a) { f.addressIs(a); });
        Lines expected{set(A, true, c.lowerName)};
        if (c.vlan >= 0) {
            expected.push_back(
                vrrp("add", W, std::to_string(c.vlan) + "  # vrrp.10 on " + c.lowerName));
        }
        EXPECT_EQ(shown(Translator({c.vlanOption, ""}).commands(f)), expected)
            << c.what << " (a VRRP MAC is never a router MAC)";
    }
}

using FactChange = std::function<void(Facts&)>;
// A link that is up with an address (routed), one without (bare), an
// address removed, a link removed.
// clang-format off
FactChange routed(int index, std::string name, std::string const& mac, int lower = 0) {
    return [=](Facts& f) { f.linkIs(link(index, name, mac, lower)); f.addressIs(v4(index)); };
}
FactChange bare(int index, std::string name, std::string const& mac, bool up = true) {
    return [=](Facts& f) { f.linkIs(link(index, name, mac, 0, up)); };
}
FactChange unaddressed(int index) { return [=](Facts& f) { f.addressDel(v4(index)); }; }
FactChange gone(int index) { return [=](Facts& f) { f.linkDel(index); }; }
// clang-format on

// Changes to the kernel's facts and every command they must give, in order.
struct Step {
    std::vector<FactChange> changes;
    Lines commands;
};
struct SequenceCase {
    char const* what;
    std::string systemMacLink = "";
    std::vector<Step> steps;
    Lines warnings = {};
};

TEST(KernelTranslatorTest, SequencesOfFactsGiveTheirCommandsInOrder) {
    // clang-format off
    SequenceCase const cases[] = {
        {.what = "the system MAC stands for every link carrying it, whatever their state",
         .systemMacLink = "Vlan10",
         .steps = {{{routed(1, "Vlan10", A), routed(2, "Vlan20", A), bare(3, "eth1", B)},
                    {systemMac(A, true), set(B, false, "eth1")}},
                   {{unaddressed(1), bare(1, "Vlan10", A, false)}, {}},
                   {{gone(1)}, {systemMac(A, false), set(A, true, "Vlan20")}},
                   {{routed(4, "Vlan10", C, 2)}, {systemMac(C, true, "Vlan20")}},
                   {{bare(4, "Vlan10", A)}, {unset(A, "Vlan20"), systemMac(A, true)}}}},
        {.what = "links sharing a MAC count together; the last one's removal deletes it",
         .steps = {{{routed(1, "eth1", A), bare(2, "eth2", A, false)}, {set(A, true, "eth1")}},
                   {{unaddressed(1)}, {set(A, false, "eth1")}},
                   {{routed(2, "eth2", A)}, {set(A, true, "eth2")}},
                   {{gone(2)}, {set(A, false, "eth2")}},
                   {{gone(1)}, {unset(A, "eth1")}}}},
        {.what = "withdrawals before additions, a MAC change a removal and an addition",
         .steps = {{{routed(1, "Vlan10", A), routed(2, "vrrp10", V, 1)},
                    {set(A, true, "Vlan10"), vrrp("add", V, "10  # vrrp10 on Vlan10")}},
                   {{routed(1, "Vlan20", B)}, {vrrp("del", V, "10  # vrrp10 on Vlan10"), unset(A, "Vlan10"),
                                               set(B, true, "Vlan20"), vrrp("add", V, "20  # vrrp10 on Vlan20")}}}},
        {.what = "a VRRP link without a VLAN is named once, with the --vlan to give",
         .steps = {{{routed(1, "eth3", A), routed(2, "vrrp3", V, 1), routed(3, "vrrp4", W, 9)},
                    {set(A, true, "eth3"), vrrp("add", V, "0  # vrrp3 on eth3"), vrrp("add", W, "0  # vrrp4")}},
                   {{unaddressed(2)}, {vrrp("del", V, "0  # vrrp3 on eth3")}},
                   {{routed(2, "vrrp3", V, 1)}, {vrrp("add", V, "0  # vrrp3 on eth3")}}},
         .warnings = {"VRRP link vrrp3 goes in at VLAN 0: its lower link eth3 has no VLAN; "
                      "--vlan eth3=N would put it on VLAN N",
                      "VRRP link vrrp4 has no lower link in this namespace and goes in at VLAN 0"}},
    };
    // clang-format on
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        Translator translator({{}, c.systemMacLink});
        Facts facts;
        Lines warnings;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            std::ranges::for_each(c.steps[i].changes, [&](auto const& change) { change(facts); });
            EXPECT_EQ(shown(translator.commands(facts)), c.steps[i].commands) << "step " << i;
            std::ranges::copy(translator.warningsTake(), std::back_inserter(warnings));
        }
        EXPECT_EQ(warnings, c.warnings);
    }
}

// What following refuses to start with, and what it only warns about.
TEST(KernelTranslatorTest, SettingsAreCheckedAgainstTheKernel) {
    // clang-format off
    struct Case {
        FollowSettings settings;
        std::string error = "";
        Lines warnings = {};
    } const cases[] = {
        {.settings = {{{"eth0", 5}}, "eth0"}},
        {.settings = {{}, "eth9"}, .error = "--system-mac: no link named 'eth9'"},
        {.settings = {{}, "lo"}, .error = "--system-mac: lo is a loopback link, which has no MAC"},
        {.settings = {{}, "tun0"}, .error = "--system-mac: tun0 has no MAC (00:00:00:00:00:00)"},
        {.settings = {{}, "dummy0"}, .error = "--system-mac: dummy0 has no MAC (00:00:00:00:00:00)"},
        {.settings = {{{"bond0", 30}, {"eth0", 5}}, ""},
         .warnings = {"--vlan: no link named 'bond0' yet; VRRP links on it will take VLAN 30 when it appears"}},
    };
    // clang-format on
    Link lo = link(1, "lo", "00:00:00:00:00:00");
    lo.loopback = true;
    Facts const f = facts(
        {lo, link(3, "eth0", A), link(4, "tun0", ""), link(5, "dummy0", "00:00:00:00:00:00")});
    for (auto const& c : cases) {
        if (c.error.empty()) {
            EXPECT_EQ(Translator(c.settings).check(f), c.warnings) << c.settings.systemMacLink;
        } else {
            EXPECT_THAT([&] { Translator(c.settings).check(f); },
                        ThrowsMessage<OptionError>(c.error));
        }
    }
    // clang-format off
    std::pair<char const*, char const*> const vlans[] = {
        {"eth0", "--vlan: expected IFNAME=N, not 'eth0'"},
        {"=10", "--vlan: expected IFNAME=N, not '=10'"},
        {"eth0=0", "--vlan: bad VLAN '0' for eth0 (a number from 1 to 4094)"},
        {"eth0=4095", "--vlan: bad VLAN '4095' for eth0 (a number from 1 to 4094)"},
        {"a-very-long-name0=5", "--vlan: interface name 'a-very-long-name0' is longer than 15 characters"},
    };
    // clang-format on
    for (auto const& [text, error] : vlans) {
        EXPECT_THAT([&] { parseVlanOption(text); }, ThrowsMessage<OptionError>(error));
    }
    EXPECT_EQ(parseVlanOption("bond0.7=0x10"),
              std::make_pair(std::string("bond0.7"), std::uint16_t{16}));
}

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

// A veth pair NAME/pNAME whose ends take burstMac(n) and burstMac(n + 1), as
// the arguments of `ip` (or a line of `ip -batch`).
std::string veth(std::string const& name, int n) {
    return "link add " + name + " address 02:00:00:00:" + burstMac(n) + " type veth peer name p" +
           name + " address 02:00:00:00:" + burstMac(n + 1);
}

constexpr int kPairs = 200;

std::string const kVrrp10 = " 00:00:5e:00:01:0a vlan=10", kVrrp20 = " 00:00:5e:00:01:14 vlan=20";

// Vlan10 and Vlan20 (02:00:00:00:00:NN, veth peers pNN with 02:00:00:00:01:NN),
// routed, each with a VRRP macvlan vrrpNN that is master on it.
constexpr char const* kTwoVlans =
    "for n in 10 20; do ip link add Vlan$n address 02:00:00:00:00:$n type veth "
    "peer name p$n address 02:00:00:00:01:$n && ip link set p$n up && "
    "ip link set Vlan$n up && ip addr add 10.0.$n.1/24 dev Vlan$n && "
    "ip link add vrrp$n link Vlan$n address 00:00:5e:00:01:$(printf %02x $n) "
    "type macvlan mode bridge && ip link set vrrp$n up && "
    "ip addr add 10.0.$n.254/24 dev vrrp$n || exit 1; done";

// kPairs veth pairs NAME0/pNAME0..., both ends with MACs of their own from
// burstMac(base) on, the first ten up with an address when `routed`: the
// lines of `ip -batch` that make them.
std::string burst(std::string const& name, int base, bool routed) {
    std::ostringstream batch;
    for (int i = 0; i < kPairs; ++i) {
        batch << veth(name + std::to_string(i), base + 2 * i) << "\n";
    }
    for (int i = 0; i < (routed ? 10 : 0); ++i) {
        batch << "link set " << name << i << " up\naddr add 10.9." << i << ".1/24 dev " << name << i
              << "\n";
    }
    return batch.str();
}

using KernelFollowTest = KernelNamespaceTest;

// Changes made one after another while the agent follows; after each, a
// new veth pair is made too, and once the lines of both have come nothing
// else may have.
TEST_F(KernelFollowTest, EachChangeBringsItsCommandsAlone) {
    ASSERT_EQ(std::system(kTwoVlans), 0);
    BackgroundAgent agent("agent", "--follow-kernel --system-mac Vlan10");
    std::string const vlan10Mac = "routing-config system 02:00:00:00:00:10";
    ASSERT_TRUE(agent.waitFor({vlan10Mac + " valid", on("00:20"), off("01:10"),
                               "vrrp add" + kVrrp10, "vrrp add" + kVrrp20}));
    // clang-format off
    struct {
        std::string script;
        Lines commands;
    } const changes[] = {
        {.script = "ip link set Vlan20 down", .commands = {off("00:20"), "vrrp del" + kVrrp20}},
        {.script = "ip link set Vlan20 address 02:00:00:00:00:21", .commands = {del("00:20"), off("00:21")}},
        {.script = "ip link set Vlan20 up", .commands = {on("00:21"), "vrrp add" + kVrrp20}},
        {.script = "ip addr del 10.0.20.254/24 dev vrrp20", .commands = {"vrrp del" + kVrrp20}},
        {.script = "ip link del Vlan10", .commands = {vlan10Mac + " invalid", del("01:10"), "vrrp del" + kVrrp10}},
    };
    // clang-format on
    for (int i = 0; i < std::ssize(changes); ++i) {
        SCOPED_TRACE(changes[i].script);
        agent.mark();
        std::string const veths = " && ip " + veth("s" + std::to_string(i), 0xf00 + 2 * i);
        ASSERT_EQ(std::system((changes[i].script + veths).c_str()), 0);
        // The new pair bounds the change. A stacked link's state follows its
        // lower link's a little later: its commands may come after the bound.
        Lines all = changes[i].commands;
        all.insert(all.end(), {off(burstMac(0xf00 + 2 * i)), off(burstMac(0xf01 + 2 * i))});
        ASSERT_TRUE(agent.waitFor(all));
        EXPECT_THAT(agent.said(), testing::UnorderedElementsAreArray(all));
    }
}

// The agent starts while a burst of links is being made: it misses none,
// and what it records rebuilds the same state without the kernel.
TEST_F(KernelFollowTest, StartsDuringABurstAndItsRecordRebuildsTheTable) {
    ChildProcess made("ip -batch " + file("a", burst("a", 0, true)) + " 2>" +
                      file("burst.err", ""));
    auto const record = dir_ / "record.scn";
    BackgroundAgent agent("agent", "--follow-kernel --record " + record.string());
    ASSERT_EQ(made.stop(0), 0) << slurp(dir_ / "burst.err");
    ASSERT_TRUE(agent.waitFor({off(burstMac(2 * kPairs - 1)), on(burstMac(18))}));
    ASSERT_EQ(std::system("ip link del a0"), 0);  // a removal in the record too
    ASSERT_TRUE(agent.waitFor({del(burstMac(0)), del(burstMac(1))}));
    ASSERT_EQ(agent.stop(SIGTERM), 0) << agent.err();
    nlohmann::json const dump = agent.finalDump();
    EXPECT_EQ(dump["routerMacStatus"].size(), 2U * kPairs - 2) << "the burst's links, no other";
    EXPECT_EQ(dump["table"].size(), 9U) << "the burst's routed links";
    auto replay = run(record.string() + " -", "dump\n");
    ASSERT_EQ(replay.status, 0) << replay.err;
    EXPECT_EQ(lastDump(replay.out), dump);
}

// With its small socket buffer made to overflow while it is stopped, an
// agent reads the kernel again and prints only what changed. The link x0 is
// made before the overflow and deleted after it: its arrival is still queued
// when the agent wakes, its removal was lost, and the agent must not take
// the stale arrival over the fresh read.
TEST_F(KernelFollowTest, LostNotificationsAreMadeUpByReadingAgain) {
    ASSERT_EQ(std::system(("ip -batch " + file("a", burst("a", 0, false))).c_str()), 0);
    BackgroundAgent lossy("lossy", "--follow-kernel", "env PLINTH_NETLINK_RCVBUF=4096");
    ASSERT_TRUE(lossy.waitFor({off(burstMac(2 * kPairs - 1))}));
    lossy.mark();
    lossy.signal(SIGSTOP);
    std::string const x0Made =
        "ip " + veth("x0", 0xe00) + " && ip -batch " + file("c", burst("c", 0x400, false));
    EXPECT_EQ(std::system((x0Made + " && ip link del x0").c_str()), 0);
    lossy.signal(SIGCONT);
    ASSERT_TRUE(lossy.waitFor({off(burstMac(0x400 + 2 * kPairs - 1))}));
    ASSERT_EQ(std::system("ip link del c0"), 0);
    ASSERT_TRUE(lossy.waitFor({del(burstMac(0x400)), del(burstMac(0x401))}));
    EXPECT_EQ(lossy.stop(SIGINT), 0) << "SIGINT ends following as SIGTERM does";
    EXPECT_NE(lossy.err().find("notifications were lost"), std::string::npos) << lossy.err();
    auto const said = lossy.said();
    EXPECT_THAT(said, testing::Each(testing::Not(testing::HasSubstr(burstMac(0xe00)))))
        << "x0's stale arrival taken over the fresh read";
    // Each new link once, nothing of what stayed.
    EXPECT_THAT(said, testing::Each(testing::StartsWith("router-mac ")));
    EXPECT_EQ(said.size(), 2U * kPairs + 2) << testing::PrintToString(said);
    EXPECT_EQ(std::set(said.begin(), said.end()).size(), said.size());
}

// What the command line asks of a kernel that cannot give it ends the run
// before anything is applied; what may still come right, and a failure of
// the agent's own start, are warnings. Each message is checked whole.
TEST_F(KernelFollowTest, SaysWhatTheKernelCannotGive) {
    ASSERT_EQ(std::system("ip link add eth1 type veth peer name eth2 && "
                          "ip link add vrrp7 link eth1 address 00:00:5e:00:01:07 type macvlan && "
                          "ip link set eth2 up && ip link set eth1 up && ip link set vrrp7 up && "
                          "ip addr add 10.0.7.254/24 dev vrrp7"),
              0);
    std::string const scenario = file("s.scn", "fap add 0\n");
    // clang-format off
    struct Case {
        std::string args, input = "", err;
        int status = 2;
    } const cases[] = {
        {.args = "--system-mac lo", .err = "error: --system-mac: lo is a loopback link, which has no MAC"},
        {.args = "--record " + scenario + " " + scenario, .err = "error: --record: " + scenario + " is also a scenario file"},
        {.args = "", .err = "warning: VRRP link vrrp7 goes in at VLAN 0: its lower link eth1 has no VLAN; "
                            "--vlan eth1=N would put it on VLAN N", .status = 0},
        {.args = "--vlan eth1=7 -", .input = "fap add 0\nvrrp add 00:00:5e:00:01:01 vlan=4096\n",
         .err = "warning: mount completion failed: U12::value < 0 or > 0x0fff not allowed", .status = 0},
    };
    // clang-format on
    for (auto const& c : cases) {
        auto r = run("--follow-kernel --for 0 " + c.args, c.input);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.err, "plinth-agent: " + c.err + "\n") << c.args;
        EXPECT_EQ(r.out.find("kernel: vrrp add") != std::string::npos, c.status == 0) << r.out;
    }
}

}  // namespace
