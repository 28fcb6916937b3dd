#include "BrixHelper/VrrpSmHelper.h"

namespace BrixHelper {

void CurrentVrrpStateForInit::virtualRouterMacVlanIs(bool programmed,
                                                     Bridging::MacVlanPair const& pair) {
    if (programmed) {
        macVlans_.insert(pair);
    } else {
        macVlans_.erase(pair);
    }
}

}  // namespace BrixHelper
