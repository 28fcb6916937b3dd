#include "PlinthL3Unicast/L3VrrpHelper.h"

#include <vector>

#include "Kel/Trace.h"
#include "Kel/Type.h"
#include "PlinthL3Common/VrrpMac.h"
#include "PlinthL3Records/MyStationDir.h"

namespace PlinthL3Unicast {

namespace {

constexpr char const* kSource = "PlinthL3Unicast/L3VrrpHelper";
constexpr U32 kExactVlanMask = 0xfff;
// The VRRP machine's two requests trace the same way: their own signature,
// then the MAC and the VLAN.
constexpr char const* kAddTrace =
    "virtual bool PlinthL3Unicast::VrrpSmHelper::addVirtualRouterMac(const Pakt::EthAddr&, U32), "
    "mac: %s, vlan: %s";
constexpr char const* kDeleteTrace =
    "virtual void PlinthL3Unicast::VrrpSmHelper::deleteVirtualRouterMac(const Pakt::EthAddr&, "
    "U32), mac: %s, vlan: %s";

// Looked up once, when the plug-in is loaded: a trace site runs on every
// change, and a function-local static would test its guard each time.
Kel::TraceHandle& handle = Kel::traceHandle("L3VrrpHelper");

Kel::TraceHandle& traceL3VrrpHelper() {
    return handle;
}

// The entry a VRRP request stands for: routed station entry; flags 3 to 5
// keep the record's defaults (off, on, on), as a router MAC entry's do.
MyStationConfig vrrpConfig(MacVlan const& key) {
    MyStationConfig config;
    config.macVlan = key;
    config.l3Enabled = config.stationFlag = true;
    return config;
}

Kel::TypeImpl const vrrpSmHelperType(
    "PlinthL3Unicast::VrrpSmHelper",
    {Kel::attrRead<VrrpSmHelper>("name", [](auto& h) { return h.nameString(); }),
     Kel::attrRead<VrrpSmHelper>("myStationConfigDir",
                                 [](auto& h) { return h.myStationConfigDir(); }),
     Kel::attrRead<VrrpSmHelper>("myStationStatusDir",
                                 [](auto& h) { return h.myStationStatusDir(); }),
     Kel::attrInvoke<VrrpSmHelper>("configureTcam", [](auto& h, Kel::ArgList const& args,
                                                       Kel::Value&) {
         h.configureTcam(Kel::argAt<Pakt::EthAddr>(args, 0), Kel::argAt<U32>(args, 1),
                         Kel::argAt<bool>(args, 2));
     })});

Kel::ModuleRegistration const registration({"L3VrrpHelper", {&vrrpSmHelperType}});

}  // namespace

VrrpSmHelper::VrrpSmHelper(Vosk::String name, Kel::Ptr<MyStationConfigDir> myStationConfigDir,
                           Kel::Ptr<MyStationStatusDir const> myStationStatusDir)
    : BrixHelper::VrrpSmHelper(std::move(name)),
      myStationConfigDir_(std::move(myStationConfigDir)),
      myStationStatusDir_(std::move(myStationStatusDir)) {}

Kel::Ptr<VrrpSmHelper> VrrpSmHelper::VrrpSmHelperIs(
    Vosk::String name, Kel::Ptr<MyStationConfigDir> myStationConfigDir,
    Kel::Ptr<MyStationStatusDir const> myStationStatusDir) {
    Kel::Ptr<VrrpSmHelper> helper(new VrrpSmHelper(std::move(name), std::move(myStationConfigDir),
                                                   std::move(myStationStatusDir)));
    helper->hasNotificationActiveIs(true);
    return helper;
}

// Members go in reverse declaration order: the status directory first.
VrrpSmHelper::~VrrpSmHelper() = default;

Kel::TypeImpl const* VrrpSmHelper::fwkType() const {
    return &vrrpSmHelperType;
}

bool VrrpSmHelper::addVirtualRouterMac(Pakt::EthAddr const& mac, U32 vlan) {
    KEL_TRACE(traceL3VrrpHelper(), 2, kSource, kAddTrace, mac, vlan);
    configureTcam(mac, vlan, true);
    return true;
}

void VrrpSmHelper::deleteVirtualRouterMac(Pakt::EthAddr const& mac, U32 vlan) {
    KEL_TRACE(traceL3VrrpHelper(), 2, kSource, kDeleteTrace, mac, vlan);
    configureTcam(mac, vlan, false);
}

void VrrpSmHelper::configureTcam(Pakt::EthAddr const& macAddr, U32 vlanId, bool add) {
    KEL_TRACE(traceL3VrrpHelper(), 2, kSource,
              "void PlinthL3Unicast::VrrpSmHelper::configureTcam(const Pakt::EthAddr&, U32, "
              "bool) macAddr: %s vlanId: %s",
              macAddr, vlanId);
    MacVlan const key{macAddr, vlanId, kExactVlanMask, Pakt::EthAddr::broadcast()};
    if (add) {
        myStationConfigDir_->configIs(key, vrrpConfig(key));
    } else {
        myStationConfigDir_->configDel(key);
    }
}

void VrrpSmHelper::syncVrrpStateOnInit(
    Kel::Ptr<BrixHelper::CurrentVrrpStateForInit> const& currentState) {
    KEL_TRACE(traceL3VrrpHelper(), 2, kSource,
              "virtual void PlinthL3Unicast::VrrpSmHelper::syncVrrpStateOnInit(const Ptr&)");
    // Keys first: writing a configuration entry makes the table programmer
    // write the status directory that is being walked.
    std::vector<MacVlan> keys;
    for (auto const& [key, status] : myStationStatusDir_->status()) {
        if (PlinthL3Common::isVrrpMac(key.addr)) {
            keys.push_back(key);
        }
    }
    for (auto const& key : keys) {
        myStationConfigDir_->configIs(key, vrrpConfig(key));
        if (currentState) {
            currentState->virtualRouterMacVlanIs(true, {key.addr, key.vlan});
        }
    }
}

}  // namespace PlinthL3Unicast
