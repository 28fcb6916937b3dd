#pragma once

#include <ostream>

#include "Kel/Entity.h"
#include "Kel/Type.h"
#include "Pakt/EthAddr.h"

namespace PlinthL3 {

// A router MAC with whether it is in force. An all-zero MAC stands for a
// router to which no MAC has been applied yet.
struct MacState {
    Pakt::EthAddr mac;
    bool valid = false;

    friend bool operator==(MacState const&, MacState const&) = default;
};
std::ostream& operator<<(std::ostream& os, MacState const& state);

}  // namespace PlinthL3

namespace PlinthL3Unicast {

// A pair of MAC states, the system router's then the virtual router's,
// each notified when it changes.
class RouterMacStates : public Kel::NotifyingEntity {
  public:
    static constexpr short kRouterMacAttr = 0;
    static constexpr short kVirtualRouterMacAttr = 1;

    PlinthL3::MacState routerMac() const { return routerMac_; }
    PlinthL3::MacState virtualRouterMac() const { return virtualRouterMac_; }
    void routerMacIs(PlinthL3::MacState state) { set(routerMac_, state, kRouterMacAttr); }
    void virtualRouterMacIs(PlinthL3::MacState state) {
        set(virtualRouterMac_, state, kVirtualRouterMacAttr);
    }

  private:
    void set(PlinthL3::MacState& slot, PlinthL3::MacState const& state, short attr) {
        if (slot != state) {
            slot = state;
            notify(attr, nullptr, &slot);
        }
    }

    PlinthL3::MacState routerMac_;
    PlinthL3::MacState virtualRouterMac_;
};

// The desired MAC states, written by the routing configuration.
class L3MyStationRoutingConfig : public RouterMacStates {
  public:
    Kel::TypeImpl const* fwkType() const override {
        return Kel::plainType<L3MyStationRoutingConfig>(
            "PlinthL3Unicast::L3MyStationRoutingConfig");
    }
};

// The MAC states last applied to the My Station configuration.
class L3MyStationRoutingStatus : public RouterMacStates {
  public:
    Kel::TypeImpl const* fwkType() const override {
        return Kel::plainType<L3MyStationRoutingStatus>(
            "PlinthL3Unicast::L3MyStationRoutingStatus");
    }
};

// Tells the rest of the agent that the My Station table is live.
class SmRunningState : public Kel::NotifyingEntity {
  public:
    static constexpr short kRunningAttr = 0;

    Kel::TypeImpl const* fwkType() const override {
        return Kel::plainType<SmRunningState>("PlinthL3Unicast::SmRunningState");
    }
    bool running() const { return running_; }
    void runningIs(bool running) {
        if (running_ != running) {
            running_ = running;
            notify(kRunningAttr, nullptr, &running_);
        }
    }

  private:
    bool running_ = false;
};

}  // namespace PlinthL3Unicast
