#pragma once

#include <cstdint>
#include <set>

#include "Bridging/MacVlanPair.h"
#include "Kel/Entity.h"
#include "Kel/Type.h"
#include "Pakt/EthAddr.h"

namespace Brix {

// The root of the forwarding layer's chip helpers: a named entity. The name
// and nameString() are those of Kel::Entity.
class BrixBaseHelper : public Kel::Entity {
  public:
    explicit BrixBaseHelper(Vosk::String name) : Entity(std::move(name)) {}
};

}  // namespace Brix

namespace BrixHelper {

// The VLAN argument type of the VRRP helper operations.
using U32 = std::uint32_t;

// What a VRRP helper reports, when the VRRP state machine starts, as already
// programmed in hardware. The state machine hands a fresh record to
// VrrpSmHelper::syncVrrpStateOnInit and reads it afterwards.
class CurrentVrrpStateForInit : public Kel::PtrInterface {
  public:
    // Ordered so that a dump lists the pairs the same way every time.
    using MacVlans = std::set<Bridging::MacVlanPair>;

    Kel::TypeImpl const* fwkType() const override {
        return Kel::plainType<CurrentVrrpStateForInit>("BrixHelper::CurrentVrrpStateForInit");
    }

    // True records the pair as programmed, false forgets it.
    void virtualRouterMacVlanIs(bool programmed, Bridging::MacVlanPair const& pair);
    MacVlans const& virtualRouterMacVlan() const { return macVlans_; }

  private:
    MacVlans macVlans_;
};

// The chip-specific side of the VRRP state machine: it terminates (or stops
// terminating) a virtual router MAC on a VLAN in hardware. The base programs
// nothing, so that a chip without VRRP support can still be driven.
class VrrpSmHelper : public Brix::BrixBaseHelper {
  public:
    explicit VrrpSmHelper(Vosk::String name) : BrixBaseHelper(std::move(name)) {}

    Kel::TypeImpl const* fwkType() const override {
        return Kel::plainType<VrrpSmHelper>("BrixHelper::VrrpSmHelper");
    }

    // True when the pair is now accepted; the base accepts nothing.
    virtual bool addVirtualRouterMac(Pakt::EthAddr const& /*mac*/, U32 /*vlan*/) { return false; }
    virtual void deleteVirtualRouterMac(Pakt::EthAddr const& /*mac*/, U32 /*vlan*/) {}
    // Reports into `currentState` what is already programmed; the base
    // reports nothing.
    virtual void syncVrrpStateOnInit(Kel::Ptr<CurrentVrrpStateForInit> const& /*currentState*/) {}
    // Called once the state machine has read the report of
    // syncVrrpStateOnInit, before its first add.
    virtual void initializationComplete() {}
};

}  // namespace BrixHelper
