#include "KernelTranslator.h"

#include <charconv>

#include "Scenario.h"

namespace PlinthAgent::Kernel {

namespace {

constexpr std::size_t kMaxIfName = 15;  // IFNAMSIZ less the terminating NUL
constexpr std::uint16_t kMaxVlan = 4094;

bool operational(Link const& link) {
    return link.operState == OperState::up || link.operState == OperState::unknown;
}

// A VRRP link carries the virtual MAC while its router is master, which
// VRRP daemons show by keeping the link up with the virtual addresses on it.
bool vrrpMaster(Link const& link, Facts const& facts) {
    return link.adminUp && !link.protodown && operational(link) &&
           facts.hasRoutableAddress(link.index);
}

// "Up" is the administrative state: a routed interface keeps its addresses,
// and the router its MAC, while it waits for carrier.
bool routing(Link const& link, Facts const& facts) {
    return link.adminUp && facts.hasRoutableAddress(link.index);
}

std::string vrrpCommand(char const* action, std::pair<Pakt::EthAddr, std::uint32_t> const& v) {
    return std::string("vrrp ") + action + " " + v.first.stringValue() +
           " vlan=" + std::to_string(v.second);
}

std::string routerMacSet(Pakt::EthAddr mac, bool on) {
    return "router-mac set " + mac.stringValue() + " interface routing=" + (on ? "on" : "off");
}

}  // namespace

std::pair<std::string, std::uint16_t> parseVlanOption(std::string_view text) {
    auto const eq = text.rfind('=');
    if (eq == std::string_view::npos || eq == 0) {
        throw OptionError("--vlan: expected IFNAME=N, not '" + std::string(text) + "'");
    }
    std::string name(text.substr(0, eq));
    if (name.size() > kMaxIfName) {
        throw OptionError("--vlan: interface name '" + name + "' is longer than " +
                          std::to_string(kMaxIfName) + " characters");
    }
    auto vlan = Scenario::parseNumber(text.substr(eq + 1), kMaxVlan);
    if (!vlan || *vlan == 0) {
        throw OptionError("--vlan: bad VLAN '" + std::string(text.substr(eq + 1)) + "' for " +
                          name + " (a number from 1 to 4094)");
    }
    return {name, static_cast<std::uint16_t>(*vlan)};
}

bool isVrrpMac(Pakt::EthAddr mac) {
    std::uint64_t const prefix = mac.value() >> 8;
    return prefix == 0x00005e0001ULL || prefix == 0x00005e0002ULL;
}

std::optional<std::uint16_t> vlanFromName(std::string_view name) {
    if (!name.starts_with("Vlan") && !name.starts_with("vlan")) {
        return std::nullopt;
    }
    std::string_view digits = name.substr(4);
    unsigned value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    // Digits only: no sign, no leading zero, nothing after.
    if (digits.empty() || digits[0] == '0' || ec != std::errc() ||
        end != digits.data() + digits.size() || value > kMaxVlan) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

std::uint32_t Translator::vrrpVlan(Link const& link, Facts const& facts) const {
    Link const* lower = facts.link(link.lowerIndex);
    if (lower == nullptr) {
        return 0;
    }
    if (lower->vlanId) {
        return *lower->vlanId;
    }
    if (auto it = settings_.vlans.find(lower->name); it != settings_.vlans.end()) {
        return it->second;
    }
    return vlanFromName(lower->name).value_or(0);
}

Wanted Translator::wanted(Facts const& facts) const {
    Wanted w;
    for (auto const& [index, link] : facts.links()) {
        if (!link.mac || link.mac->isZero() || link.loopback) {
            continue;
        }
        if (isVrrpMac(*link.mac)) {
            if (vrrpMaster(link, facts)) {
                w.vrrp.emplace(*link.mac, vrrpVlan(link, facts));
            }
            continue;
        }
        w.routerMacs[*link.mac] |= routing(link, facts);
    }
    if (!settings_.systemMacLink.empty()) {
        Link const* system = facts.linkNamed(settings_.systemMacLink);
        // While the link is away the switch keeps the system MAC it had.
        w.systemMac = system && system->mac ? system->mac : applied_.systemMac;
    }
    return w;
}

std::vector<std::string> Translator::commands(Facts const& facts) {
    Wanted want = wanted(facts);
    std::vector<std::string> out;
    // Withdrawals first, so that the switch never holds more than either
    // the old or the new state asks for.
    for (auto const& v : applied_.vrrp) {
        if (!want.vrrp.contains(v)) {
            out.push_back(vrrpCommand("del", v));
        }
    }
    for (auto const& [mac, on] : applied_.routerMacs) {
        if (!want.routerMacs.contains(mac)) {
            out.push_back("router-mac del " + mac.stringValue() + " interface");
        }
    }
    for (auto const& [mac, on] : want.routerMacs) {
        auto it = applied_.routerMacs.find(mac);
        if (it == applied_.routerMacs.end() || it->second != on) {
            out.push_back(routerMacSet(mac, on));
        }
    }
    for (auto const& v : want.vrrp) {
        if (!applied_.vrrp.contains(v)) {
            out.push_back(vrrpCommand("add", v));
        }
    }
    if (want.systemMac && want.systemMac != applied_.systemMac) {
        out.push_back("routing-config system " + want.systemMac->stringValue() + " valid");
    }
    applied_ = std::move(want);
    return out;
}

}  // namespace PlinthAgent::Kernel
