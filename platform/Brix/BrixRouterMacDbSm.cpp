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

void dispatchFailed(char const* entry, char const* what) {
    KEL_TRACE(traceHandle(), 0, "Brix/BrixRouterMacDbSm", "%s dropped a change: %s", entry, what);
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
    if (changed) {
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
    unreported_.clear();
    reportedWhenSilenced_.clear();
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
    if (!hasNotificationActive()) {
        reportedWhenSilenced_ = routerMacDb_->routerMac().keys();
    }
    for (auto const& [key, routingEnabled] : present) {
        handleRouterMac(key, true, routingEnabled);
    }
}

void BrixRouterMacDbSm::hasNotificationActiveIs(bool active) {
    if (!Kel::notificationActiveIs<PtrInterface>(*this, active, routerMacDbSubscription_) ||
        !initialized_ || !routerMacDb_) {
        return;
    }
    if (active) {
        silenceEnd();
    } else {
        reportedWhenSilenced_ = routerMacDb_->routerMac().keys();
    }
}

// What was added while switched off was never reported.
void BrixRouterMacDbSm::silenceEnd() {
    absl::flat_hash_set<MacTypeMask, MacTypeMaskHash> const reported(reportedWhenSilenced_.begin(),
                                                                     reportedWhenSilenced_.end());
    for (auto const& [key, entry] : routerMacDb_->routerMac()) {
        if (!reported.contains(key)) {
            unreported_.insert(key);
        }
    }
    reportedWhenSilenced_.clear();
}

void BrixRouterMacDbSm::routerMacDbDispatch(Vosk::Publisher*, Vosk::Subscriber* subscriber,
                                            short attribute, void const* key, void const* value) {
    bool const watched = attribute == BrixRouterMacDb::kRouterMacAttr;
    Kel::dispatchTo<BrixRouterMacDbSm>(
        &dispatchFailed, "routerMacDbDispatch", subscriber, watched, [key, value](auto& sm) {
            if (sm.initialized_) {
                sm.handleRouterMacDbChange(*static_cast<MacTypeMask const*>(key),
                                           static_cast<BrixRouterMac const*>(value));
            }
        });
}

void BrixRouterMacDbSm::handleRouterMacDbChange(MacTypeMask const& key,
                                                BrixRouterMac const* entry) {
    bool const unreported = !unreported_.empty() && unreported_.erase(key) > 0;
    if (entry != nullptr) {
        handleRouterMac(key, true, entry->v4OrV6RoutingEnabled);
    } else if (!unreported) {
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
