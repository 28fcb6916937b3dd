#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <set>

#include "Kel/Entity.h"
#include "Kel/Type.h"
#include "Pakt/EthAddr.h"

namespace Routing::Fhrp {

// A virtual router MAC on one routed interface.
struct IntfMac {
    Vosk::String intf;
    Pakt::EthAddr mac;
    friend bool operator==(IntfMac const&, IntfMac const&) = default;
    friend auto operator<=>(IntfMac const&, IntfMac const&) = default;
};

// The virtual router MACs that the first-hop-redundancy agent has made
// active, per interface. Notifies the changed IntfMac (value: the entry when
// added, null when removed).
class VirtualRouterMacStatus : public Kel::NotifyingEntity {
  public:
    static constexpr short kVirtualMacAttr = 0;

    Kel::TypeImpl const* fwkType() const override {
        return Kel::plainType<VirtualRouterMacStatus>("Routing::Fhrp::VirtualRouterMacStatus");
    }

    std::set<IntfMac> const& virtualMac() const { return virtualMacs_; }
    void virtualMacIs(IntfMac const& entry);
    void virtualMacDel(IntfMac const& entry);

  private:
    std::set<IntfMac> virtualMacs_;
};

}  // namespace Routing::Fhrp

namespace Routing::Fhrp::Hardware {

// What the forwarding hardware can do for first-hop redundancy, published
// by the chip family's plug-in. Notifies the changed attribute.
class Status : public Kel::NotifyingEntity {
  public:
    enum Attr : short {
        anygwSupportedAttr,
        vrrpSupportedAttr,
        vrrpSupportedMaxNumAttr,
        vrrpMacAsAnygwMacSupportedAttr,
        useUniqueGroupIdsAttr,
        requireGlobalIpRoutingAttr,
        vrrpSubinterfaceSupportedAttr,
    };

    Kel::TypeImpl const* fwkType() const override;

    bool anygwSupported() const { return anygwSupported_; }
    bool vrrpSupported() const { return vrrpSupported_; }
    std::uint32_t vrrpSupportedMaxNum() const { return vrrpSupportedMaxNum_; }
    bool vrrpMacAsAnygwMacSupported() const { return vrrpMacAsAnygwMacSupported_; }
    bool useUniqueGroupIds() const { return useUniqueGroupIds_; }
    bool requireGlobalIpRouting() const { return requireGlobalIpRouting_; }
    bool vrrpSubinterfaceSupported() const { return vrrpSubinterfaceSupported_; }

    void anygwSupportedIs(bool v) { set(anygwSupported_, v, anygwSupportedAttr); }
    void vrrpSupportedIs(bool v) { set(vrrpSupported_, v, vrrpSupportedAttr); }
    void vrrpSupportedMaxNumIs(std::uint32_t v) {
        set(vrrpSupportedMaxNum_, v, vrrpSupportedMaxNumAttr);
    }
    void vrrpMacAsAnygwMacSupportedIs(bool v) {
        set(vrrpMacAsAnygwMacSupported_, v, vrrpMacAsAnygwMacSupportedAttr);
    }
    void useUniqueGroupIdsIs(bool v) { set(useUniqueGroupIds_, v, useUniqueGroupIdsAttr); }
    void requireGlobalIpRoutingIs(bool v) {
        set(requireGlobalIpRouting_, v, requireGlobalIpRoutingAttr);
    }
    void vrrpSubinterfaceSupportedIs(bool v) {
        set(vrrpSubinterfaceSupported_, v, vrrpSubinterfaceSupportedAttr);
    }

  private:
    template <class T>
    void set(T& slot, T value, Attr attr) {
        if (slot != value) {
            slot = value;
            notify(attr, nullptr, &slot);
        }
    }

    bool anygwSupported_ = false;
    bool vrrpSupported_ = false;
    std::uint32_t vrrpSupportedMaxNum_ = 0;
    bool vrrpMacAsAnygwMacSupported_ = false;
    bool useUniqueGroupIds_ = false;
    bool requireGlobalIpRouting_ = false;
    bool vrrpSubinterfaceSupported_ = false;
};

}  // namespace Routing::Fhrp::Hardware
