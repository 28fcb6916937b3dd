#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "KernelFacts.h"
#include "Pakt/EthAddr.h"
#include "Scenario.h"

// Turns the kernel's links and addresses into scenario commands: VRRP
// virtual MACs, interface router MACs and the system MAC. Pure: it reads
// facts and remembers what it asked for, nothing else.
namespace PlinthAgent::Kernel {

// A malformed --vlan or similar option value; the message names it.
class OptionError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct FollowSettings {
    // --vlan LOWER=N: the VLAN of VRRP links stacked on LOWER.
    std::map<std::string, std::uint16_t> vlans;
    // --system-mac IFNAME; empty when not given.
    std::string systemMacLink;
};

// "IFNAME=N" with N from 1 to 4094. Throws OptionError.
std::pair<std::string, std::uint16_t> parseVlanOption(std::string_view text);

// 00:00:5e:00:01:xx (VRRP for IPv4) or 00:00:5e:00:02:xx (for IPv6).
bool isVrrpMac(Pakt::EthAddr mac);

// N of an interface named VlanN or vlanN, N from 1 to 4094.
std::optional<std::uint16_t> vlanFromName(std::string_view name);

// The link (and the link it is stacked on) whose state a command follows,
// to name it beside the command.
struct Source {
    std::string link;
    std::string lower;  // empty when none here

    // "LINK" or "LINK on LOWER".
    std::string text() const { return lower.empty() ? link : link + " on " + lower; }
    friend bool operator==(Source const&, Source const&) = default;
};

// One command for the switch and the link it follows.
struct Change {
    Scenario::Command command;
    Source source;
    friend bool operator==(Change const&, Change const&) = default;
};

struct VrrpKey {
    Pakt::EthAddr mac;
    std::uint32_t vlan;
    friend auto operator<=>(VrrpKey const&, VrrpKey const&) = default;
};

struct WantedRouterMac {
    bool routing;
    Source source;  // a link that qualifies when routing is on, else any
};

struct WantedSystemMac {
    Pakt::EthAddr mac;
    bool valid;
    friend bool operator==(WantedSystemMac const&, WantedSystemMac const&) = default;
};

// What the switch should hold for the kernel as it stands.
struct Wanted {
    std::map<VrrpKey, Source> vrrp;
    std::map<Pakt::EthAddr, WantedRouterMac> routerMacs;
    std::optional<WantedSystemMac> systemMac;
};

class Translator {
  public:
    explicit Translator(FollowSettings settings) : settings_(std::move(settings)) {}

    // Checks the settings against the kernel as following starts: throws
    // OptionError for a --system-mac link that cannot give the system MAC,
    // returns warnings for what may still come right (a --vlan link absent).
    std::vector<std::string> check(Facts const& facts) const;

    Wanted wanted(Facts const& facts) const;
    // The commands that take what was applied to what `facts` want, in the
    // order to apply them; from then on they count as applied. Comparing
    // whole states rather than following single notifications lets a full
    // re-read after lost notifications emit only what changed.
    std::vector<Change> commands(Facts const& facts);
    // Warnings about what the commands since the last call could not map
    // (a VRRP link without a VLAN), each link once.
    std::vector<std::string> warningsTake() { return std::exchange(warnings_, {}); }

    FollowSettings const& settings() const { return settings_; }

  private:
    std::uint32_t vrrpVlan(Link const& link, Facts const& facts) const;
    std::optional<WantedSystemMac> systemMac(Facts const& facts) const;
    void warnVlanZero(Wanted const& want);

    FollowSettings settings_;
    Wanted applied_;
    std::set<std::string> warnedLinks_;
    std::vector<std::string> warnings_;
};

}  // namespace PlinthAgent::Kernel
