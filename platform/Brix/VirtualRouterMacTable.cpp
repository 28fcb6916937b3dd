#include "Brix/VirtualRouterMacTable.h"

#include "Kel/Type.h"

namespace Brix::VrrpPrivateVlanReflectorLib {

namespace {
Kel::TypeImpl const tableType("Brix::VrrpPrivateVlanReflectorLib::VirtualRouterMacTable", {},
                              Kel::createByName<VirtualRouterMacTable>);
Kel::ModuleRegistration const registration({"BrixVrrpPrivateVlanReflectorLib", {&tableType}});
}  // namespace

Kel::TypeImpl const* VirtualRouterMacTable::fwkType() const {
    return &tableType;
}

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
