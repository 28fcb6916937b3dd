#include "PlinthL3Unicast/L3MyStationHelperSm.h"

#include <cstddef>
#include <exception>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "Kel/Error.h"
#include "Kel/Trace.h"
#include "PlinthL3Records/MyStationDir.h"

namespace PlinthL3Unicast {

namespace {

using PlinthL3::MacState;

constexpr char const* kSource = "PlinthL3Unicast/L3MyStationHelperSm";

// Looked up once, when the plug-in is loaded: a trace site runs on every
// change, and a function-local static would test its guard each time.
Kel::TraceHandle& handle = Kel::traceHandle("L3MyStationHelperSm");

Kel::TraceHandle& traceHandle() {
    return handle;
}

// The signatures the fatal assertions name, as the compiler spells them.
constexpr char kGetNewMacStateSignature[] =
    "PlinthL3::MacState PlinthL3Unicast::L3MyStationHelperSm::getNewMacState("
    "PlinthL3Unicast::L3MyStationHelperSm::RouterTypes) const";
constexpr char kGetOldMacStateSignature[] =
    "PlinthL3::MacState PlinthL3Unicast::L3MyStationHelperSm::getOldMacState("
    "PlinthL3Unicast::L3MyStationHelperSm::RouterTypes) const";
constexpr char kUpdateRouterMacStateSignature[] =
    "void PlinthL3Unicast::L3MyStationHelperSm::updateRouterMacState("
    "PlinthL3Unicast::L3MyStationHelperSm::RouterTypes, PlinthL3::MacState)";
// The signature that the intake's trace lines and assertion name; a macro
// only so that the lines below can be single literals, as trace sites keep
// a pointer to their format.
#define PLINTH_HANDLE_ROUTER_MAC                                                \
    "virtual void PlinthL3Unicast::L3MyStationHelperSm::handleRouterMac(const " \
    "Brix::MacTypeMask&, bool, bool)"
constexpr char const* kHandleRouterMacSignature = PLINTH_HANDLE_ROUTER_MAC;
constexpr char const* kUpdatedFormat =
    PLINTH_HANDLE_ROUTER_MAC " mac: %s v4OrV6RoutingEnabled: %s -- Updated";
constexpr char const* kAddedFormat =
    PLINTH_HANDLE_ROUTER_MAC " mac: %s v4OrV6RoutingEnabled: %s -- Added";
constexpr char const* kRemovedFormat =
    PLINTH_HANDLE_ROUTER_MAC " mac: %s v4OrV6RoutingEnabled: %s -- Removed";
#undef PLINTH_HANDLE_ROUTER_MAC

void dispatchFailed(char const* entry, char const* what) {
    KEL_TRACE(traceHandle(), 0, kSource, "%s dropped a change: %s", entry, what);
}

// A reaction skipped for an input this switch does not mount names the first
// one missing, so that a silent table can be traced back to its cause.
bool inputsPresent(char const* reaction,
                   std::initializer_list<std::pair<char const*, bool>> inputs) {
    for (auto const& [name, present] : inputs) {
        if (!present) {
            KEL_TRACE(traceHandle(), 0, kSource, "%s skipped: %s missing", reaction, name);
            return false;
        }
    }
    return true;
}

bool knownRouterType(RouterTypes routerType) {
    return routerType == RouterTypes::systemRouter || routerType == RouterTypes::virtualRouter;
}

// Router MACs are terminated on any VLAN: VLAN 0 under mask 0.
MacVlan routerMacKey(Pakt::EthAddr mac) {
    return MacVlan{mac, 0, 0, Pakt::EthAddr::broadcast()};
}

// A station entry; flags 3 to 5 keep the record's defaults (off, on, on).
MyStationConfig routerMacConfig(MacVlan const& key, bool l3Enabled) {
    MyStationConfig config;
    config.macVlan = key;
    config.l3Enabled = l3Enabled;
    config.stationFlag = true;
    return config;
}

std::vector<Kel::AttributeImpl> helperAttributes() {
    using Sm = L3MyStationHelperSm;
    std::vector<Kel::AttributeImpl> attributes = Brix::BrixRouterMacDbSm::baseAttributes();
    attributes.push_back(Kel::attrRead<Sm>("myStationRoutingConfig",
                                           [](Sm& sm) { return sm.myStationRoutingConfig(); }));
    attributes.push_back(Kel::attrRead<Sm>("myStationRoutingStatus",
                                           [](Sm& sm) { return sm.myStationRoutingStatus(); }));
    attributes.push_back(
        Kel::attrRead<Sm>("myStationConfigDir", [](Sm& sm) { return sm.myStationConfigDir(); }));
    attributes.push_back(
        Kel::attrInvoke<Sm>("handleRouterType", [](Sm& sm, Kel::ArgList const& args, Kel::Value&) {
            sm.handleRouterType(Kel::argAt<RouterTypes>(args, 0));
        }));
    attributes.push_back(Kel::attrInvoke<Sm>(
        "getNewMacState", [](Sm& sm, Kel::ArgList const& args, Kel::Value& result) {
            result = Kel::toValue(sm.getNewMacState(Kel::argAt<RouterTypes>(args, 0)));
        }));
    attributes.push_back(Kel::attrInvoke<Sm>(
        "getOldMacState", [](Sm& sm, Kel::ArgList const& args, Kel::Value& result) {
            result = Kel::toValue(sm.getOldMacState(Kel::argAt<RouterTypes>(args, 0)));
        }));
    attributes.push_back(Kel::attrInvoke<Sm>(
        "updateRouterMacState", [](Sm& sm, Kel::ArgList const& args, Kel::Value&) {
            sm.updateRouterMacState(Kel::argAt<RouterTypes>(args, 0),
                                    Kel::argAt<MacState>(args, 1));
        }));
    return attributes;
}

Kel::TypeImpl const helperType("PlinthL3Unicast::L3MyStationHelperSm", helperAttributes(), nullptr,
                               &L3MyStationHelperSm::genericIfConstructFromCtorArgs);

Kel::EnumType<RouterTypes> const routerTypesEnum(&helperType, {"systemRouter", "virtualRouter"});

Kel::ModuleRegistration const registration({"L3MyStationHelperSm", {&helperType}});

}  // namespace

// ---- RouterTypes ----------------------------------------------------------------

RouterTypes RouterTypesInstance(unsigned value) {
    return routerTypesEnum.valueFromNumber(value);
}

RouterTypes RouterTypesInstance(Vosk::String const& name) {
    return routerTypesEnum.valueFromName(name.stdString());
}

std::ostream& operator<<(std::ostream& os, RouterTypes const& routerType) {
    // A trace line must not throw: a value that is no enumerator shows as
    // its number, just before the assertion that it is about to meet.
    if (!knownRouterType(routerType)) {
        return os << static_cast<unsigned>(routerType);
    }
    return os << routerTypesEnum.nameOf(routerType);
}

std::string valueToStrep(RouterTypes const& routerType) {
    return std::string(routerTypesEnum.nameOf(routerType));
}

Vosk::String stringValue(RouterTypes routerType) {
    return routerTypesEnum.nameOf(routerType);
}

bool sequenceToValue(Kel::CharRange& range, RouterTypes* routerType) {
    return routerTypesEnum.sequenceToValue(range, routerType);
}

bool zeroMacState(MacState macState) {
    return macState.mac.isZero();
}

// ---- Creation and life cycle ------------------------------------------------------

L3MyStationHelperSm::L3MyStationHelperSm(RouterMacDbIn const& routerMacDb,
                                         RouterMacStatusDbIn const& routerMacStatusDb,
                                         RoutingConfigIn const& myStationRoutingConfig,
                                         RoutingStatusIn const& myStationRoutingStatus,
                                         ConfigDirIn const& myStationConfigDir)
    : BrixRouterMacDbSm(routerMacDb, routerMacStatusDb),
      myStationRoutingConfig_(myStationRoutingConfig),
      myStationRoutingStatus_(myStationRoutingStatus),
      myStationConfigDir_(myStationConfigDir) {
    // Subscribed before notifications are switched on, so that no change of
    // the routing configuration is lost between creation and activation.
    myStationRoutingConfigSubscription_.activeIs(true);
    // What the database holds now is what initialization reports: room for
    // its entries is made once, not by growing the directory entry by entry.
    if (routerMacDb && myStationConfigDir_) {
        myStationConfigDir_->configReserve(myStationConfigDir_->config().size() +
                                           routerMacDb->routerMac().size());
    }
}

L3MyStationHelperSm::~L3MyStationHelperSm() {
    kelDoZombieReactors(true);
    myStationRoutingConfigSubscription_.activeIs(false);
    // The entries and status values written stay; only the shares go, in
    // the reverse order of the outputs' use.
    myStationConfigDir_.reset();
    myStationRoutingStatus_.reset();
    myStationRoutingConfig_.reset();
}

Kel::Ptr<L3MyStationHelperSm> L3MyStationHelperSm::L3MyStationHelperSmIs(
    RouterMacDbIn const& routerMacDb, RouterMacStatusDbIn const& routerMacStatusDb,
    RoutingConfigIn const& myStationRoutingConfig, RoutingStatusIn const& myStationRoutingStatus,
    ConfigDirIn const& myStationConfigDir) {
    Kel::Ptr<L3MyStationHelperSm> sm(
        new L3MyStationHelperSm(routerMacDb, routerMacStatusDb, myStationRoutingConfig,
                                myStationRoutingStatus, myStationConfigDir));
    sm->hasNotificationActiveIs(true);
    return sm;
}

Kel::Ptr<L3MyStationHelperSm> l3MyStationHelperSmFactory(
    RouterMacDbIn const& routerMacDb, RouterMacStatusDbIn const& routerMacStatusDb,
    RoutingConfigIn const& myStationRoutingConfig, RoutingStatusIn const& myStationRoutingStatus,
    ConfigDirIn const& myStationConfigDir) {
    return L3MyStationHelperSm::L3MyStationHelperSmIs(routerMacDb, routerMacStatusDb,
                                                      myStationRoutingConfig,
                                                      myStationRoutingStatus, myStationConfigDir);
}

Kel::Ptr<Kel::PtrInterface> L3MyStationHelperSm::genericIfConstructFromCtorArgs(
    Kel::ArgList const& args) {
    constexpr std::size_t kArgCount = 5;
    if (args.size() > kArgCount) {
        Kel::throwRangeException("argument " + std::to_string(kArgCount) + " not expected");
    }
    return L3MyStationHelperSmIs(
        Kel::argAt<RouterMacDbIn>(args, 0), Kel::argAt<RouterMacStatusDbIn>(args, 1),
        Kel::argAt<RoutingConfigIn>(args, 2), Kel::argAt<RoutingStatusIn>(args, 3),
        Kel::argAt<ConfigDirIn>(args, 4));
}

Kel::TypeImpl const* L3MyStationHelperSm::fwkType() const {
    return &helperType;
}

void L3MyStationHelperSm::hasNotificationActiveIs(bool active) {
    Kel::notificationActiveIs<BrixRouterMacDbSm>(*this, active,
                                                 myStationRoutingConfigSubscription_);
}

void L3MyStationHelperSm::kelDoZombieReactors(bool zombie) {
    if (zombie == kelMarkedForDeletion()) {
        return;
    }
    BrixRouterMacDbSm::kelDoZombieReactors(zombie);
    kelMarkedForDeletionIs(zombie);
}

void L3MyStationHelperSm::myStationRoutingConfigDispatch(Vosk::Publisher*,
                                                         Vosk::Subscriber* subscriber,
                                                         short attribute, void const*,
                                                         void const*) {
    bool const watched = attribute == L3MyStationRoutingConfig::kRouterMacAttr ||
                         attribute == L3MyStationRoutingConfig::kVirtualRouterMacAttr;
    // No look at the initialized flag: a change before initialization is
    // applied at once, and initialization applies both types again.
    Kel::dispatchTo<L3MyStationHelperSm>(
        &dispatchFailed, "myStationRoutingConfigDispatch", subscriber, watched,
        [attribute](auto& sm) {
            sm.handleRouterType(attribute == L3MyStationRoutingConfig::kRouterMacAttr
                                    ? RouterTypes::systemRouter
                                    : RouterTypes::virtualRouter);
        });
}

// ---- MAC states -------------------------------------------------------------------

MacState L3MyStationHelperSm::getNewMacState(RouterTypes routerType) const {
    KEL_ASSERT(knownRouterType(routerType), "unsupported routerType", kGetNewMacStateSignature,
               kSource);
    return routerType == RouterTypes::systemRouter ? myStationRoutingConfig_->routerMac()
                                                   : myStationRoutingConfig_->virtualRouterMac();
}

MacState L3MyStationHelperSm::getOldMacState(RouterTypes routerType) const {
    KEL_ASSERT(knownRouterType(routerType), "unsupported routerType", kGetOldMacStateSignature,
               kSource);
    return routerType == RouterTypes::systemRouter ? myStationRoutingStatus_->routerMac()
                                                   : myStationRoutingStatus_->virtualRouterMac();
}

void L3MyStationHelperSm::updateRouterMacState(RouterTypes routerType, MacState macState) {
    KEL_TRACE(traceHandle(), 0, kSource, "updateRouterMacState routerType: %s mac: %s valid: %s",
              routerType, macState.mac, macState.valid);
    KEL_ASSERT(knownRouterType(routerType), "unsupported routerType",
               kUpdateRouterMacStateSignature, kSource);
    if (routerType == RouterTypes::systemRouter) {
        myStationRoutingStatus_->routerMacIs(macState);
    } else {
        myStationRoutingStatus_->virtualRouterMacIs(macState);
    }
}

// ---- Router MAC intake ------------------------------------------------------------

void L3MyStationHelperSm::handleRouterMac(Brix::MacTypeMask const& macTypeMask, bool present,
                                          bool v4OrV6RoutingEnabled) {
    KEL_TRACE(traceHandle(), 1, kSource, "handleRouterMac");
    MacVlan const key = routerMacKey(macTypeMask.mac);
    if (macTypeMask.macType == Brix::MacType::sharedRouterEncap) {
        KEL_TRACE(traceHandle(), 1, kSource, " Skipping received mlag shared router encap for T4 ");
        return;
    }
    // Without a record of what was added a removal could not be matched, so
    // no entry is written either.
    if (!inputsPresent("handleRouterMac",
                       {{"routerMacStatusDb", routerMacStatusDb() != nullptr},
                        {"myStationConfigDir", myStationConfigDir_ != nullptr}})) {
        return;
    }
    Brix::BrixRouterMacStatusDb& statusDb = *routerMacStatusDb();
    if (!present) {
        KEL_ASSERT(statusDb.macStatusDbHas(macTypeMask),
                   "routerMacStatusDb()->macStatusDbHas( macTypeMask )", kHandleRouterMacSignature,
                   kSource);
        KEL_TRACE(traceHandle(), 1, kSource, kRemovedFormat, macTypeMask.mac, v4OrV6RoutingEnabled);
        statusDb.macStatusDbDel(macTypeMask);
        // Whatever the stored flag: an entry written by the reconciliation
        // for the same MAC goes too, as both share the key.
        myStationConfigDir_->configDel(key);
        return;
    }
    Brix::BrixRouterMacStatus const* found = statusDb.macStatusDb(macTypeMask);
    bool const added = found == nullptr;
    if (!added && found->v4OrV6RoutingEnabled() == v4OrV6RoutingEnabled) {
        return;
    }
    Brix::BrixRouterMacStatus& record = statusDb.macStatusDbIs(macTypeMask);
    record.v4OrV6RoutingEnabledIs(v4OrV6RoutingEnabled);
    record.statusIs(Brix::RouterMacStatus::programmed);
    if (added) {
        KEL_TRACE(traceHandle(), 1, kSource, kAddedFormat, macTypeMask.mac, v4OrV6RoutingEnabled);
    } else {
        KEL_TRACE(traceHandle(), 1, kSource, kUpdatedFormat, macTypeMask.mac, v4OrV6RoutingEnabled);
    }
    if (v4OrV6RoutingEnabled) {
        myStationConfigDir_->configIs(key, routerMacConfig(key, true));
    } else if (!added) {
        myStationConfigDir_->configDel(key);
    }
}

// ---- Router type reconciliation ------------------------------------------------------

void L3MyStationHelperSm::handleRouterType(RouterTypes routerType) {
    KEL_TRACE(traceHandle(), 0, kSource, "handleRouterType routerType: %s", routerType);
    // Without the desired state there is nothing to apply, and without the
    // status the MAC applied could never be taken back, so nothing is written.
    if (!inputsPresent("handleRouterType",
                       {{"myStationRoutingConfig", myStationRoutingConfig_ != nullptr},
                        {"myStationRoutingStatus", myStationRoutingStatus_ != nullptr},
                        {"myStationConfigDir", myStationConfigDir_ != nullptr}})) {
        return;
    }
    MacState const desired = getNewMacState(routerType);
    if (routerType == RouterTypes::virtualRouter && !desired.valid) {
        // Only the MAC this state carries goes; the MAC last applied is not
        // looked at.
        myStationConfigDir_->configDel(routerMacKey(desired.mac));
        updateRouterMacState(routerType, desired);
        return;
    }
    MacState const applied = getOldMacState(routerType);
    KEL_TRACE(traceHandle(), 0, kSource, "handleRouterType old mac: %s valid: %s", applied.mac,
              applied.valid);
    // Removal before the write: when both name the same MAC, the entry is
    // deleted and written again, and ends up with the desired flag.
    if (!zeroMacState(applied)) {
        MacVlan const old = routerMacKey(applied.mac);
        KEL_TRACE(traceHandle(), 0, kSource,
                  "handleRouterType remove existing mac: %s/%s vlan: %s/%s", old.addr, old.addrMask,
                  old.vlan, old.vlanMask);
        myStationConfigDir_->configDel(old);
    }
    MacVlan const key = routerMacKey(desired.mac);
    KEL_TRACE(traceHandle(), 0, kSource,
              "handleRouterType add new mac: %s/%s vlan: %s/%s l3Enabled: %s", key.addr,
              key.addrMask, key.vlan, key.vlanMask, desired.valid);
    myStationConfigDir_->configIs(key, routerMacConfig(key, desired.valid));
    // The status follows the directory writes, so it never claims an entry
    // that is not there yet.
    updateRouterMacState(routerType, desired);
}

void L3MyStationHelperSm::handleInitialized() {
    KEL_TRACE(traceHandle(), 0, kSource, "handleInitialized");
    if (!initialized()) {
        return;
    }
    handleRouterType(RouterTypes::systemRouter);
    handleRouterType(RouterTypes::virtualRouter);
}

}  // namespace PlinthL3Unicast
