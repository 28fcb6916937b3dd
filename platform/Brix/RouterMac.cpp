#include "Brix/RouterMac.h"

#include <array>

#include "Kel/Type.h"

namespace Brix {

namespace {

constexpr std::array<std::string_view, kMacTypeCount> kMacTypeNames = {
    "system", "virtual", "vrrp", "mlag-peer", "shared-router-encap", "interface", "gateway"};

Kel::TypeImpl const routerMacDbType(
    "Brix::BrixRouterMacDb",
    {Kel::attrRead<BrixRouterMacDb>("routerMac", [](auto& db) { return db.routerMac().size(); })},
    Kel::createByName<BrixRouterMacDb>);
Kel::TypeImpl const routerMacStatusDbType(
    "Brix::BrixRouterMacStatusDb",
    {Kel::attrRead<BrixRouterMacStatusDb>("macStatusDb",
                                          [](auto& db) { return db.macStatusDb().size(); })},
    Kel::createByName<BrixRouterMacStatusDb>);

Kel::ModuleRegistration const registration({"BrixRouterMac",
                                            {&routerMacDbType, &routerMacStatusDbType}});

}  // namespace

std::string_view macTypeName(MacType type) {
    auto n = static_cast<std::size_t>(type);
    return n < kMacTypeNames.size() ? kMacTypeNames[n] : std::string_view("unknown");
}

bool macTypeFromName(std::string_view name, MacType* type) {
    for (std::size_t i = 0; i < kMacTypeNames.size(); ++i) {
        if (kMacTypeNames[i] == name) {
            *type = static_cast<MacType>(i);
            return true;
        }
    }
    return false;
}

std::ostream& operator<<(std::ostream& os, MacType type) {
    return os << macTypeName(type);
}

std::ostream& operator<<(std::ostream& os, MacTypeMask const& key) {
    return os << key.mac << ' ' << key.macType;
}

Kel::TypeImpl const* BrixRouterMacDb::fwkType() const {
    return &routerMacDbType;
}

BrixRouterMac const* BrixRouterMacDb::routerMac(MacTypeMask const& key) const {
    auto it = routerMacs_.find(key);
    return it == routerMacs_.end() ? nullptr : &it->second;
}

void BrixRouterMacDb::routerMacIs(MacTypeMask const& key, BrixRouterMac const& entry) {
    auto [it, inserted] = routerMacs_.try_emplace(key, entry);
    if (!inserted) {
        if (it->second == entry) {
            return;
        }
        it->second = entry;
    }
    notify(kRouterMacAttr, &key, &it->second);
}

void BrixRouterMacDb::routerMacDel(MacTypeMask const& key) {
    if (routerMacs_.erase(key) > 0) {
        notify(kRouterMacAttr, &key, nullptr);
    }
}

Kel::TypeImpl const* BrixRouterMacStatusDb::fwkType() const {
    return &routerMacStatusDbType;
}

Kel::Ptr<BrixRouterMacStatus> BrixRouterMacStatusDb::macStatusDb(MacTypeMask const& key) const {
    auto it = records_.find(key);
    return it == records_.end() ? nullptr : it->second;
}

Kel::Ptr<BrixRouterMacStatus> BrixRouterMacStatusDb::macStatusDbIs(MacTypeMask const& key) {
    auto& record = records_[key];
    if (!record) {
        record = Kel::newPtr<BrixRouterMacStatus>(key);
        notify(kMacStatusDbAttr, &key, record.get());
    }
    return record;
}

void BrixRouterMacStatusDb::macStatusDbDel(MacTypeMask const& key) {
    if (records_.erase(key) > 0) {
        notify(kMacStatusDbAttr, &key, nullptr);
    }
}

}  // namespace Brix
