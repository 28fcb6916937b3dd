// Kernel facts to scenario commands, without a kernel.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "KernelTranslator.h"

namespace {

using namespace PlinthAgent::Kernel;
using Lines = std::vector<std::string>;

Link link(int index, std::string name, char const* mac, int lower = 0) {
    return {.index = index,
            .name = std::move(name),
            .mac = Pakt::EthAddr::parse(mac),
            .adminUp = true,
            .operState = OperState::up,
            .lowerIndex = lower,
            .vlanId = {}};
}
Address v4(int index) {
    return {index, AF_INET, 24, {10, 0, 0, 1}};
}
// On the VRRP link: fe80::/10 is link-local, fec0:: is just outside it.
Address v6(std::uint8_t second) {
    return {2, AF_INET6, 64, {0xfe, second, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};
}

// A routed lower link Vlan10 (index 1) with a VRRP link (index 2) on it.
Facts vrrpOnVlan10(Link vrrp, std::vector<Address> const& vrrpAddresses = {v4(2)}) {
    Facts f;
    f.linkIs(link(1, "Vlan10", "02:00:00:00:00:01"));
    f.addressIs(v4(1));
    f.linkIs(std::move(vrrp));
    for (auto const& a : vrrpAddresses) {
        f.addressIs(a);
    }
    return f;
}

struct MasterCase {
    char const* what;
    bool adminUp, protodown;
    OperState oper;
    std::vector<Address> addresses;
    bool master;
};
void PrintTo(MasterCase const& c, std::ostream* os) {
    *os << c.what;
}

class KernelMasterTest : public ::testing::TestWithParam<MasterCase> {};

TEST_P(KernelMasterTest, VrrpLinkIsMasterOnlyWhenEveryConditionHolds) {
    MasterCase const& c = GetParam();
    Link vrrp = link(2, "vrrp.10", "00:00:5e:00:02:0a", 1);
    vrrp.adminUp = c.adminUp;
    vrrp.protodown = c.protodown;
    vrrp.operState = c.oper;
    Lines expected{"router-mac set 02:00:00:00:00:01 interface routing=on"};
    if (c.master) {
        expected.push_back("vrrp add 00:00:5e:00:02:0a vlan=10");
    }
    EXPECT_EQ(Translator({}).commands(vrrpOnVlan10(vrrp, c.addresses)), expected)
        << "a VRRP MAC is never a router MAC";
}

using enum OperState;
INSTANTIATE_TEST_SUITE_P(
    Rules, KernelMasterTest,
    ::testing::Values(MasterCase{"master", true, false, up, {v4(2)}, true},
                      MasterCase{"oper unknown", true, false, unknown, {v4(2)}, true},
                      MasterCase{"admin down", false, false, up, {v4(2)}, false},
                      MasterCase{"protodown", true, true, up, {v4(2)}, false},
                      MasterCase{"oper down", true, false, down, {v4(2)}, false},
                      MasterCase{"lower down", true, false, lowerLayerDown, {v4(2)}, false},
                      MasterCase{"no address", true, false, up, {}, false},
                      MasterCase{"IPv6 link-local", true, false, up, {v6(0x80), v6(0xbf)}, false},
                      MasterCase{"IPv6 fec0::", true, false, up, {v6(0xc0)}, true}));

struct VlanCase {
    char const* lowerName;
    std::optional<std::uint16_t> lower8021q;
    std::map<std::string, std::uint16_t> option;
    std::uint32_t vlan;
};
void PrintTo(VlanCase const& c, std::ostream* os) {
    *os << c.lowerName << (c.lower8021q ? " 802.1Q" : "") << (c.option.empty() ? "" : " --vlan");
}

class KernelVlanTest : public ::testing::TestWithParam<VlanCase> {};

TEST_P(KernelVlanTest, TakesTheFirstSourceThatApplies) {
    VlanCase const& c = GetParam();
    Facts f = vrrpOnVlan10(link(2, "vrrp.10", "00:00:5e:00:01:0a", 1));
    Link lower = *f.link(1);
    lower.name = c.lowerName;
    lower.vlanId = c.lower8021q;
    f.linkIs(lower);
    EXPECT_EQ(Translator({c.option, ""}).commands(f).back(),
              "vrrp add 00:00:5e:00:01:0a vlan=" + std::to_string(c.vlan));
}

INSTANTIATE_TEST_SUITE_P(Order, KernelVlanTest,
                         ::testing::Values(VlanCase{"Vlan10", 30, {{"Vlan10", 20}}, 30},
                                           VlanCase{"Vlan10", {}, {{"Vlan10", 20}}, 20},
                                           VlanCase{"Vlan10", {}, {{"eth0", 20}}, 10},
                                           VlanCase{"vlan4094", {}, {}, 4094},
                                           VlanCase{"Vlan4095", {}, {}, 0},
                                           VlanCase{"Vlan10a", {}, {}, 0}));

// Routing is on while any link with the MAC qualifies; the system MAC
// follows its link's MAC, and stays with the switch while the link is away.
TEST(KernelTranslatorTest, SharedAndSystemMacs) {
    Translator t({{}, "Vlan10"});
    Facts f;
    Link lo = link(1, "lo", "02:00:00:00:00:09");
    lo.loopback = true;
    f.linkIs(lo);
    f.linkIs(link(3, "Vlan10", "02:00:00:00:00:01"));
    f.linkIs(link(4, "Vlan20", "02:00:00:00:00:01"));
    EXPECT_EQ(t.commands(f), (Lines{"router-mac set 02:00:00:00:00:01 interface routing=off",
                                    "routing-config system 02:00:00:00:00:01 valid"}));
    f.addressIs(v4(4));
    EXPECT_EQ(t.commands(f), Lines{"router-mac set 02:00:00:00:00:01 interface routing=on"});
    f.addressIs(v4(3));
    Link vlan20 = *f.link(4);
    vlan20.adminUp = false;
    f.linkIs(vlan20);
    EXPECT_EQ(t.commands(f), Lines{}) << "Vlan10 still qualifies";
    f.linkDel(3);
    EXPECT_EQ(t.commands(f), Lines{"router-mac set 02:00:00:00:00:01 interface routing=off"});
    vlan20.mac = Pakt::EthAddr::parse("02:00:00:00:00:02");
    f.linkIs(vlan20);
    EXPECT_EQ(t.commands(f), (Lines{"router-mac del 02:00:00:00:00:01 interface",
                                    "router-mac set 02:00:00:00:00:02 interface routing=off"}));
    f.linkIs(link(5, "Vlan10", "02:00:00:00:00:01"));
    EXPECT_EQ(t.commands(f), Lines{"router-mac set 02:00:00:00:00:01 interface routing=off"})
        << "the switch kept the system MAC while the link was away";
    f.linkIs(link(5, "Vlan10", "02:00:00:00:00:03"));
    EXPECT_EQ(t.commands(f), (Lines{"router-mac del 02:00:00:00:00:01 interface",
                                    "router-mac set 02:00:00:00:00:03 interface routing=off",
                                    "routing-config system 02:00:00:00:00:03 valid"}));
}

struct BadVlan {
    char const* text;
    char const* message;
};
void PrintTo(BadVlan const& c, std::ostream* os) {
    *os << c.text;
}

class KernelVlanOptionTest : public ::testing::TestWithParam<BadVlan> {};

TEST_P(KernelVlanOptionTest, IsRefusedWithAMessageNamingIt) {
    try {
        parseVlanOption(GetParam().text);
        ADD_FAILURE() << "accepted " << GetParam().text;
    } catch (OptionError const& e) {
        EXPECT_STREQ(e.what(), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bad, KernelVlanOptionTest,
    ::testing::Values(
        BadVlan{"eth0", "--vlan: expected IFNAME=N, not 'eth0'"},
        BadVlan{"=10", "--vlan: expected IFNAME=N, not '=10'"},
        BadVlan{"eth0=0", "--vlan: bad VLAN '0' for eth0 (a number from 1 to 4094)"},
        BadVlan{"eth0=4095", "--vlan: bad VLAN '4095' for eth0 (a number from 1 to 4094)"},
        BadVlan{"a-very-long-name0=5",
                "--vlan: interface name 'a-very-long-name0' is longer than 15 characters"}));

}  // namespace
