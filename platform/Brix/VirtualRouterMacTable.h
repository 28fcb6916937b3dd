#pragma once

#include <unordered_set>

#include "Bridging/MacVlanPair.h"
#include "Kel/Entity.h"
#include "Kel/Type.h"

namespace Brix::VrrpPrivateVlanReflectorLib {

// The virtual router MACs to accept, each on one VLAN. Notifies the changed
// pair (key: Bridging::MacVlanPair; value: the pair when added, null when
// removed).
class VirtualRouterMacTable : public Kel::NotifyingEntity {
  public:
    static constexpr short kMacVlanAttr = 0;
    using MacVlans = std::unordered_set<Bridging::MacVlanPair>;

    Kel::TypeImpl const* fwkType() const override {
        return Kel::plainType<VirtualRouterMacTable>(
            "Brix::VrrpPrivateVlanReflectorLib::VirtualRouterMacTable");
    }

    MacVlans const& macVlan() const { return macVlans_; }
    bool macVlanHas(Bridging::MacVlanPair const& pair) const { return macVlans_.contains(pair); }
    void macVlanIs(Bridging::MacVlanPair const& pair);
    void macVlanDel(Bridging::MacVlanPair const& pair);

  private:
    MacVlans macVlans_;
};

}  // namespace Brix::VrrpPrivateVlanReflectorLib
