#include "Brix/BrixRouterMacDbSm.h"

#include <utility>

#include "Kel/Trace.h"
#include "Kel/Type.h"

namespace Brix {

namespace {

Kel::TraceHandle& traceHandle() {
    static Kel::TraceHandle& handle = Kel::traceHandle("BrixRouterMacDbSm");
    return handle;
}

Kel::TypeImpl const routerMacDbSmType("Brix::BrixRouterMacDbSm",
                                      BrixRouterMacDbSm::baseAttributes());

Kel::ModuleRegistration const registration({"BrixRouterMacDbSm", {&routerMacDbSmType}});

}  // namespace

BrixRouterMacDbSm::BrixRouterMacDbSm(Kel::Ptr<BrixRouterMacDb const> const& routerMacDb,
                                     Kel::Ptr<BrixRouterMacStatusDb> const& routerMacStatusDb)
    : routerMacDb_(routerMacDb), routerMacStatusDb_(routerMacStatusDb) {}

BrixRouterMacDbSm::~BrixRouterMacDbSm() {
    routerMacDbSubscription_.activeIs(false);
}

std::vector<Kel::AttributeImpl> BrixRouterMacDbSm::baseAttributes() {
    return {
        Kel::attrRead<BrixRouterMacDbSm>("routerMacDb", [](auto& sm) { return sm.routerMacDb(); }),
        Kel::attrRead<BrixRouterMacDbSm>("routerMacStatusDb",
                                         [](auto& sm) { return sm.routerMacStatusDb(); })};
}

Kel::TypeImpl const* BrixRouterMacDbSm::fwkType() const {
    return &routerMacDbSmType;
}

void BrixRouterMacDbSm::initializedIs(bool initialized) {
    bool const turnedOn = initialized && !initialized_;
    bool const changed = initialized != initialized_;
    initialized_ = initialized;
    if (turnedOn) {
        // Drop first: the report below recreates the record of every entry
        // still present, so nothing an earlier run wrote survives unless the
        // database still holds it.
        statusRecordsDrop();
        presentEntriesReport();
    }
    if (changed || initialized) {
        handleInitialized();
    }
}

void BrixRouterMacDbSm::statusRecordsDrop() {
    if (!routerMacStatusDb_) {
        return;
    }
    for (auto const& key : routerMacStatusDb_->macStatusDb().keys()) {
        routerMacStatusDb_->macStatusDbDel(key);
    }
}

void BrixRouterMacDbSm::presentEntriesReport() {
    reported_.clear();
    if (!routerMacDb_) {
        return;
    }
    // A snapshot: the handlers may cause changes that reach the database's
    // map through others before the report is done.
    std::vector<std::pair<MacTypeMask, bool>> present;
    present.reserve(routerMacDb_->routerMac().size());
    for (auto const& [key, entry] : routerMacDb_->routerMac()) {
        present.emplace_back(key, entry.v4OrV6RoutingEnabled);
    }
    for (auto const& [key, routingEnabled] : present) {
        reported_.insert(key);
        handleRouterMac(key, true, routingEnabled);
    }
}

void BrixRouterMacDbSm::hasNotificationActiveIs(bool active) {
    Kel::notificationActiveIs<PtrInterface>(*this, active, routerMacDbSubscription_);
}

void BrixRouterMacDbSm::routerMacDbDispatch(Vosk::Publisher*, Vosk::Subscriber* subscriber,
                                            short attribute, void const* key, void const* value) {
    bool const watched = attribute == BrixRouterMacDb::kRouterMacAttr;
    Kel::dispatchTo<BrixRouterMacDbSm>(
        traceHandle(), "routerMacDbDispatch", subscriber, watched, [key, value](auto& sm) {
            if (sm.initialized_) {
                sm.handleRouterMacDbChange(*static_cast<MacTypeMask const*>(key),
                                           static_cast<BrixRouterMac const*>(value));
            }
        });
}

void BrixRouterMacDbSm::handleRouterMacDbChange(MacTypeMask const& key,
                                                BrixRouterMac const* entry) {
    if (entry != nullptr) {
        reported_.insert(key);
        handleRouterMac(key, true, entry->v4OrV6RoutingEnabled);
    } else if (reported_.erase(key) > 0) {
        handleRouterMac(key, false, false);
    }
}

void BrixRouterMacDbSm::handleRouterMac(MacTypeMask const& macTypeMask, bool present,
                                        bool v4OrV6RoutingEnabled) {
    switch (macTypeMask.macType) {
        case MacType::system:
            return handleSystemMac(macTypeMask, present, v4OrV6RoutingEnabled);
        case MacType::virtualRouter:
            return handleVirtualMac(macTypeMask, present, v4OrV6RoutingEnabled);
        case MacType::vrrp:
            return handleVrrpMac(macTypeMask, present, v4OrV6RoutingEnabled);
        case MacType::mlagPeer:
            return handleMlagPeerMac(macTypeMask, present, v4OrV6RoutingEnabled);
        case MacType::sharedRouterEncap:
            return handleSharedRouterEncapMac(macTypeMask, present, v4OrV6RoutingEnabled);
        case MacType::interface:
            return handleInterfaceMac(macTypeMask, present, v4OrV6RoutingEnabled);
        case MacType::gateway:
            return handleGatewayMac(macTypeMask, present, v4OrV6RoutingEnabled);
    }
}

}  // namespace Brix
