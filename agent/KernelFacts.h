#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Pakt/EthAddr.h"

// What the agent knows of the kernel's links and addresses, as rtnetlink
// reported them. Plain data: the netlink reader fills it, the translator
// reads it.
namespace PlinthAgent::Kernel {

// Operational states as rtnetlink reports them (IF_OPER_*).
enum class OperState : std::uint8_t {
    unknown = 0,
    notPresent = 1,
    down = 2,
    lowerLayerDown = 3,
    testing = 4,
    dormant = 5,
    up = 6,
};

struct Link {
    int index = 0;
    std::string name;
    // Absent for links without an Ethernet address (tunnels, for instance).
    std::optional<Pakt::EthAddr> mac;
    bool loopback = false;
    bool adminUp = false;
    bool protodown = false;
    OperState operState = OperState::unknown;
    // The link this one is stacked on, 0 when none or in another namespace.
    int lowerIndex = 0;
    // Set when this link is itself an 802.1Q VLAN link.
    std::optional<std::uint16_t> vlanId;
};

// An interface address, compared whole so that a repeated notification
// changes nothing.
struct Address {
    int index = 0;
    std::uint8_t family = 0;
    std::uint8_t prefixLength = 0;
    // IPv4 in the first four bytes; a fixed array, as an address never needs
    // more and a whole-struct comparison stays a plain one.
    std::array<std::uint8_t, 16> bytes{};

    bool ipv6LinkLocal() const;
    friend auto operator<=>(Address const&, Address const&) = default;
};

class Facts {
  public:
    void linkIs(Link link);
    // Forgets the link and every address it held.
    void linkDel(int index);
    void addressIs(Address address);
    void addressDel(Address const& address);

    std::map<int, Link> const& links() const { return links_; }
    Link const* link(int index) const;
    Link const* linkNamed(std::string const& name) const;
    // True when the link holds an address other than an IPv6 link-local one.
    bool hasRoutableAddress(int index) const;
    std::size_t addressCount() const { return addresses_.size(); }

  private:
    std::map<int, Link> links_;
    // Kept apart from the links: an address may be reported before its link.
    std::set<Address> addresses_;
};

}  // namespace PlinthAgent::Kernel
