#include "Brix/RouterMac.h"

#include <array>

namespace Brix {

namespace {

constexpr std::array<std::string_view, kMacTypeCount> kMacTypeNames = {
    "system", "virtual", "vrrp", "mlag-peer", "shared-router-encap", "interface", "gateway"};

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

// Subscribers get copies: one of them may write this database, which moves
// its entries, before the next one reads what it was handed.
void BrixRouterMacDb::routerMacIs(MacTypeMask const& key, BrixRouterMac const& entry) {
    MacTypeMask const k = key;
    BrixRouterMac const value = entry;
    if (routerMacs_.set(k, value)) {
        notify(kRouterMacAttr, &k, &value);
    }
}

void BrixRouterMacDb::routerMacDel(MacTypeMask const& key) {
    MacTypeMask const k = key;
    if (routerMacs_.erase(k)) {
        notify(kRouterMacAttr, &k, nullptr);
    }
}

BrixRouterMacStatus& BrixRouterMacStatusDb::macStatusDbIs(MacTypeMask const& key) {
    MacTypeMask const k = key;
    auto [record, made] = records_.emplace(k, BrixRouterMacStatus(k));
    if (!made || notifieeList()->subscriberCount() == 0) {
        return *record;
    }
    BrixRouterMacStatus const value = *record;
    notify(kMacStatusDbAttr, &k, &value);
    // A subscriber may have written this database, which moves its records.
    if (BrixRouterMacStatus* moved = records_.findMutable(k)) {
        return *moved;
    }
    detached_ = value;
    return detached_;
}

void BrixRouterMacStatusDb::macStatusDbDel(MacTypeMask const& key) {
    MacTypeMask const k = key;
    if (records_.erase(k)) {
        notify(kMacStatusDbAttr, &k, nullptr);
    }
}

}  // namespace Brix
