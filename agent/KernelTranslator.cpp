#include "KernelTranslator.h"

#include <algorithm>
#include <charconv>
#include <iterator>

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

Source sourceOf(Link const& link, Facts const& facts) {
    Link const* lower = facts.link(link.lowerIndex);
    return {link.name, lower ? lower->name : ""};
}

Brix::MacTypeMask interfaceKey(Pakt::EthAddr mac) {
    return {mac, Brix::MacType::interface};
}

// Walks two maps in key order together, one step per key: `gone` for a key
// only `before` holds, `added` for one only `after` holds, `both` with the
// key and the two values for one they share. Linear, where a lookup of
// each key in the other map would not be.
template <class Map, class Gone, class Added, class Both>
void walkSorted(Map const& before, Map const& after, Gone gone, Added added, Both both) {
    auto b = before.begin();
    auto a = after.begin();
    while (b != before.end() || a != after.end()) {
        if (a == after.end() || (b != before.end() && b->first < a->first)) {
            gone(b->first, b->second);
            ++b;
        } else if (b == before.end() || a->first < b->first) {
            added(a->first, a->second);
            ++a;
        } else {
            both(a->first, b->second, a->second);
            ++b;
            ++a;
        }
    }
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

std::vector<std::string> Translator::check(Facts const& facts) const {
    std::string const& name = settings_.systemMacLink;
    if (!name.empty()) {
        Link const* link = facts.linkNamed(name);
        if (link == nullptr) {
            throw OptionError("--system-mac: no link named '" + name + "'");
        }
        if (link->loopback) {
            throw OptionError("--system-mac: " + name + " is a loopback link, which has no MAC");
        }
        if (!link->mac || link->mac->isZero()) {
            throw OptionError("--system-mac: " + name + " has no MAC (00:00:00:00:00:00)");
        }
    }
    std::vector<std::string> warnings;
    for (auto const& [lower, vlan] : settings_.vlans) {
        if (facts.linkNamed(lower) == nullptr) {
            warnings.push_back("--vlan: no link named '" + lower + "' yet; VRRP links on it " +
                               "will take VLAN " + std::to_string(vlan) + " when it appears");
        }
    }
    return warnings;
}

std::optional<WantedSystemMac> Translator::systemMac(Facts const& facts) const {
    if (settings_.systemMacLink.empty()) {
        return std::nullopt;
    }
    Link const* link = facts.linkNamed(settings_.systemMacLink);
    if (link != nullptr && !link->loopback && link->mac && !link->mac->isZero()) {
        return WantedSystemMac{*link->mac, true};
    }
    // Gone: the MAC it gave stands for no link until one of that name returns.
    if (applied_.systemMac) {
        return WantedSystemMac{applied_.systemMac->mac, false};
    }
    return std::nullopt;
}

Wanted Translator::wanted(Facts const& facts) const {
    Wanted w;
    w.systemMac = systemMac(facts);
    auto const isSystemMac = [&](Pakt::EthAddr mac) {
        return w.systemMac && w.systemMac->valid && w.systemMac->mac == mac;
    };
    for (auto const& [index, link] : facts.links()) {
        if (!link.mac || link.mac->isZero() || link.loopback) {
            continue;
        }
        if (isVrrpMac(*link.mac)) {
            if (vrrpMaster(link, facts)) {
                w.vrrp.emplace(VrrpKey{*link.mac, vrrpVlan(link, facts)}, sourceOf(link, facts));
            }
            continue;
        }
        // The system MAC stands for every link that carries it: as an
        // interface MAC too, turning it off would take the key both share.
        if (isSystemMac(*link.mac)) {
            continue;
        }
        bool const on = routing(link, facts);
        auto it = w.routerMacs.lower_bound(*link.mac);
        if (it == w.routerMacs.end() || it->first != *link.mac) {
            w.routerMacs.emplace_hint(it, *link.mac, WantedRouterMac{on, sourceOf(link, facts)});
        } else if (on && !it->second.routing) {
            it->second = {true, sourceOf(link, facts)};
        }
    }
    return w;
}

void Translator::warnVlanZero(Wanted const& want) {
    for (auto const& [key, source] : want.vrrp) {
        if (key.vlan != 0 || !warnedLinks_.insert(source.link).second) {
            continue;
        }
        warnings_.push_back("VRRP link " + source.link +
                            (source.lower.empty()
                                 ? " has no lower link in this namespace and goes in at VLAN 0"
                                 : " goes in at VLAN 0: its lower link " + source.lower +
                                       " has no VLAN; --vlan " + source.lower +
                                       "=N would put it on VLAN N"));
    }
}

std::vector<Change> Translator::commands(Facts const& facts) {
    namespace S = Scenario;
    Wanted want = wanted(facts);
    warnVlanZero(want);
    // Withdrawals first, so that the switch never holds more than either
    // the old or the new state asks for; the system MAC before additions,
    // so that a MAC it gives up is free to be an interface MAC.
    std::vector<Change> out, sets, adds;
    walkSorted(
        applied_.vrrp, want.vrrp,
        [&](VrrpKey const& k, Source const& s) {
            out.push_back({S::VrrpDel{k.mac, k.vlan}, s});
        },
        [&](VrrpKey const& k, Source const& s) {
            adds.push_back({S::VrrpAdd{k.mac, k.vlan}, s});
        },
        [](VrrpKey const&, Source const&, Source const&) {});
    auto const set = [&](Pakt::EthAddr mac, WantedRouterMac const& w) {
        sets.push_back({S::RouterMacSet{interfaceKey(mac), w.routing}, w.source});
    };
    walkSorted(
        applied_.routerMacs, want.routerMacs,
        [&](Pakt::EthAddr mac, WantedRouterMac const& w) {
            out.push_back({S::RouterMacDel{interfaceKey(mac)}, w.source});
        },
        set,
        [&](Pakt::EthAddr mac, WantedRouterMac const& before, WantedRouterMac const& now) {
            // Routing stops with the link that had it on: its change is the
            // one followed, even when another link sharing the MAC is named
            // first.
            if (before.routing != now.routing) {
                set(mac, now.routing ? now : WantedRouterMac{false, before.source});
            }
        });
    if (want.systemMac && want.systemMac != applied_.systemMac) {
        Link const* link = facts.linkNamed(settings_.systemMacLink);
        out.push_back(
            {S::RoutingConfig{S::RouterKind::system, want.systemMac->mac, want.systemMac->valid},
             link ? sourceOf(*link, facts) : Source{settings_.systemMacLink, ""}});
    }
    std::ranges::move(sets, std::back_inserter(out));
    std::ranges::move(adds, std::back_inserter(out));
    applied_ = std::move(want);
    return out;
}

}  // namespace PlinthAgent::Kernel
