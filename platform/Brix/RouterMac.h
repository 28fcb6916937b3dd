#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string_view>

#include <absl/hash/hash.h>

#include "Kel/Collection.h"
#include "Kel/Entity.h"
#include "Kel/Type.h"
#include "Pakt/EthAddr.h"

namespace Brix {

// The kinds of router MAC the forwarding layer announces.
enum class MacType : std::uint8_t {
    system = 0,
    virtualRouter = 1,
    vrrp = 2,
    mlagPeer = 3,
    sharedRouterEncap = 4,  // the MLAG shared-router encapsulation MAC
    interface = 5,
    gateway = 6,
};
inline constexpr unsigned kMacTypeCount = 7;
// "system", "virtual", "vrrp", "mlag-peer", "shared-router-encap",
// "interface", "gateway".
std::string_view macTypeName(MacType type);
bool macTypeFromName(std::string_view name, MacType* type);
std::ostream& operator<<(std::ostream& os, MacType type);

// The key of the router-MAC database: a MAC with its type.
struct MacTypeMask {
    Pakt::EthAddr mac;
    MacType macType = MacType::system;

    friend bool operator==(MacTypeMask const&, MacTypeMask const&) = default;
    friend auto operator<=>(MacTypeMask const&, MacTypeMask const&) = default;
};
std::ostream& operator<<(std::ostream& os, MacTypeMask const& key);

// Mixed, not the raw bits: open-addressed tables take the probe position
// and a tag from different bits of the hash, and MACs of one vendor differ
// only in a few low bits.
struct MacTypeMaskHash {
    std::size_t operator()(MacTypeMask const& k) const noexcept {
        return absl::HashOf(k.mac.value(), static_cast<std::uint8_t>(k.macType));
    }
};

// What the forwarding layer knows of one router MAC.
struct BrixRouterMac {
    bool v4OrV6RoutingEnabled = false;
    friend bool operator==(BrixRouterMac const&, BrixRouterMac const&) = default;
};

// The router-MAC database. Notifies the changed key (value: the new entry,
// or null when removed) on every real change.
class BrixRouterMacDb : public Kel::NotifyingEntity {
  public:
    static constexpr short kRouterMacAttr = 0;
    using RouterMacs = Kel::Collection<MacTypeMask, BrixRouterMac, MacTypeMaskHash>;

    Kel::TypeImpl const* fwkType() const override {
        return Kel::plainType<BrixRouterMacDb>("Brix::BrixRouterMacDb");
    }

    RouterMacs const& routerMac() const { return routerMacs_; }
    void routerMacIs(MacTypeMask const& key, BrixRouterMac const& entry);
    void routerMacDel(MacTypeMask const& key);

  private:
    RouterMacs routerMacs_;
};

// How far the forwarding layer got with a router MAC.
enum class RouterMacStatus : std::uint8_t {
    unknown = 0,
    pending = 1,
    programmed = 2,
};

// The status of one router MAC, kept by whoever programs it. A plain value:
// the database holds its records in place.
class BrixRouterMacStatus {
  public:
    explicit BrixRouterMacStatus(MacTypeMask key) : key_(key) {}

    MacTypeMask const& key() const { return key_; }
    bool v4OrV6RoutingEnabled() const { return v4OrV6RoutingEnabled_; }
    void v4OrV6RoutingEnabledIs(bool enabled) { v4OrV6RoutingEnabled_ = enabled; }
    RouterMacStatus status() const { return status_; }
    void statusIs(RouterMacStatus status) { status_ = status; }

    friend bool operator==(BrixRouterMacStatus const&, BrixRouterMacStatus const&) = default;

  private:
    MacTypeMask key_;
    bool v4OrV6RoutingEnabled_ = false;
    RouterMacStatus status_ = RouterMacStatus::unknown;
};

// The status records of the router MACs. Lives in the system database, so
// it outlives a restart of the agent that writes it. It announces a record's
// arrival (value: a copy of the new record) and removal (value: null); the
// writes to a record's fields are not announced.
class BrixRouterMacStatusDb : public Kel::NotifyingEntity {
  public:
    static constexpr short kMacStatusDbAttr = 0;
    using Records = Kel::Collection<MacTypeMask, BrixRouterMacStatus, MacTypeMaskHash>;

    explicit BrixRouterMacStatusDb(Vosk::String name = "l3RouterMacStatusDb")
        : NotifyingEntity(std::move(name)) {}
    Kel::TypeImpl const* fwkType() const override {
        return Kel::plainType<BrixRouterMacStatusDb>("Brix::BrixRouterMacStatusDb");
    }

    Records const& macStatusDb() const { return records_; }
    bool macStatusDbHas(MacTypeMask const& key) const { return records_.contains(key); }
    // Null when absent; good only until the next write to this database.
    BrixRouterMacStatus const* macStatusDb(MacTypeMask const& key) const {
        return records_.find(key);
    }
    // The record of `key`, made when absent, to be written in place; good
    // only until the next write to this database.
    BrixRouterMacStatus& macStatusDbIs(MacTypeMask const& key);
    void macStatusDbDel(MacTypeMask const& key);

  private:
    Records records_;
    // What macStatusDbIs hands back when a subscriber removed the record it
    // was announcing: the caller's writes then reach nothing, as they would
    // on any record deleted under its feet.
    BrixRouterMacStatus detached_{MacTypeMask{}};
};

}  // namespace Brix
