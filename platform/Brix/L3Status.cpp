#include "Brix/L3Status.h"

#include "Kel/Type.h"

namespace IntfVlanIdSet {

namespace {
Kel::TypeImpl const tableType("IntfVlanIdSet::Table", {}, Kel::createByName<Table>);
}  // namespace

Kel::TypeImpl const* Table::fwkType() const {
    return &tableType;
}

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

namespace {
Kel::TypeImpl const l3StatusType("Brix::L3Status", {}, Kel::createByName<L3Status>);
Kel::ModuleRegistration const registration({"BrixL3Status",
                                            {&l3StatusType, &IntfVlanIdSet::tableType}});
}  // namespace

L3Status::L3Status()
    : Entity("brixL3Status"), intfVlanIdSet_(Kel::newPtr<IntfVlanIdSet::Table>()) {}

Kel::TypeImpl const* L3Status::fwkType() const {
    return &l3StatusType;
}

}  // namespace Brix
