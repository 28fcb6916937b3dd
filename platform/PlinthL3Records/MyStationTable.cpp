#include "PlinthL3Records/MyStationTable.h"

#include "Kel/Type.h"

namespace PlinthL3Unicast {

namespace {

Kel::TypeImpl const attrType("PlinthL3Unicast::MyStationAttr", {});

Kel::ModuleRegistration const features({"PlinthL3UnicastFeatures", {&attrType}});

}  // namespace

bool MyStationTable::Entry::operator==(Entry const& o) const {
    return entryFlag1 == o.entryFlag1 && entryFlag2 == o.entryFlag2 && entryFlag3 == o.entryFlag3 &&
           vlanId == o.vlanId && vlanIdMask == o.vlanIdMask && macAddr == o.macAddr &&
           macAddrMask == o.macAddrMask && entryFlag4 == o.entryFlag4 &&
           taggedVlanId == o.taggedVlanId && taggedVlanIdMask == o.taggedVlanIdMask;
}

Kel::Ptr<Asic::PendingWrite> MyStationTable::entryCommit(MacVlanTagged const& key,
                                                         Entry const& entry) {
    entries_.set(key, entry);
    if (mirror_ != nullptr) {
        mirror_->entryCommitted(key, entry);
    }
    if (entry.writeResponse) {
        entry.writeResponse(true);
    }
    return nullptr;
}

void MyStationTable::entryRemove(MacVlanTagged const& key) {
    if (entries_.erase(key) && mirror_ != nullptr) {
        mirror_->entryRemoved(key);
    }
}

void MyStationTable::entryRemoveAll() {
    if (mirror_ != nullptr) {
        for (auto const& key : entries_.keys()) {
            entryRemove(key);
        }
    }
    entries_.clear();
}

Kel::Ptr<MyStationTable> myStationTableFactory() {
    return Kel::newPtr<MyStationTable>();
}

Kel::TypeImpl const* MyStationAttr::fwkType() const {
    return &attrType;
}
Kel::TypeImpl const* myStationAttrType() {
    return &attrType;
}

}  // namespace PlinthL3Unicast
