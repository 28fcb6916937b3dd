#pragma once

#include <utility>

#include "Brix/VirtualRouterMacTable.h"
#include "Corral/Mount.h"
#include "Kel/Ptr.h"
#include "PlinthL3Records/MyStationDir.h"
#include "PlinthL3Unicast/L3MyStationHelperSm.h"
#include "PlinthLib/MounterBase.h"

namespace Brix {
class L3Status;
class VrrpSm;
}  // namespace Brix
namespace Brix::VrrpPrivateVlanReflectorLib {
class LibSm;
}
namespace BrixHelper {
class VrrpSmHelper;
}
namespace IntfVlanIdSet {
class Table;
}
namespace PlinthCentral {
class FeatureAgentCommonSmData;
class L3Capabilities;
}  // namespace PlinthCentral
namespace Routing::Fhrp {
class VirtualRouterMacStatus;
}
namespace Routing::Fhrp::Hardware {
class Status;
}

namespace PlinthL3Unicast {

class L3MyStationSm;
class SmRunningState;
class VrrpSmHelper;

// Whether the VRRP feature toggle is on. Read once per process from the
// toggle service; concurrent first callers wait for the one that reads it.
bool togglePlinthL3UnicastVrrpEnabled();

// The entry object of the My Station plug-in. doInit declares the mounts;
// doMountsComplete looks up the inputs, creates the shared directories and
// the VRRP virtual-MAC table, and publishes the VRRP capabilities.
class MyStationMounter : public PlinthLib::MounterBase {
  public:
    // The VRRP groups the chip family can terminate (not 512: one entry is
    // kept back).
    static constexpr std::uint32_t kVrrpSupportedMaxNum = 511;

    // Notifications are off until hasNotificationActiveIs(true);
    // MyStationMounterIs switches them on.
    explicit MyStationMounter(Vosk::String name);
    static Kel::Ptr<MyStationMounter> MyStationMounterIs(Vosk::String name);

    Kel::TypeImpl const* fwkType() const override;
    ~MyStationMounter() override;
    void doMountsComplete(Corral::MountStatus mountStatus,
                          Kel::Ptr<Corral::EntityManager> em) override;
    void doInit() override;

    // Inputs. Each only keeps a system-database entity alive; setting the
    // entity an attribute already holds changes nothing.
    Kel::Ptr<Brix::BrixRouterMacDb> const& routerMacDb() const { return routerMacDb_; }
    void routerMacDbIs(Kel::Ptr<Brix::BrixRouterMacDb> const& db);
    Kel::Ptr<Brix::BrixRouterMacStatusDb> const& routerMacStatusDb() const {
        return routerMacStatusDb_;
    }
    void routerMacStatusDbIs(Kel::Ptr<Brix::BrixRouterMacStatusDb> const& db);
    Kel::Ptr<Routing::Fhrp::VirtualRouterMacStatus const> const& virtualMacStatusIn() const {
        return virtualMacStatusIn_;
    }
    void virtualMacStatusInIs(Kel::Ptr<Routing::Fhrp::VirtualRouterMacStatus const> const& status);
    Kel::Ptr<Routing::Fhrp::Hardware::Status> const& fhrpHwStatus() const { return fhrpHwStatus_; }
    void fhrpHwStatusIs(Kel::Ptr<Routing::Fhrp::Hardware::Status> const& status);
    Kel::Ptr<PlinthCentral::L3Capabilities const> const& l3Capabilities() const {
        return l3Capabilities_;
    }
    void l3CapabilitiesIs(Kel::Ptr<PlinthCentral::L3Capabilities const> const& capabilities);

    // Owned children. `Is` keeps a present child, so the entries in it
    // survive; `Del` hands the removed child back (null when there was none).
    Kel::Ptr<Brix::VrrpPrivateVlanReflectorLib::VirtualRouterMacTable> const& vrrpMacStatus()
        const {
        return vrrpMacStatus_;
    }
    Kel::Ptr<Brix::VrrpPrivateVlanReflectorLib::VirtualRouterMacTable> vrrpMacStatusIs() {
        return ownedIs(vrrpMacStatus_);
    }
    Kel::Ptr<Brix::VrrpPrivateVlanReflectorLib::VirtualRouterMacTable> vrrpMacStatusDel() {
        return std::exchange(vrrpMacStatus_, nullptr);
    }
    Kel::Ptr<MyStationConfigDir> const& myStationConfigDir() const { return myStationConfigDir_; }
    Kel::Ptr<MyStationConfigDir> myStationConfigDirIs() { return ownedIs(myStationConfigDir_); }
    Kel::Ptr<MyStationConfigDir> myStationConfigDirDel() {
        return std::exchange(myStationConfigDir_, nullptr);
    }
    Kel::Ptr<MyStationStatusDir> const& myStationStatusDir() const { return myStationStatusDir_; }
    Kel::Ptr<MyStationStatusDir> myStationStatusDirIs() { return ownedIs(myStationStatusDir_); }
    Kel::Ptr<MyStationStatusDir> myStationStatusDirDel() {
        return std::exchange(myStationStatusDir_, nullptr);
    }

    // The state machines and the VRRP helper. Each `Is` keeps the present
    // child when every input is the same entity (the helper: the same name
    // and directories) and otherwise replaces it with a new one, switched on;
    // each `Del` silences (the helper: detaches) the child and hands it back.
    Kel::Ptr<L3MyStationHelperSm> const& l3MyStationHelperSm() const {
        return l3MyStationHelperSm_;
    }
    Kel::Ptr<L3MyStationHelperSm> l3MyStationHelperSmIs(
        RouterMacDbIn const& routerMacDb, RouterMacStatusDbIn const& routerMacStatusDb,
        RoutingConfigIn const& myStationRoutingConfig,
        RoutingStatusIn const& myStationRoutingStatus, ConfigDirIn const& myStationConfigDir);
    Kel::Ptr<L3MyStationHelperSm> l3MyStationHelperSmDel();

