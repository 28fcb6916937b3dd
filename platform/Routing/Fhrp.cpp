#include "Routing/Fhrp.h"

#include "Kel/Type.h"

namespace Routing::Fhrp {

namespace {

using Hardware::Status;

Kel::TypeImpl const hwStatusType(
    "Routing::Fhrp::Hardware::Status",
    {Kel::attrRead<Status>("anygwSupported", [](auto& s) { return s.anygwSupported(); }),
     Kel::attrRead<Status>("vrrpSupported", [](auto& s) { return s.vrrpSupported(); }),
     Kel::attrRead<Status>("vrrpSupportedMaxNum", [](auto& s) { return s.vrrpSupportedMaxNum(); }),
     Kel::attrRead<Status>("vrrpMacAsAnygwMacSupported",
                           [](auto& s) { return s.vrrpMacAsAnygwMacSupported(); }),
     Kel::attrRead<Status>("useUniqueGroupIds", [](auto& s) { return s.useUniqueGroupIds(); }),
     Kel::attrRead<Status>("requireGlobalIpRouting",
                           [](auto& s) { return s.requireGlobalIpRouting(); }),
     Kel::attrRead<Status>("vrrpSubinterfaceSupported",
                           [](auto& s) { return s.vrrpSubinterfaceSupported(); })},
    Kel::createByName<Status>);

Kel::ModuleRegistration const registration({"RoutingFhrp", {&hwStatusType}});

}  // namespace

Kel::TypeImpl const* Hardware::Status::fwkType() const {
    return &hwStatusType;
}

void VirtualRouterMacStatus::virtualMacIs(IntfMac const& entry) {
    if (virtualMacs_.insert(entry).second) {
        notify(kVirtualMacAttr, &entry, &entry);
    }
}

void VirtualRouterMacStatus::virtualMacDel(IntfMac const& entry) {
    if (virtualMacs_.erase(entry) > 0) {
        notify(kVirtualMacAttr, &entry, nullptr);
    }
}

}  // namespace Routing::Fhrp
