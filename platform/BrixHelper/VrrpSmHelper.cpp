#include "BrixHelper/VrrpSmHelper.h"

#include "Kel/Type.h"

namespace BrixHelper {

namespace {

Kel::TypeImpl const currentStateType("BrixHelper::CurrentVrrpStateForInit", {});
Kel::TypeImpl const vrrpSmHelperType("BrixHelper::VrrpSmHelper", {});

Kel::ModuleRegistration const registration({"BrixHelperVrrpSmHelper",
                                            {&currentStateType, &vrrpSmHelperType}});

}  // namespace

Kel::TypeImpl const* CurrentVrrpStateForInit::fwkType() const {
    return &currentStateType;
}

void CurrentVrrpStateForInit::virtualRouterMacVlanIs(bool programmed,
                                                     Bridging::MacVlanPair const& pair) {
    if (programmed) {
        macVlans_.insert(pair);
    } else {
        macVlans_.erase(pair);
    }
}

Kel::TypeImpl const* VrrpSmHelper::fwkType() const {
    return &vrrpSmHelperType;
}

}  // namespace BrixHelper