    Kel::Ptr<L3MyStationSm> const& l3MyStationSm() const { return l3MyStationSm_; }
    Kel::Ptr<L3MyStationSm> l3MyStationSmIs(
        Kel::Ptr<Corral::EntityManager> const& corralEm,
        Kel::Ptr<PlinthCentral::FeatureAgentCommonSmData const> const& fcsd,
        Kel::Ptr<MyStationConfigDir const> const& myStationConfigDir,
        Kel::Ptr<MyStationStatusDir> const& myStationStatusDir,
        Kel::Ptr<SmRunningState> const& smRunningState);
    Kel::Ptr<L3MyStationSm> l3MyStationSmDel();

    Kel::Ptr<Brix::VrrpPrivateVlanReflectorLib::LibSm> const& vrrpPrivateVlanReflectorSm() const {
        return vrrpPrivateVlanReflectorSm_;
    }
    Kel::Ptr<Brix::VrrpPrivateVlanReflectorLib::LibSm> vrrpPrivateVlanReflectorSmIs(
        Kel::Ptr<Routing::Fhrp::VirtualRouterMacStatus const> const& virtualRouterMacStatusIn,
        Kel::Ptr<IntfVlanIdSet::Table const> const& intfVlanIdSetTable,
        Kel::Ptr<Brix::VrrpPrivateVlanReflectorLib::VirtualRouterMacTable> const&
            virtualRouterMacTableOut);
    Kel::Ptr<Brix::VrrpPrivateVlanReflectorLib::LibSm> vrrpPrivateVlanReflectorSmDel();

    Kel::Ptr<VrrpSmHelper> const& vrrpSmHelper() const { return vrrpSmHelper_; }
    Kel::Ptr<VrrpSmHelper> vrrpSmHelperIs(
        Vosk::String const& name, Kel::Ptr<MyStationConfigDir> const& myStationConfigDir,
        Kel::Ptr<MyStationStatusDir const> const& myStationStatusDir);
    Kel::Ptr<VrrpSmHelper> vrrpSmHelperDel();

    Kel::Ptr<Brix::VrrpSm> const& vrrpSm() const { return vrrpSm_; }
    Kel::Ptr<Brix::VrrpSm> vrrpSmIs(
        Kel::Ptr<Brix::VrrpPrivateVlanReflectorLib::VirtualRouterMacTable const> const&
            vrrpMacStatus,
        Kel::Ptr<Routing::Fhrp::Hardware::Status const> const& vrrpHwStatus,
        Kel::Ptr<BrixHelper::VrrpSmHelper> const& vrrpHelper);
    Kel::Ptr<Brix::VrrpSm> vrrpSmDel();

  private:
    // What the wiring looks up but keeps in no attribute: the children made
    // from these hold their own references.
    struct WiringInputs {
        Kel::Ptr<PlinthCentral::FeatureAgentCommonSmData const> featureCommon;
        Kel::Ptr<L3MyStationRoutingConfig const> routingConfig;
        Kel::Ptr<L3MyStationRoutingStatus> routingStatus;
        Kel::Ptr<Brix::L3Status const> brixL3Status;
        // Taken from brixL3Status once the directories and the table exist.
        Kel::Ptr<IntfVlanIdSet::Table const> intfVlanIdSetTable;
    };

    // Fills the five inputs from `em` and looks up the rest.
    WiringInputs inputsLookUp(Corral::EntityManager const* em);
    void inputAttributesIs(Corral::EntityManager const* em);
    // Without the hardware status or the forwarding layer's L3 status the
    // wiring cannot be completed; says so in a trace line.
    bool wiringPossible(WiringInputs const& inputs) const;
    void capabilitiesPublish();
    // Creates the children, in the order that lets each find its inputs and
    // the table programmer exist before anything writes configuration.
    void childrenIs(WiringInputs const& inputs);

    // Keeps a present child; else makes one with notifications on.
    template <class T>
    static Kel::Ptr<T> ownedIs(Kel::Ptr<T>& slot) {
        if (!slot) {
            Kel::Ptr<T> child = Kel::newPtr<T>();
            child->hasNotificationActiveIs(true);
            slot = child;
        }
        return slot;
    }

    // Declaration order is the order of the generic attribute identities.
    Kel::Ptr<Brix::BrixRouterMacDb> routerMacDb_;
    Kel::Ptr<Brix::BrixRouterMacStatusDb> routerMacStatusDb_;
    Kel::Ptr<Routing::Fhrp::VirtualRouterMacStatus const> virtualMacStatusIn_;
    Kel::Ptr<Routing::Fhrp::Hardware::Status> fhrpHwStatus_;
    Kel::Ptr<Brix::VrrpPrivateVlanReflectorLib::VirtualRouterMacTable> vrrpMacStatus_;
    Kel::Ptr<PlinthCentral::L3Capabilities const> l3Capabilities_;
    Kel::Ptr<MyStationConfigDir> myStationConfigDir_;
    Kel::Ptr<MyStationStatusDir> myStationStatusDir_;
    Kel::Ptr<L3MyStationHelperSm> l3MyStationHelperSm_;
    Kel::Ptr<L3MyStationSm> l3MyStationSm_;
    Kel::Ptr<Brix::VrrpPrivateVlanReflectorLib::LibSm> vrrpPrivateVlanReflectorSm_;
    Kel::Ptr<VrrpSmHelper> vrrpSmHelper_;
    Kel::Ptr<Brix::VrrpSm> vrrpSm_;
};

}  // namespace PlinthL3Unicast
