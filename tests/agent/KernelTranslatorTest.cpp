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

// A VRRP link (index 2) on a routed lower link (index 1), as a case sets
// them up, and the VRRP entry that gives: master or not, and on which VLAN.
struct VrrpCase {
    char const* what;
    bool adminUp = true, protodown = false;
    OperState oper = OperState::up;
    std::vector<Address> addresses = {v4(2)};
    char const* lowerName = "Vlan10";
    std::optional<std::uint16_t> lower8021q = {};
    std::map<std::string, std::uint16_t> vlanOption = {};
    int vlan = 10;  // -1 when not master
};
void PrintTo(VrrpCase const& c, std::ostream* os) {
    *os << c.what;
}

class KernelVrrpTest : public ::testing::TestWithParam<VrrpCase> {};

TEST_P(KernelVrrpTest, MasterWhenEveryConditionHoldsOnTheFirstVlanThatApplies) {
    VrrpCase const& c = GetParam();
    Facts f;
    Link lower = link(1, c.lowerName, "02:00:00:00:00:01");
    lower.vlanId = c.lower8021q;
    f.linkIs(lower);
    f.addressIs(v4(1));
    Link vrrp = link(2, "vrrp.10", "00:00:5e:00:02:0a", 1);
    vrrp.adminUp = c.adminUp;
    vrrp.protodown = c.protodown;
    vrrp.operState = c.oper;
    f.linkIs(vrrp);
    for (auto const& a : c.addresses) {
        f.addressIs(a);
    }
    Lines expected{"router-mac set 02:00:00:00:00:01 interface routing=on"};
    if (c.vlan >= 0) {
        expected.push_back("vrrp add 00:00:5e:00:02:0a vlan=" + std::to_string(c.vlan));
    }
    EXPECT_EQ(Translator({c.vlanOption, ""}).commands(f), expected)
        << "a VRRP MAC is never a router MAC";
}

using enum OperState;
INSTANTIATE_TEST_SUITE_P(
    Rules, KernelVrrpTest,
    ::testing::Values(
        VrrpCase{.what = "master"}, VrrpCase{.what = "oper unknown", .oper = unknown},
        VrrpCase{.what = "admin down", .adminUp = false, .vlan = -1},
        VrrpCase{.what = "protodown", .protodown = true, .vlan = -1},
        VrrpCase{.what = "oper down", .oper = down, .vlan = -1},
        VrrpCase{.what = "lower layer down", .oper = lowerLayerDown, .vlan = -1},
        VrrpCase{.what = "no address", .addresses = {}, .vlan = -1},
        VrrpCase{.what = "IPv6 link-local only", .addresses = {v6(0x80), v6(0xbf)}, .vlan = -1},
        VrrpCase{.what = "IPv6 fec0::", .addresses = {v6(0xc0)}},
        VrrpCase{.what = "802.1Q lower first",
                 .lower8021q = 30,
                 .vlanOption = {{"Vlan10", 20}},
                 .vlan = 30},
        VrrpCase{.what = "--vlan before the name", .vlanOption = {{"Vlan10", 20}}, .vlan = 20},
        VrrpCase{.what = "--vlan for another link", .vlanOption = {{"eth0", 20}}},
        VrrpCase{.what = "vlan4094", .lowerName = "vlan4094", .vlan = 4094},
        VrrpCase{.what = "Vlan4095", .lowerName = "Vlan4095", .vlan = 0},
        VrrpCase{.what = "Vlan10a", .lowerName = "Vlan10a", .vlan = 0}));

}  // namespace
