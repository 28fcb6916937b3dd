// Kernel facts to scenario commands, without a kernel.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "KernelTranslator.h"

namespace {

using namespace PlinthAgent::Kernel;
using Lines = std::vector<std::string>;

Pakt::EthAddr mac(char const* text) {
    return *Pakt::EthAddr::parse(text);
}

Link link(int index, std::string name, char const* address, int lower = 0) {
    Link l;
    l.index = index;
    l.name = std::move(name);
    l.mac = mac(address);
    l.adminUp = true;
    l.operState = OperState::up;
    l.lowerIndex = lower;
    return l;
}

Address v4(int index) {
    return {index, AF_INET, 24, {10, 0, 0, 1}};
}

// fe80::/10 is link-local; fec0:: is just outside it.
Address v6(int index, std::uint8_t first, std::uint8_t second) {
    std::vector<std::uint8_t> bytes(16, 0);
    bytes[0] = first;
    bytes[1] = second;
    return {index, AF_INET6, 64, bytes};
}

// A lower link Vlan10 (index 1, routed) with a VRRP link (index 2) on it.
Facts vrrpOnVlan10(Link vrrp = link(2, "vrrp.10", "00:00:5e:00:01:0a", 1),
                   std::vector<Address> const& vrrpAddresses = {v4(2)}) {
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
    bool adminUp;
    bool protodown;
    OperState oper;
    std::vector<Address> addresses;
    bool master;
};
void PrintTo(MasterCase const& c, std::ostream* os) {
    *os << c.what;
}

class MasterTest : public ::testing::TestWithParam<MasterCase> {};

TEST_P(MasterTest, VrrpLinkIsMasterOnlyWhenEveryConditionHolds) {
    MasterCase const& c = GetParam();
    Link vrrp = link(2, "vrrp.10", "00:00:5e:00:02:0a", 1);
    vrrp.adminUp = c.adminUp;
    vrrp.protodown = c.protodown;
    vrrp.operState = c.oper;
    Wanted w = Translator({}).wanted(vrrpOnVlan10(vrrp, c.addresses));
    EXPECT_EQ(w.vrrp.size(), c.master ? 1U : 0U);
    EXPECT_EQ(w.routerMacs.size(), 1U) << "a VRRP MAC is never a router MAC";
}

INSTANTIATE_TEST_SUITE_P(
    Rules, MasterTest,
    ::testing::Values(
        MasterCase{"master", true, false, OperState::up, {v4(2)}, true},
        MasterCase{"oper unknown", true, false, OperState::unknown, {v4(2)}, true},
        MasterCase{"admin down", false, false, OperState::up, {v4(2)}, false},
        MasterCase{"protodown", true, true, OperState::up, {v4(2)}, false},
        MasterCase{"oper down", true, false, OperState::down, {v4(2)}, false},
        MasterCase{"lower down", true, false, OperState::lowerLayerDown, {v4(2)}, false},
        MasterCase{"no address", true, false, OperState::up, {}, false},
        MasterCase{"IPv6 link-local only",
                   true,
                   false,
                   OperState::up,
                   {v6(2, 0xfe, 0x80), v6(2, 0xfe, 0xbf)},
                   false},
        MasterCase{"IPv6 fec0::", true, false, OperState::up, {v6(2, 0xfe, 0xc0)}, true}));

struct VlanCase {
    char const* lowerName;
    std::optional<std::uint16_t> lower8021q;
    std::map<std::string, std::uint16_t> option;
    std::uint32_t vlan;
};
void PrintTo(VlanCase const& c, std::ostream* os) {
    *os << "lower " << c.lowerName;
}

class VlanChoiceTest : public ::testing::TestWithParam<VlanCase> {};

TEST_P(VlanChoiceTest, TakesTheFirstSourceThatApplies) {
    VlanCase const& c = GetParam();
    Facts f = vrrpOnVlan10();
    Link lower = *f.link(1);
    lower.name = c.lowerName;
    lower.vlanId = c.lower8021q;
    f.linkIs(lower);
    Wanted w = Translator({c.option, ""}).wanted(f);
    ASSERT_EQ(w.vrrp.size(), 1U);
    EXPECT_EQ(w.vrrp.begin()->second, c.vlan);
}

INSTANTIATE_TEST_SUITE_P(
    Order, VlanChoiceTest,
    ::testing::Values(VlanCase{"Vlan10", 30, {{"Vlan10", 20}}, 30},
                      VlanCase{"Vlan10", {}, {{"Vlan10", 20}}, 20},
                      VlanCase{"Vlan10", {}, {{"eth0", 20}}, 10},
                      VlanCase{"vlan4094", {}, {}, 4094}, VlanCase{"Vlan4095", {}, {}, 0},
                      VlanCase{"Vlan0", {}, {}, 0}, VlanCase{"Vlan010", {}, {}, 0},
                      VlanCase{"Vlan10a", {}, {}, 0}, VlanCase{"eth0", {}, {}, 0}));

TEST(KernelTranslatorTest, LinksSharingAMacCountTogether) {
    Translator t({});
    Facts f;
    Link lo = link(1, "lo", "02:00:00:00:00:09");
    lo.loopback = true;
    f.linkIs(lo);
    f.linkIs(link(3, "Vlan10", "02:00:00:00:00:01"));
    f.linkIs(link(4, "Vlan20", "02:00:00:00:00:01"));
    EXPECT_EQ(t.commands(f), Lines{"router-mac set 02:00:00:00:00:01 interface routing=off"});
    f.addressIs(v4(4));
    EXPECT_EQ(t.commands(f), Lines{"router-mac set 02:00:00:00:00:01 interface routing=on"});
    f.addressIs(v4(3));
    Link down = *f.link(4);
    down.adminUp = false;
    f.linkIs(down);
    EXPECT_EQ(t.commands(f), Lines{}) << "Vlan10 still qualifies";
    f.linkDel(3);
    EXPECT_EQ(t.commands(f), Lines{"router-mac set 02:00:00:00:00:01 interface routing=off"});
    f.linkDel(4);
    EXPECT_EQ(t.commands(f), Lines{"router-mac del 02:00:00:00:00:01 interface"});
}

TEST(KernelTranslatorTest, SystemMacFollowsItsLinkAndOutlivesIt) {
    Translator t({{}, "Vlan10"});
    Facts f;
    f.linkIs(link(1, "Vlan10", "02:00:00:00:00:01"));
    f.addressIs(v4(1));
    EXPECT_EQ(t.commands(f), (Lines{"router-mac set 02:00:00:00:00:01 interface routing=on",
                                    "routing-config system 02:00:00:00:00:01 valid"}));
    Link l = *f.link(1);
    l.mac = mac("02:00:00:00:00:02");
    f.linkIs(l);
    EXPECT_EQ(t.commands(f), (Lines{"router-mac del 02:00:00:00:00:01 interface",
                                    "router-mac set 02:00:00:00:00:02 interface routing=on",
                                    "routing-config system 02:00:00:00:00:02 valid"}));
    f.linkDel(1);
    EXPECT_EQ(t.commands(f), Lines{"router-mac del 02:00:00:00:00:02 interface"});
    f.linkIs(l);
    EXPECT_EQ(t.commands(f), Lines{"router-mac set 02:00:00:00:00:02 interface routing=off"})
        << "the switch kept the system MAC while the link was away";
}

struct BadVlan {
    char const* text;
    char const* message;
};
void PrintTo(BadVlan const& c, std::ostream* os) {
    *os << c.text;
}

class VlanOptionTest : public ::testing::TestWithParam<BadVlan> {};

TEST_P(VlanOptionTest, IsRefusedWithAMessageNamingIt) {
    try {
        parseVlanOption(GetParam().text);
        ADD_FAILURE() << "accepted " << GetParam().text;
    } catch (OptionError const& e) {
        EXPECT_STREQ(e.what(), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bad, VlanOptionTest,
    ::testing::Values(
        BadVlan{"eth0", "--vlan: expected IFNAME=N, not 'eth0'"},
        BadVlan{"=10", "--vlan: expected IFNAME=N, not '=10'"},
        BadVlan{"eth0=0", "--vlan: bad VLAN '0' for eth0 (a number from 1 to 4094)"},
        BadVlan{"eth0=4095", "--vlan: bad VLAN '4095' for eth0 (a number from 1 to 4094)"},
        BadVlan{"a-very-long-name0=5",
                "--vlan: interface name 'a-very-long-name0' is longer than 15 characters"}));

}  // namespace
