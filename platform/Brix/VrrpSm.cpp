#include "Brix/VrrpSm.h"

#include <vector>

#include "Brix/L3Status.h"
#include "Kel/Trace.h"
#include "Kel/Type.h"
#include "Routing/Fhrp.h"

namespace Brix {

namespace {

// The reflector and the VRRP machine share a trace handle and a site.
void dispatchFailed(char const* entry, char const* what) {
    static Kel::TraceHandle& handle = Kel::traceHandle("BrixVrrp");
    KEL_TRACE(handle, 0, "Brix/VrrpSm", "%s dropped a change: %s", entry, what);
}

}  // namespace

}  // namespace Brix

namespace Brix::VrrpPrivateVlanReflectorLib {

namespace {

using Pairs = std::set<Bridging::MacVlanPair>;

Kel::TypeImpl const libSmType(
    "Brix::VrrpPrivateVlanReflectorLib::LibSm",
    {Kel::attrRead<LibSm>("virtualRouterMacStatusIn",
                          [](auto& sm) { return sm.virtualRouterMacStatusIn(); }),
     Kel::attrRead<LibSm>("intfVlanIdSetTable", [](auto& sm) { return sm.intfVlanIdSetTable(); }),
     Kel::attrRead<LibSm>("virtualRouterMacTableOut",
                          [](auto& sm) { return sm.virtualRouterMacTableOut(); })});

// Every (MAC, VLAN) that an interface carrying the MAC has the VLAN of.
Pairs reflected(Routing::Fhrp::VirtualRouterMacStatus const& status,
                IntfVlanIdSet::Table const& vlans) {
    Pairs pairs;
    for (auto const& [intf, mac] : status.virtualMac()) {
        if (IntfVlanIdSet::Table::VlanIds const* ids = vlans.vlanIds(intf)) {
            for (std::uint32_t vlan : *ids) {
                pairs.insert({mac, vlan});
            }
        }
    }
    return pairs;
}

}  // namespace

Kel::Ptr<LibSm> LibSm::LibSmIs(Kel::Ptr<VirtualRouterMacStatus const> virtualRouterMacStatusIn,
                               Kel::Ptr<IntfVlanIdSet::Table const> intfVlanIdSetTable,
                               Kel::Ptr<VirtualRouterMacTable> virtualRouterMacTableOut) {
    Kel::Ptr<LibSm> sm(new LibSm(std::move(virtualRouterMacStatusIn), std::move(intfVlanIdSetTable),
                                 std::move(virtualRouterMacTableOut)));
    sm->hasNotificationActiveIs(true);
    return sm;
}

LibSm::LibSm(Kel::Ptr<VirtualRouterMacStatus const> virtualRouterMacStatusIn,
             Kel::Ptr<IntfVlanIdSet::Table const> intfVlanIdSetTable,
             Kel::Ptr<VirtualRouterMacTable> virtualRouterMacTableOut)
    : virtualRouterMacStatusIn_(std::move(virtualRouterMacStatusIn)),
      intfVlanIdSetTable_(std::move(intfVlanIdSetTable)),
      virtualRouterMacTableOut_(std::move(virtualRouterMacTableOut)) {}

Kel::TypeImpl const* LibSm::fwkType() const {
    return &libSmType;
}

void LibSm::hasNotificationActiveIs(bool active) {
    if (Kel::notificationActiveIs<PtrInterface>(*this, active,
                                                virtualRouterMacStatusInSubscription_,
                                                intfVlanIdSetTableSubscription_) &&
        active) {
        handleInputs();  // whatever the inputs hold already
    }
}

void LibSm::inputDispatch(Vosk::Publisher*, Vosk::Subscriber* subscriber, short attribute,
                          void const*, void const*) {
    // Both inputs announce their one collection under the same identity.
    static_assert(VirtualRouterMacStatus::kVirtualMacAttr == IntfVlanIdSet::Table::kVlanIdsAttr);
    bool const watched = attribute == VirtualRouterMacStatus::kVirtualMacAttr;
    Kel::dispatchTo<LibSm>(&dispatchFailed, "inputDispatch", subscriber, watched,
                           [](auto& sm) { sm.handleInputs(); });
}

void LibSm::handleInputs() {
    if (!virtualRouterMacTableOut_) {
        return;
    }
    Pairs const wanted = virtualRouterMacStatusIn_ && intfVlanIdSetTable_
                             ? reflected(*virtualRouterMacStatusIn_, *intfVlanIdSetTable_)
                             : Pairs();
    VirtualRouterMacTable& out = *virtualRouterMacTableOut_;
    // Additions first, so that a pair that stays never blinks.
    for (auto const& pair : wanted) {
        out.macVlanIs(pair);
    }
    std::vector<Bridging::MacVlanPair> stale;
    for (auto const& pair : out.macVlan()) {
        if (!wanted.contains(pair)) {
            stale.push_back(pair);
        }
    }
    for (auto const& pair : stale) {
        out.macVlanDel(pair);
    }
}

}  // namespace Brix::VrrpPrivateVlanReflectorLib

