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

// What the switch should hold for the kernel as it stands.
struct Wanted {
    std::set<std::pair<Pakt::EthAddr, std::uint32_t>> vrrp;  // MAC, VLAN
    std::map<Pakt::EthAddr, bool> routerMacs;                // MAC, routing on
    std::optional<Pakt::EthAddr> systemMac;

    friend bool operator==(Wanted const&, Wanted const&) = default;
};

class Translator {
  public:
    explicit Translator(FollowSettings settings) : settings_(std::move(settings)) {}

    Wanted wanted(Facts const& facts) const;
    // The commands that take what was applied to what `facts` want, in the
    // order to apply them; from then on they count as applied. Comparing
    // whole states rather than following single notifications lets a full
    // re-read after lost notifications emit only what changed.
    std::vector<std::string> commands(Facts const& facts);

    FollowSettings const& settings() const { return settings_; }

  private:
    std::uint32_t vrrpVlan(Link const& link, Facts const& facts) const;

    FollowSettings settings_;
    Wanted applied_;
};

}  // namespace PlinthAgent::Kernel
