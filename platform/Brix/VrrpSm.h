#pragma once

#include <map>
#include <set>

#include "Bridging/MacVlanPair.h"
#include "Brix/VirtualRouterMacTable.h"
#include "BrixHelper/VrrpSmHelper.h"
#include "Kel/Ptr.h"
#include "Vosk/Publisher.h"
#include "Vosk/String.h"

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
// interface carrying the MAC and every VLAN id of that interface. Follows
// changes of both inputs. A null input counts as empty; with a null output
// the reactor does nothing.
class LibSm : public Kel::PtrInterface {
  public:
    using VirtualRouterMacStatus = Routing::Fhrp::VirtualRouterMacStatus;

    // Created with notifications on: the output is filled at once.
    static Kel::Ptr<LibSm> LibSmIs(Kel::Ptr<VirtualRouterMacStatus const> virtualRouterMacStatusIn,
                                   Kel::Ptr<IntfVlanIdSet::Table const> intfVlanIdSetTable,
                                   Kel::Ptr<VirtualRouterMacTable> virtualRouterMacTableOut);
    ~LibSm() override;

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
    using Pairs = std::set<Bridging::MacVlanPair>;

    LibSm(Kel::Ptr<VirtualRouterMacStatus const> virtualRouterMacStatusIn,
          Kel::Ptr<IntfVlanIdSet::Table const> intfVlanIdSetTable,
          Kel::Ptr<VirtualRouterMacTable> virtualRouterMacTableOut);

    static void virtualRouterMacStatusInDispatch(Vosk::Publisher*, Vosk::Subscriber* subscriber,
                                                 short attribute, void const* key, void const*);
    static void intfVlanIdSetTableDispatch(Vosk::Publisher*, Vosk::Subscriber* subscriber,
                                           short attribute, void const* key, void const*);

    // Recomputes what `intf` contributes and applies the difference.
    void handleIntf(Vosk::String const& intf);
    // Every interface again, then drops output pairs that nothing explains.
    void handleAll();
    Pairs pairsOf(Vosk::String const& intf) const;
    void pairRefAdd(Bridging::MacVlanPair const& pair);
    void pairRefRelease(Bridging::MacVlanPair const& pair);

    Kel::Ptr<VirtualRouterMacStatus const> virtualRouterMacStatusIn_;
    Kel::Ptr<IntfVlanIdSet::Table const> intfVlanIdSetTable_;
    Kel::Ptr<VirtualRouterMacTable> virtualRouterMacTableOut_;
    // What each interface puts into the output, and for each output pair how
    // many interfaces put it there: two interfaces may carry the same MAC on
    // a shared VLAN, and the pair stays until the last of them lets go.
    std::map<Vosk::String, Pairs> intfPairs_;
    std::map<Bridging::MacVlanPair, unsigned> pairRefs_;
    // Declared after the inputs, so they unsubscribe before the inputs go.
    Vosk::Subscriber virtualRouterMacStatusInSub_;
    Vosk::Subscriber intfVlanIdSetTableSub_;
};

}  // namespace Brix::VrrpPrivateVlanReflectorLib

namespace Brix {

// Drives a chip's VRRP helper from the virtual-MAC table. When it first
// starts it asks the helper what is already programmed and then requests
// every (MAC, VLAN) of the table; from then on it adds each pair that enters
// the table and deletes each that leaves. While the hardware status says
// that VRRP is unsupported (or is null) it programs nothing and withdraws
// what it had added; it catches up once VRRP is supported. A null helper
// makes it do nothing.
class VrrpSm : public Kel::PtrInterface {
  public:
    using VirtualRouterMacTable = VrrpPrivateVlanReflectorLib::VirtualRouterMacTable;
    using HwStatus = Routing::Fhrp::Hardware::Status;
    using Pairs = std::set<Bridging::MacVlanPair>;

    // Created with notifications on: it starts at once.
    static Kel::Ptr<VrrpSm> VrrpSmIs(Kel::Ptr<VirtualRouterMacTable const> vrrpMacStatus,
                                     Kel::Ptr<HwStatus const> vrrpHwStatus,
                                     Kel::Ptr<BrixHelper::VrrpSmHelper> vrrpHelper);
    ~VrrpSm() override;

    void hasNotificationActiveIs(bool active) override;
    Kel::TypeImpl const* fwkType() const override;

    Kel::Ptr<VirtualRouterMacTable const> const& vrrpMacStatus() const { return vrrpMacStatus_; }
    Kel::Ptr<HwStatus const> const& vrrpHwStatus() const { return vrrpHwStatus_; }
    Kel::Ptr<BrixHelper::VrrpSmHelper> const& vrrpHelper() const { return vrrpHelper_; }
    // What the helper reported as already programmed when the machine
    // started; null before the start.
    Kel::Ptr<BrixHelper::CurrentVrrpStateForInit> const& currentStateForInit() const {
        return currentStateForInit_;
    }
    // The pairs the helper holds on this machine's behalf: reported at the
    // start or accepted by an add, and not deleted since.
    Pairs const& programmed() const { return programmed_; }

  private:
    VrrpSm(Kel::Ptr<VirtualRouterMacTable const> vrrpMacStatus,
           Kel::Ptr<HwStatus const> vrrpHwStatus, Kel::Ptr<BrixHelper::VrrpSmHelper> vrrpHelper);

    static void vrrpMacStatusDispatch(Vosk::Publisher*, Vosk::Subscriber* subscriber,
                                      short attribute, void const* key, void const*);
    static void vrrpHwStatusDispatch(Vosk::Publisher*, Vosk::Subscriber* subscriber,
                                     short attribute, void const* key, void const*);

    void handleStart();
    void handleMacVlan(Bridging::MacVlanPair const& pair);
    // Brings the helper in line with the table and the hardware status;
    // `addAll` requests again the pairs that are already programmed.
    void handleAll(bool addAll);
    bool vrrpSupported() const;
    bool wanted(Bridging::MacVlanPair const& pair) const;
    void add(Bridging::MacVlanPair const& pair);
    void remove(Bridging::MacVlanPair const& pair);

    Kel::Ptr<VirtualRouterMacTable const> vrrpMacStatus_;
    Kel::Ptr<HwStatus const> vrrpHwStatus_;
    Kel::Ptr<BrixHelper::VrrpSmHelper> vrrpHelper_;
    Kel::Ptr<BrixHelper::CurrentVrrpStateForInit> currentStateForInit_;
    Pairs programmed_;
    bool started_ = false;
    // Declared after the inputs, so they unsubscribe before the inputs go.
    Vosk::Subscriber vrrpMacStatusSub_;
    Vosk::Subscriber vrrpHwStatusSub_;
};

}  // namespace Brix
