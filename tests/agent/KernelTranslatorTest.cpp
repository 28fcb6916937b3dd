// Kernel facts to scenario commands, without a kernel.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "KernelTranslator.h"

namespace {

using namespace PlinthAgent::Kernel;
using enum OperState;

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
        for (auto const& a : c.addresses) {
            f.addressIs(a);
        }
        std::vector<std::string> expected{"router-mac set 02:00:00:00:00:01 interface routing=on"};
        if (c.vlan >= 0) {
            expected.push_back("vrrp add 00:00:5e:00:02:0a vlan=" + std::to_string(c.vlan));
        }
        EXPECT_EQ(Translator({c.vlanOption, ""}).commands(f), expected)
            << c.what << " (a VRRP MAC is never a router MAC)";
    }
}

}  // namespace