namespace Brix {

namespace {

Kel::ModuleRegistration const registration({"BrixVrrpSm",
                                            {&VrrpPrivateVlanReflectorLib::libSmType}});

}  // namespace

Kel::Ptr<VrrpSm> VrrpSm::VrrpSmIs(Kel::Ptr<VirtualRouterMacTable const> vrrpMacStatus,
                                  Kel::Ptr<HwStatus const> vrrpHwStatus,
                                  Kel::Ptr<BrixHelper::VrrpSmHelper> vrrpHelper) {
    Kel::Ptr<VrrpSm> sm(
        new VrrpSm(std::move(vrrpMacStatus), std::move(vrrpHwStatus), std::move(vrrpHelper)));
    sm->hasNotificationActiveIs(true);
    return sm;
}

VrrpSm::VrrpSm(Kel::Ptr<VirtualRouterMacTable const> vrrpMacStatus,
               Kel::Ptr<HwStatus const> vrrpHwStatus, Kel::Ptr<BrixHelper::VrrpSmHelper> vrrpHelper)
    : vrrpMacStatus_(std::move(vrrpMacStatus)),
      vrrpHwStatus_(std::move(vrrpHwStatus)),
      vrrpHelper_(std::move(vrrpHelper)) {}

// What is programmed stays programmed when the machine goes: the next one
// learns it from the helper's report at its start.
void VrrpSm::hasNotificationActiveIs(bool active) {
    if (Kel::notificationActiveIs<PtrInterface>(*this, active, vrrpMacStatusSubscription_) &&
        active && !currentStateForInit_) {
        handleStart();
    }
}

void VrrpSm::vrrpMacStatusDispatch(Vosk::Publisher*, Vosk::Subscriber* subscriber, short attribute,
                                   void const* key, void const*) {
    bool const watched = attribute == VirtualRouterMacTable::kMacVlanAttr && key != nullptr;
    Kel::dispatchTo<VrrpSm>(&dispatchFailed, "vrrpMacStatusDispatch", subscriber, watched,
                            [key](auto& sm) {
                                // Copied: the key belongs to the change in progress.
                                auto const pair = *static_cast<Bridging::MacVlanPair const*>(key);
                                sm.handleMacVlan(pair);
                            });
}

void VrrpSm::handleStart() {
    if (!vrrpHelper_) {
        return;
    }
    currentStateForInit_ = Kel::newPtr<BrixHelper::CurrentVrrpStateForInit>();
    vrrpHelper_->syncVrrpStateOnInit(currentStateForInit_);
    // Reported pairs are in hardware already; they count as this machine's
    // own, so that those no longer wanted are deleted below.
    programmed_ = currentStateForInit_->virtualRouterMacVlan();
    vrrpHelper_->initializationComplete();
    // Withdrawn first, then requested: every pair of the table is asked for,
    // even one the helper reported.
    for (auto const& pair : Pairs(programmed_)) {
        if (!wanted(pair)) {
            handleMacVlan(pair);
        }
    }
    if (vrrpMacStatus_) {
        Pairs const current(vrrpMacStatus_->macVlan().begin(), vrrpMacStatus_->macVlan().end());
        for (auto const& pair : current) {
            handleMacVlan(pair);
        }
    }
}

bool VrrpSm::wanted(Bridging::MacVlanPair const& pair) const {
    return vrrpHwStatus_ && vrrpHwStatus_->vrrpSupported() && vrrpMacStatus_ &&
           vrrpMacStatus_->macVlanHas(pair);
}

void VrrpSm::handleMacVlan(Bridging::MacVlanPair const& pair) {
    if (!vrrpHelper_) {
        return;
    }
    if (wanted(pair)) {
        // A refused pair leaves nothing to delete later.
        if (vrrpHelper_->addVirtualRouterMac(pair.mac, pair.vlan)) {
            programmed_.insert(pair);
        } else {
            programmed_.erase(pair);
        }
    } else if (programmed_.erase(pair) > 0) {
        vrrpHelper_->deleteVirtualRouterMac(pair.mac, pair.vlan);
    }
}

}  // namespace Brix
