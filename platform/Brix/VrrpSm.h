#pragma once

#include <set>

#include "Bridging/MacVlanPair.h"
#include "Brix/VirtualRouterMacTable.h"
#include "BrixHelper/VrrpSmHelper.h"
#include "Kel/Ptr.h"
#include "Kel/Subscription.h"
#include "Kel/Type.h"

namespace IntfVlanIdSet {
class Table;
}
namespace Routing::Fhrp {
class VirtualRouterMacStatus;
}
namespace Routing::Fhrp::Hardware {
class Status;
}

namespace Brix::VrrpPrivateVlanReflectorLib {

// Reflects the virtual router MACs that are active per interface onto the
// VLANs of that interface: the output table holds (MAC, VLAN) for every
// interface carrying the MAC and every VLAN id of that interface, and
// nothing else. Follows changes of both inputs. A null input counts as
// empty; with a null output the reactor does nothing.
class LibSm : public Kel::PtrInterface {
  public:
    using VirtualRouterMacStatus = Routing::Fhrp::VirtualRouterMacStatus;

    // Created with notifications on: the output is filled at once.
    static Kel::Ptr<LibSm> LibSmIs(Kel::Ptr<VirtualRouterMacStatus const> virtualRouterMacStatusIn,
                                   Kel::Ptr<IntfVlanIdSet::Table const> intfVlanIdSetTable,
                                   Kel::Ptr<VirtualRouterMacTable> virtualRouterMacTableOut);

    void hasNotificationActiveIs(bool active) override;
    Kel::TypeImpl const* fwkType() const override;

    Kel::Ptr<VirtualRouterMacStatus const> const& virtualRouterMacStatusIn() const {
        return virtualRouterMacStatusIn_;
    }
    Kel::Ptr<IntfVlanIdSet::Table const> const& intfVlanIdSetTable() const {
        return intfVlanIdSetTable_;
    }
    Kel::Ptr<VirtualRouterMacTable> const& virtualRouterMacTableOut() const {
        return virtualRouterMacTableOut_;
    }

  private:
    LibSm(Kel::Ptr<VirtualRouterMacStatus const> virtualRouterMacStatusIn,
          Kel::Ptr<IntfVlanIdSet::Table const> intfVlanIdSetTable,
          Kel::Ptr<VirtualRouterMacTable> virtualRouterMacTableOut);

    static void inputDispatch(Vosk::Publisher*, Vosk::Subscriber* subscriber, short attribute,
                              void const* key, void const*);
    // Brings the output in line with both inputs.
    void handleInputs();

    Kel::Ptr<VirtualRouterMacStatus const> virtualRouterMacStatusIn_;
    Kel::Subscription<VirtualRouterMacStatus const> virtualRouterMacStatusInSubscription_{
        virtualRouterMacStatusIn_, this, &inputDispatch};
    Kel::Ptr<IntfVlanIdSet::Table const> intfVlanIdSetTable_;
    Kel::Subscription<IntfVlanIdSet::Table const> intfVlanIdSetTableSubscription_{
        intfVlanIdSetTable_, this, &inputDispatch};
    Kel::Ptr<VirtualRouterMacTable> virtualRouterMacTableOut_;
};

}  // namespace Brix::VrrpPrivateVlanReflectorLib

namespace Brix {

// Drives a chip's VRRP helper from the virtual-MAC table. When it starts it
// asks the helper what is already programmed and then requests every
// (MAC, VLAN) of the table; from then on it adds each pair that enters the
// table and deletes each that leaves. While the hardware status says that
// VRRP is unsupported (or is null) it requests nothing. A null helper makes
// it do nothing.
class VrrpSm : public Kel::PtrInterface {
  public:
    using VirtualRouterMacTable = VrrpPrivateVlanReflectorLib::VirtualRouterMacTable;
    using HwStatus = Routing::Fhrp::Hardware::Status;
    using Pairs = std::set<Bridging::MacVlanPair>;

    // Created with notifications on: it starts at once.
    static Kel::Ptr<VrrpSm> VrrpSmIs(Kel::Ptr<VirtualRouterMacTable const> vrrpMacStatus,
                                     Kel::Ptr<HwStatus const> vrrpHwStatus,
                                     Kel::Ptr<BrixHelper::VrrpSmHelper> vrrpHelper);

    void hasNotificationActiveIs(bool active) override;
    Kel::TypeImpl const* fwkType() const override { return Kel::plainType<VrrpSm>("Brix::VrrpSm"); }

    Kel::Ptr<VirtualRouterMacTable const> const& vrrpMacStatus() const { return vrrpMacStatus_; }
    Kel::Ptr<HwStatus const> const& vrrpHwStatus() const { return vrrpHwStatus_; }
    Kel::Ptr<BrixHelper::VrrpSmHelper> const& vrrpHelper() const { return vrrpHelper_; }
    // What the helper reported as already programmed when this machine
    // started; null before it started.
    Kel::Ptr<BrixHelper::CurrentVrrpStateForInit> const& currentStateForInit() const {
        return currentStateForInit_;
    }

  private:
    VrrpSm(Kel::Ptr<VirtualRouterMacTable const> vrrpMacStatus,
           Kel::Ptr<HwStatus const> vrrpHwStatus, Kel::Ptr<BrixHelper::VrrpSmHelper> vrrpHelper);

    static void vrrpMacStatusDispatch(Vosk::Publisher*, Vosk::Subscriber* subscriber,
                                      short attribute, void const* key, void const*);

    void handleStart();
    void handleMacVlan(Bridging::MacVlanPair const& pair);
    bool wanted(Bridging::MacVlanPair const& pair) const;

    Kel::Ptr<VirtualRouterMacTable const> vrrpMacStatus_;
    Kel::Subscription<VirtualRouterMacTable const> vrrpMacStatusSubscription_{
        vrrpMacStatus_, this, &vrrpMacStatusDispatch};
    Kel::Ptr<HwStatus const> vrrpHwStatus_;
    Kel::Ptr<BrixHelper::VrrpSmHelper> vrrpHelper_;
    // What the helper reported as already programmed at the start; null
    // before it.
    Kel::Ptr<BrixHelper::CurrentVrrpStateForInit> currentStateForInit_;
    // The pairs the helper holds on this machine's behalf: reported at the
    // start or accepted by an add, and not deleted since.
    Pairs programmed_;
};

}  // namespace Brix
