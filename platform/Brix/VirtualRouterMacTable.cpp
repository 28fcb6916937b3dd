#include "Brix/VirtualRouterMacTable.h"

namespace Brix::VrrpPrivateVlanReflectorLib {

void VirtualRouterMacTable::macVlanIs(Bridging::MacVlanPair const& pair) {
    if (macVlans_.insert(pair).second) {
        notify(kMacVlanAttr, &pair, &pair);
    }
}

void VirtualRouterMacTable::macVlanDel(Bridging::MacVlanPair const& pair) {
    if (macVlans_.erase(pair) > 0) {
        notify(kMacVlanAttr, &pair, nullptr);
    }
}

}  // namespace Brix::VrrpPrivateVlanReflectorLib
