#include "Brix/VrrpSm.h"

#include <exception>
#include <vector>

#include "Brix/L3Status.h"
#include "Kel/Trace.h"
#include "Kel/Type.h"
#include "Routing/Fhrp.h"

namespace Brix {

namespace {

constexpr char const* kSource = "Brix/VrrpSm";

Kel::TraceHandle& traceBrixVrrp() {
    static Kel::TraceHandle& handle = Kel::traceHandle("BrixVrrp");
    return handle;
}

// Subscribes `subscriber` to `input` or unsubscribes it. A null input, or
// one that announces nothing, is left alone.
void subscriptionIs(Vosk::Subscriber& subscriber, Kel::PtrInterface const* input, bool active,
                    Vosk::DispatchFn dispatch, void* owner) {
    Vosk::Publisher* const publisher = input != nullptr ? input->notifieeList() : nullptr;
    if (publisher == nullptr) {
        return;
    }
    if (active && !subscriber.subscribed()) {
        subscriber.dispatch = dispatch;
        subscriber.owner = owner;
        publisher->subscriberAdd(&subscriber, false);
    } else if (!active && subscriber.subscribed()) {
        publisher->subscriberRemove(&subscriber);
        subscriber.dispatch = nullptr;
    }
}

// Runs `handle` on the reactor behind `subscriber` unless it is a zombie.
// Nothing may escape into the publisher, which is half way through fanning
// out a change to other subscribers.
template <class Sm, class Handle>
void dispatchTo(Vosk::Subscriber* subscriber, Handle handle) {
    auto* sm = static_cast<Sm*>(subscriber->owner);
    if (sm->kelMarkedForDeletion()) {
        return;
    }
    try {
        handle(*sm);
    } catch (std::exception const& e) {
        KEL_TRACE(traceBrixVrrp(), 0, kSource, "notification dropped: %s", e.what());
    }
}

}  // namespace

}  // namespace Brix

