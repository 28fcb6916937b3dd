// Kernel facts to scenario commands, without a kernel.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>

#include "KernelTranslator.h"

namespace {

using namespace PlinthAgent::Kernel;
using Lines = std::vector<std::string>;

constexpr char const* kVrrpMac = "00:00:5e:00:01:0a";

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

Address ipv4(int index, std::uint8_t last = 1) {
    return {index, AF_INET, 24, {10, 0, 0, last}};
}

Address ipv6(int index, std::uint8_t first, std::uint8_t second) {
    std::vector<std::uint8_t> bytes(16, 0);
    bytes[0] = first;
    bytes[1] = second;
    bytes[15] = 1;
    return {index, AF_INET6, 64, bytes};
}

// A lower link Vlan10 (index 1) with a VRRP link (index 2) on it.
Facts vrrpOnVlan10() {
    Facts f;
    f.linkIs(link(1, "Vlan10", "02:00:00:00:00:01"));
    f.addressIs(ipv4(1));
    f.linkIs(link(2, "vrrp.10", kVrrpMac, 1));
    f.addressIs(ipv4(2, 254));
    return f;
}

bool vrrpWanted(Facts const& facts) {
    return Translator({}).wanted(facts).vrrp.contains({mac(kVrrpMac), 10});
}

struct MasterCase {
    char const* what;
    void (*change)(Facts&);
    bool master;
};
void PrintTo(MasterCase const& c, std::ostream* os) {
    *os << c.what;
}

class MasterTest : public ::testing::TestWithParam<MasterCase> {};

TEST_P(MasterTest, VrrpLinkIsMasterOnlyWhenEveryConditionHolds) {
    Facts f = vrrpOnVlan10();
    GetParam().change(f);
    EXPECT_EQ(vrrpWanted(f), GetParam().master);
}

void relink(Facts& f, void (*edit)(Link&)) {
    Link l = *f.link(2);
    edit(l);
    f.linkIs(l);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, MasterTest,
    ::testing::Values(
        MasterCase{"as built", [](Facts&) {}, true},
        MasterCase{"admin down", [](Facts& f) { relink(f, [](Link& l) { l.adminUp = false; }); },
                   false},
        MasterCase{"protodown", [](Facts& f) { relink(f, [](Link& l) { l.protodown = true; }); },
                   false},
        MasterCase{"oper down",
                   [](Facts& f) { relink(f, [](Link& l) { l.operState = OperState::down; }); },
                   false},
        MasterCase{
            "oper lower-layer down",
            [](Facts& f) { relink(f, [](Link& l) { l.operState = OperState::lowerLayerDown; }); },
            false},
        MasterCase{"oper unknown",
                   [](Facts& f) { relink(f, [](Link& l) { l.operState = OperState::unknown; }); },
                   true},
        MasterCase{"no address", [](Facts& f) { f.addressDel(ipv4(2, 254)); }, false},
        MasterCase{"only IPv6 link-local",
                   [](Facts& f) {
                       f.addressDel(ipv4(2, 254));
                       f.addressIs(ipv6(2, 0xfe, 0x80));
                       f.addressIs(ipv6(2, 0xfe, 0xbf));
                   },
                   false},
        MasterCase{"IPv6 just outside link-local",
                   [](Facts& f) {
                       f.addressDel(ipv4(2, 254));
                       f.addressIs(ipv6(2, 0xfe, 0xc0));
                   },
                   true},
        MasterCase{"address on the lower link only", [](Facts& f) { f.addressDel(ipv4(2, 254)); },
                   false}),
    [](auto const& info) {
        std::string name = info.param.what;
        std::replace_if(
            name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
        return name;
    });

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
    EXPECT_EQ(w.vrrp, (std::set<std::pair<Pakt::EthAddr, std::uint32_t>>{{mac(kVrrpMac), c.vlan}}));
}

INSTANTIATE_TEST_SUITE_P(Order, VlanChoiceTest,
                         ::testing::Values(VlanCase{"Vlan10", 30, {{"Vlan10", 20}}, 30},
                                           VlanCase{"Vlan10", std::nullopt, {{"Vlan10", 20}}, 20},
                                           VlanCase{"Vlan10", std::nullopt, {{"eth0", 20}}, 10},
                                           VlanCase{"vlan4094", std::nullopt, {}, 4094},
                                           VlanCase{"Vlan4095", std::nullopt, {}, 0},
                                           VlanCase{"Vlan0", std::nullopt, {}, 0},
                                           VlanCase{"Vlan010", std::nullopt, {}, 0},
                                           VlanCase{"Vlan10a", std::nullopt, {}, 0},
                                           VlanCase{"VLAN10", std::nullopt, {}, 0},
                                           VlanCase{"eth0", std::nullopt, {}, 0}));

TEST(KernelTranslatorTest, VrrpLinkWithoutKnownLowerIsOnVlanZero) {
    Facts f = vrrpOnVlan10();
    f.linkDel(1);
    EXPECT_EQ(Translator({}).wanted(f).vrrp.begin()->second, 0U);
}

TEST(KernelTranslatorTest, LinksSharingAMacCountTogether) {
    Translator t({});
    Facts f;
    Link lo = link(1, "lo", "02:00:00:00:00:09");
    lo.loopback = true;
    f.linkIs(lo);
    f.linkIs(link(3, "Vlan10", "02:00:00:00:00:01"));
    f.linkIs(link(4, "Vlan20", "02:00:00:00:00:01"));
    EXPECT_EQ(t.commands(f), Lines{"router-mac set 02:00:00:00:00:01 interface routing=off"});
    f.addressIs(ipv4(4));
    EXPECT_EQ(t.commands(f), Lines{"router-mac set 02:00:00:00:00:01 interface routing=on"});
    f.addressIs(ipv4(3));
    Link down = *f.link(4);
    down.adminUp = false;
    f.linkIs(down);
    EXPECT_EQ(t.commands(f), Lines{}) << "Vlan10 still qualifies";
    f.linkDel(3);
    EXPECT_EQ(t.commands(f), Lines{"router-mac set 02:00:00:00:00:01 interface routing=off"});
    f.linkDel(4);
    EXPECT_EQ(t.commands(f), Lines{"router-mac del 02:00:00:00:00:01 interface"});
}

TEST(KernelTranslatorTest, MacChangeMovesTheEntry) {
    Translator t({});
    Facts f = vrrpOnVlan10();
    t.commands(f);
    Link l = *f.link(1);
    l.mac = mac("02:00:00:00:00:02");
    f.linkIs(l);
    EXPECT_EQ(t.commands(f), (Lines{"router-mac del 02:00:00:00:00:01 interface",
                                    "router-mac set 02:00:00:00:00:02 interface routing=on"}));
    Link v = *f.link(2);
    v.mac = mac("00:00:5e:00:01:0b");
    f.linkIs(v);
    EXPECT_EQ(t.commands(f),
              (Lines{"vrrp del 00:00:5e:00:01:0a vlan=10", "vrrp add 00:00:5e:00:01:0b vlan=10"}));
}

TEST(KernelTranslatorTest, SystemMacFollowsItsLinkAndOutlivesIt) {
    Translator t({{}, "Vlan10"});
    Facts f;
    f.linkIs(link(1, "Vlan10", "02:00:00:00:00:01"));
    EXPECT_EQ(t.commands(f), (Lines{"router-mac set 02:00:00:00:00:01 interface routing=off",
                                    "routing-config system 02:00:00:00:00:01 valid"}));
    f.addressIs(ipv4(1));
    EXPECT_EQ(t.commands(f), Lines{"router-mac set 02:00:00:00:00:01 interface routing=on"});
    Link l = *f.link(1);
    l.mac = mac("02:00:00:00:00:02");
    f.linkIs(l);
    EXPECT_EQ(t.commands(f), (Lines{"router-mac del 02:00:00:00:00:01 interface",
                                    "router-mac set 02:00:00:00:00:02 interface routing=on",
                                    "routing-config system 02:00:00:00:00:02 valid"}));
    f.linkDel(1);
    EXPECT_EQ(t.commands(f), Lines{"router-mac del 02:00:00:00:00:02 interface"});
}

// After lost notifications the follower hands over a fresh read: only the
// difference to what was applied may come out.
TEST(KernelTranslatorTest, FreshFactsGiveOnlyTheDifference) {
    Translator t({});
    t.commands(vrrpOnVlan10());
    Facts fresh = vrrpOnVlan10();
    fresh.linkIs(link(7, "Vlan20", "02:00:00:00:00:07"));
    EXPECT_EQ(t.commands(fresh), Lines{"router-mac set 02:00:00:00:00:07 interface routing=off"});
    EXPECT_EQ(t.commands(vrrpOnVlan10()), Lines{"router-mac del 02:00:00:00:00:07 interface"});
}

TEST(KernelTranslatorTest, VrrpMacsAreTheTwoVrrpRanges) {
    EXPECT_TRUE(isVrrpMac(mac("00:00:5e:00:01:00")));
    EXPECT_TRUE(isVrrpMac(mac("00:00:5e:00:02:ff")));
    EXPECT_FALSE(isVrrpMac(mac("00:00:5e:00:03:01")));
    EXPECT_FALSE(isVrrpMac(mac("00:00:5e:01:01:01")));
}

struct BadVlan {
    char const* text;
    char const* message;
};

class VlanOptionTest : public ::testing::TestWithParam<BadVlan> {};

TEST_P(VlanOptionTest, IsRefusedWithAMessageNamingIt) {
    try {
        parseVlanOption(GetParam().text);
        FAIL() << "accepted " << GetParam().text;
    } catch (OptionError const& e) {
        EXPECT_STREQ(e.what(), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bad, VlanOptionTest,
    ::testing::Values(
        BadVlan{"eth0", "--vlan: expected IFNAME=N, not 'eth0'"},
        BadVlan{"=10", "--vlan: expected IFNAME=N, not '=10'"},
        BadVlan{"eth0=", "--vlan: bad VLAN '' for eth0 (a number from 1 to 4094)"},
        BadVlan{"eth0=0", "--vlan: bad VLAN '0' for eth0 (a number from 1 to 4094)"},
        BadVlan{"eth0=4095", "--vlan: bad VLAN '4095' for eth0 (a number from 1 to 4094)"},
        BadVlan{"eth0=-1", "--vlan: bad VLAN '-1' for eth0 (a number from 1 to 4094)"},
        BadVlan{"a-very-long-name0=5",
                "--vlan: interface name 'a-very-long-name0' is longer than 15 characters"}));

TEST(KernelTranslatorTest, VlanOptionTakesNameAndNumber) {
    EXPECT_EQ(parseVlanOption("bond0.7=4094"),
              (std::pair<std::string, std::uint16_t>{"bond0.7", 4094}));
    EXPECT_EQ(parseVlanOption("eth0=0x10"), (std::pair<std::string, std::uint16_t>{"eth0", 16}));
}

}  // namespace
