#pragma once

#include <cstdint>
#include <map>
#include <set>

#include "Kel/Entity.h"
#include "Kel/Type.h"

namespace IntfVlanIdSet {

// Which VLAN ids each routed interface (for instance "Vlan100") carries.
// Notifies the changed interface name (key: Vosk::String).
class Table : public Kel::NotifyingEntity {
  public:
    static constexpr short kVlanIdsAttr = 0;
    using VlanIds = std::set<std::uint32_t>;

    Kel::TypeImpl const* fwkType() const override {
        return Kel::plainType<Table>("IntfVlanIdSet::Table");
    }

    std::map<Vosk::String, VlanIds> const& vlanIds() const { return vlanIds_; }
    VlanIds const* vlanIds(Vosk::String const& intf) const;
    void vlanIdIs(Vosk::String const& intf, std::uint32_t vlanId);

  private:
    std::map<Vosk::String, VlanIds> vlanIds_;
};

}  // namespace IntfVlanIdSet

namespace Brix {

// The forwarding layer's shared L3 state, as far as the plug-ins read it.
class L3Status : public Kel::Entity {
  public:
    L3Status();
    Kel::TypeImpl const* fwkType() const override {
        return Kel::plainType<L3Status>("Brix::L3Status");
    }

    Kel::Ptr<IntfVlanIdSet::Table> const& intfVlanIdSet() const { return intfVlanIdSet_; }

  private:
    Kel::Ptr<IntfVlanIdSet::Table> intfVlanIdSet_;
};

}  // namespace Brix