namespace Brix::VrrpPrivateVlanReflectorLib {

namespace {

Kel::TypeImpl const libSmType(
    "Brix::VrrpPrivateVlanReflectorLib::LibSm",
    {Kel::attrRead<LibSm>("virtualRouterMacStatusIn",
                          [](auto& sm) { return sm.virtualRouterMacStatusIn(); }),
     Kel::attrRead<LibSm>("intfVlanIdSetTable", [](auto& sm) { return sm.intfVlanIdSetTable(); }),
     Kel::attrRead<LibSm>("virtualRouterMacTableOut",
                          [](auto& sm) { return sm.virtualRouterMacTableOut(); })});

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

// The output keeps its pairs: a successor reflecting into the same table
// takes them over at its start.
LibSm::~LibSm() = default;

Kel::TypeImpl const* LibSm::fwkType() const {
    return &libSmType;
}

void LibSm::hasNotificationActiveIs(bool active) {
    if (active == hasNotificationActive()) {
        return;
    }
    PtrInterface::hasNotificationActiveIs(active);
    subscriptionIs(virtualRouterMacStatusInSub_, virtualRouterMacStatusIn_.get(), active,
                   &LibSm::virtualRouterMacStatusInDispatch, this);
    subscriptionIs(intfVlanIdSetTableSub_, intfVlanIdSetTable_.get(), active,
                   &LibSm::intfVlanIdSetTableDispatch, this);
    if (active) {
        // Whatever changed while notifications were off.
        handleAll();
    }
}

void LibSm::virtualRouterMacStatusInDispatch(Vosk::Publisher*, Vosk::Subscriber* subscriber,
                                             short attribute, void const* key, void const*) {
    if (attribute != VirtualRouterMacStatus::kVirtualMacAttr || key == nullptr) {
        return;
    }
    // A copy: the key may belong to the caller of the change.
    Vosk::String const intf = static_cast<Routing::Fhrp::IntfMac const*>(key)->intf;
    dispatchTo<LibSm>(subscriber, [&intf](LibSm& sm) { sm.handleIntf(intf); });
}

void LibSm::intfVlanIdSetTableDispatch(Vosk::Publisher*, Vosk::Subscriber* subscriber,
                                       short attribute, void const* key, void const*) {
    if (attribute != IntfVlanIdSet::Table::kVlanIdsAttr || key == nullptr) {
        return;
    }
    Vosk::String const intf = *static_cast<Vosk::String const*>(key);
    dispatchTo<LibSm>(subscriber, [&intf](LibSm& sm) { sm.handleIntf(intf); });
}

LibSm::Pairs LibSm::pairsOf(Vosk::String const& intf) const {
    Pairs pairs;
    if (!virtualRouterMacStatusIn_ || !intfVlanIdSetTable_) {
        return pairs;
    }
    IntfVlanIdSet::Table::VlanIds const* vlans = intfVlanIdSetTable_->vlanIds(intf);
    if (vlans == nullptr) {
        return pairs;
    }
    // The status is ordered by interface first: the MACs of `intf` are one run.
    auto const& macs = virtualRouterMacStatusIn_->virtualMac();
    for (auto it = macs.lower_bound({intf, Pakt::EthAddr()}); it != macs.end() && it->intf == intf;
         ++it) {
        for (std::uint32_t vlan : *vlans) {
            pairs.insert({it->mac, vlan});
        }
    }
    return pairs;
}

void LibSm::handleIntf(Vosk::String const& intf) {
    if (!virtualRouterMacTableOut_) {
        return;
    }
    Pairs now = pairsOf(intf);
    Pairs before;
    if (auto it = intfPairs_.find(intf); it != intfPairs_.end()) {
        before = std::move(it->second);
        intfPairs_.erase(it);
    }
    if (!now.empty()) {
        intfPairs_.emplace(intf, now);
    }
    // Additions first, so a pair that another interface keeps never blinks.
    for (auto const& pair : now) {
        if (!before.contains(pair)) {
            pairRefAdd(pair);
        }
    }
    for (auto const& pair : before) {
        if (!now.contains(pair)) {
            pairRefRelease(pair);
        }
    }
}

void LibSm::handleAll() {
    if (!virtualRouterMacTableOut_) {
        return;
    }
    std::set<Vosk::String> intfs;
    for (auto const& [intf, pairs] : intfPairs_) {
        intfs.insert(intf);
    }
    if (virtualRouterMacStatusIn_) {
        for (auto const& entry : virtualRouterMacStatusIn_->virtualMac()) {
            intfs.insert(entry.intf);
        }
    }
    for (auto const& intf : intfs) {
        handleIntf(intf);
    }
    // The output is a pure reflection: what no interface explains goes.
    std::vector<Bridging::MacVlanPair> stale;
    for (auto const& pair : virtualRouterMacTableOut_->macVlan()) {
        if (!pairRefs_.contains(pair)) {
            stale.push_back(pair);
        }
    }
    for (auto const& pair : stale) {
        virtualRouterMacTableOut_->macVlanDel(pair);
    }
}

void LibSm::pairRefAdd(Bridging::MacVlanPair const& pair) {
    if (++pairRefs_[pair] == 1) {
        virtualRouterMacTableOut_->macVlanIs(pair);
    }
}

void LibSm::pairRefRelease(Bridging::MacVlanPair const& pair) {
    auto it = pairRefs_.find(pair);
    if (it == pairRefs_.end() || --it->second > 0) {
        return;
    }
    pairRefs_.erase(it);
    virtualRouterMacTableOut_->macVlanDel(pair);
}

}  // namespace Brix::VrrpPrivateVlanReflectorLib

namespace Brix {

namespace {

Kel::TypeImpl const vrrpSmType(
    "Brix::VrrpSm",
    {Kel::attrRead<VrrpSm>("vrrpMacStatus", [](auto& sm) { return sm.vrrpMacStatus(); }),
     Kel::attrRead<VrrpSm>("vrrpHwStatus", [](auto& sm) { return sm.vrrpHwStatus(); }),
     Kel::attrRead<VrrpSm>("vrrpHelper", [](auto& sm) { return sm.vrrpHelper(); }),
     Kel::attrRead<VrrpSm>("currentStateForInit",
                           [](auto& sm) { return sm.currentStateForInit(); })});

Kel::ModuleRegistration const registration(
    {"BrixVrrpSm", {&VrrpPrivateVlanReflectorLib::libSmType, &vrrpSmType}});

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

// What is programmed stays programmed: the next machine learns it from the
// helper's report at its start.
VrrpSm::~VrrpSm() = default;

Kel::TypeImpl const* VrrpSm::fwkType() const {
    return &vrrpSmType;
}

void VrrpSm::hasNotificationActiveIs(bool active) {
    if (active == hasNotificationActive()) {
        return;
    }
    PtrInterface::hasNotificationActiveIs(active);
    subscriptionIs(vrrpMacStatusSub_, vrrpMacStatus_.get(), active, &VrrpSm::vrrpMacStatusDispatch,
                   this);
    subscriptionIs(vrrpHwStatusSub_, vrrpHwStatus_.get(), active, &VrrpSm::vrrpHwStatusDispatch,
                   this);
    if (!active) {
        return;
    }
    if (started_) {
        handleAll(false);  // whatever changed while notifications were off
    } else {
        handleStart();
    }
}

void VrrpSm::vrrpMacStatusDispatch(Vosk::Publisher*, Vosk::Subscriber* subscriber, short attribute,
                                   void const* key, void const*) {
    if (attribute != VirtualRouterMacTable::kMacVlanAttr || key == nullptr) {
        return;
    }
    auto const pair = *static_cast<Bridging::MacVlanPair const*>(key);
    dispatchTo<VrrpSm>(subscriber, [&pair](VrrpSm& sm) { sm.handleMacVlan(pair); });
}

void VrrpSm::vrrpHwStatusDispatch(Vosk::Publisher*, Vosk::Subscriber* subscriber, short attribute,
                                  void const*, void const*) {
    if (attribute != HwStatus::vrrpSupportedAttr) {
        return;
    }
    dispatchTo<VrrpSm>(subscriber, [](VrrpSm& sm) { sm.handleAll(false); });
}

void VrrpSm::handleStart() {
    started_ = true;
    if (!vrrpHelper_) {
        return;
    }
    currentStateForInit_ = Kel::newPtr<BrixHelper::CurrentVrrpStateForInit>();
    vrrpHelper_->syncVrrpStateOnInit(currentStateForInit_);
    // Reported pairs are in hardware already; they count as this machine's
    // own, so that those no longer wanted are deleted below.
    programmed_ = currentStateForInit_->virtualRouterMacVlan();
    vrrpHelper_->initializationComplete();
    handleAll(true);
}

bool VrrpSm::vrrpSupported() const {
    return vrrpHwStatus_ && vrrpHwStatus_->vrrpSupported();
}

bool VrrpSm::wanted(Bridging::MacVlanPair const& pair) const {
    return vrrpSupported() && vrrpMacStatus_ && vrrpMacStatus_->macVlanHas(pair);
}

void VrrpSm::handleMacVlan(Bridging::MacVlanPair const& pair) {
    if (!vrrpHelper_) {
        return;
    }
    bool const want = wanted(pair);
    bool const have = programmed_.contains(pair);
    if (want && !have) {
        add(pair);
    } else if (!want && have) {
        remove(pair);
    }
}

void VrrpSm::handleAll(bool addAll) {
    if (!vrrpHelper_) {
        return;
    }
    // Copies: the helper's calls may change what is iterated.
    Pairs stale;
    for (auto const& pair : programmed_) {
        if (!wanted(pair)) {
            stale.insert(pair);
        }
    }
    for (auto const& pair : stale) {
        remove(pair);
    }
    if (!vrrpSupported() || !vrrpMacStatus_) {
        return;
    }
    Pairs const current(vrrpMacStatus_->macVlan().begin(), vrrpMacStatus_->macVlan().end());
    for (auto const& pair : current) {
        if (addAll || !programmed_.contains(pair)) {
            add(pair);
        }
    }
}

void VrrpSm::add(Bridging::MacVlanPair const& pair) {
    if (vrrpHelper_->addVirtualRouterMac(pair.mac, pair.vlan)) {
        programmed_.insert(pair);
    } else {
        programmed_.erase(pair);  // refused: there is nothing to delete later
    }
}

void VrrpSm::remove(Bridging::MacVlanPair const& pair) {
    programmed_.erase(pair);
    vrrpHelper_->deleteVirtualRouterMac(pair.mac, pair.vlan);
}

}  // namespace Brix
