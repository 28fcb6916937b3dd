#include "Brix/L3Status.h"

namespace IntfVlanIdSet {

Table::VlanIds const* Table::vlanIds(Vosk::String const& intf) const {
    auto it = vlanIds_.find(intf);
    return it == vlanIds_.end() ? nullptr : &it->second;
}

void Table::vlanIdIs(Vosk::String const& intf, std::uint32_t vlanId) {
    if (vlanIds_[intf].insert(vlanId).second) {
        notify(kVlanIdsAttr, &intf, &vlanIds_[intf]);
    }
}

}  // namespace IntfVlanIdSet

namespace Brix {

L3Status::L3Status()
    : Entity("brixL3Status"), intfVlanIdSet_(Kel::newPtr<IntfVlanIdSet::Table>()) {}

}  // namespace Brix
