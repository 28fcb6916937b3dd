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

}  // namespace
