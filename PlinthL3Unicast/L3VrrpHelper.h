#pragma once

#include "BrixHelper/VrrpSmHelper.h"
#include "Kel/Ptr.h"

namespace PlinthL3Unicast {

using BrixHelper::U32;

class MyStationConfigDir;
class MyStationStatusDir;

// The chip's VRRP helper: turns each request of the forwarding layer's VRRP
// state machine into a My Station configuration entry of the exact VLAN (or
// removes it), and at the state machine's start reports the VRRP entries
// that the status directory records as programmed.
class VrrpSmHelper : public BrixHelper::VrrpSmHelper {
  public:
    // Keeps one reference to each directory.
    VrrpSmHelper(Vosk::String name, Kel::Ptr<MyStationConfigDir> myStationConfigDir,
                 Kel::Ptr<MyStationStatusDir const> myStationStatusDir);
    // A helper with notifications on.
    static Kel::Ptr<VrrpSmHelper> VrrpSmHelperIs(
        Vosk::String name, Kel::Ptr<MyStationConfigDir> myStationConfigDir,
        Kel::Ptr<MyStationStatusDir const> myStationStatusDir);

    Kel::TypeImpl const* fwkType() const override;
    // Releases the status directory, then the configuration directory.
    ~VrrpSmHelper() override;

    // Always true.
    bool addVirtualRouterMac(Pakt::EthAddr const& mac, U32 vlan) override;
    void deleteVirtualRouterMac(Pakt::EthAddr const& mac, U32 vlan) override;
    void syncVrrpStateOnInit(
        Kel::Ptr<BrixHelper::CurrentVrrpStateForInit> const& currentState) override;

    // Writes (add) or deletes the entry of `macAddr` on exactly `vlanId`.
    // Reads nothing first and counts no requesters.
    void configureTcam(Pakt::EthAddr const& macAddr, U32 vlanId, bool add);

    Kel::Ptr<MyStationConfigDir> const& myStationConfigDir() const { return myStationConfigDir_; }
    Kel::Ptr<MyStationStatusDir const> const& myStationStatusDir() const {
        return myStationStatusDir_;
    }

  private:
    Kel::Ptr<MyStationConfigDir> myStationConfigDir_;
    Kel::Ptr<MyStationStatusDir const> myStationStatusDir_;
};

}  // namespace PlinthL3Unicast
