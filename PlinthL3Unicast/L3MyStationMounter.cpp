#include "PlinthL3Unicast/L3MyStationMounter.h"

#include <chrono>
#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "Brix/L3Status.h"
#include "Brix/RouterMac.h"
#include "Brix/VirtualRouterMacTable.h"
#include "Brix/VrrpSm.h"
#include "Kel/Format.h"
#include "Kel/Trace.h"
#include "Kel/Type.h"
#include "PlinthCentral/ChipAgent.h"
#include "PlinthL3Records/MyStationDir.h"
#include "PlinthL3Records/MyStationTable.h"
#include "PlinthL3Records/RoutingRecords.h"
#include "PlinthL3Unicast/L3MyStationHelperSm.h"
#include "PlinthL3Unicast/L3MyStationSm.h"
#include "PlinthL3Unicast/L3VrrpHelper.h"
#include "Routing/Fhrp.h"
#include "Toggle/Toggle.h"

namespace PlinthL3Unicast {

namespace {

using Brix::VrrpPrivateVlanReflectorLib::VirtualRouterMacTable;

constexpr char const* kSource = "PlinthL3Unicast/L3MyStationMounter";

// Looked up once, when the plug-in is loaded: a trace site runs on every
// change, and a function-local static would test its guard each time.
Kel::TraceHandle& handle = Kel::traceHandle("L3MyStationMounter");

Kel::TraceHandle& traceHandle() {
    return handle;
}

struct MountRow {
    char const* path;
    char const* typeName;
    char const* flags;
};

// The system-database mounts, in the order they are declared.
constexpr MountRow kMountTable[] = {
    {"hardware/brix/routerMacDb", "Brix::BrixRouterMacDb", "w"},
    // A plain directory: the status database itself is its child.
    {"hardware/brix/routerMacStatusDb", "Kel::Dir", "w"},
    {"routing/fhrp/vrMacStatus", "Routing::Fhrp::VirtualRouterMacStatus", "r"},
    {"routing/fhrp/hardware/status", "Routing::Fhrp::Hardware::Status", "w"},
    {"hardware/plinth/centralStatus/l3Capabilities", "PlinthCentral::L3Capabilities", "r"},
};

constexpr char const* kRoutingConfigPath = "l3/myStationRoutingConfig";
constexpr char const* kRoutingStatusPath = "l3/myStationRoutingStatus";
constexpr char const* kSmStatePathFormat = "l3/smState/%d";
// One running-state entry, always under this index, whatever the chip count.
constexpr int kSmStateIndex = 2;

std::string smStatePath() {
    return Kel::_fmt(kSmStatePathFormat, kSmStateIndex);
}

template <class T>
Kel::Ptr<T> typed(Kel::Ptr<Kel::Entity> const& entity) {
    return Kel::dynamicPtrCast<T>(entity);
}

template <class T>
Kel::Ptr<T> sysdbEntity(Corral::EntityManager const* em, char const* path) {
    return em != nullptr ? typed<T>(em->getEntity(path)) : nullptr;
}

template <class T>
void inputIs(Kel::Ptr<T>& slot, Kel::Ptr<T> const& entity) {
    if (!(slot == entity)) {
        slot = entity;
    }
}

bool vrrpToggleRead() {
    std::uint32_t const state = getToggleState("PlinthL3UnicastVrrp", "PlinthLib.json", true);
    std::string const error = Toggle::lastError();
    if (!error.empty()) {
        KEL_TRACE(traceHandle(), 0, kSource, "toggle file unreadable, default used: %s", error);
    }
    return (state & 1U) != 0;
}

Kel::Ptr<Kel::Entity> mounterCreate(Vosk::String const& name) {
    return MyStationMounter::MyStationMounterIs(name);
}

using M = MyStationMounter;

// A child built from inputs: read and delete only, since a create needs the
// inputs that only the wiring has.
template <class Get, class Delete>
Kel::AttributeImpl childAttr(std::string name, Get get, Delete del) {
    return {std::move(name), [get, del](Kel::PtrInterface& self, Kel::AttrOp op, Kel::Value& io,
                                        Kel::ArgList const&) {
                M& m = static_cast<M&>(self);
                if (op == Kel::AttrOp::read) {
                    io = Kel::toValue(std::invoke(get, m));
                } else if (op == Kel::AttrOp::del) {
                    io = Kel::toValue(std::invoke(del, m));
                } else {
                    return Kel::kAttrOpNotSupported;
                }
                return Kel::kAttrOpOk;
            }};
}

// ---- Keep or replace ----------------------------------------------------------------
//
// A child is kept when every input of its create operation is the very
// entity it was made from. Each child's inputs are listed once, in the order
// of its create operation; leaving one out does not compile.

auto inputsOf(L3MyStationHelperSm const& sm) {
    return std::tuple(sm.routerMacDb(), sm.routerMacStatusDb(), sm.myStationRoutingConfig(),
                      sm.myStationRoutingStatus(), sm.myStationConfigDir());
}
auto inputsOf(L3MyStationSm const& sm) {
    return std::tuple(sm.corralEm(), sm.fcsd(), sm.myStationConfigDir(), sm.myStationStatusDir(),
                      sm.smRunningState());
}
auto inputsOf(Brix::VrrpPrivateVlanReflectorLib::LibSm const& sm) {
    return std::tuple(sm.virtualRouterMacStatusIn(), sm.intfVlanIdSetTable(),
                      sm.virtualRouterMacTableOut());
}
auto inputsOf(VrrpSmHelper const& helper) {
    return std::tuple(helper.nameString(), helper.myStationConfigDir(),
                      helper.myStationStatusDir());
}
auto inputsOf(Brix::VrrpSm const& sm) {
    return std::tuple(sm.vrrpMacStatus(), sm.vrrpHwStatus(), sm.vrrpHelper());
}

// Identity of two references to entities of one type, whatever their
// constness; a name by value.
template <class A, class B>
requires std::is_same_v<std::remove_const_t<A>, std::remove_const_t<B>>
bool same(Kel::Ptr<A> const& made, Kel::Ptr<B> const& wanted) {
    return static_cast<void const*>(made.get()) == static_cast<void const*>(wanted.get());
}
bool same(Vosk::String const& made, Vosk::String const& wanted) {
    return made == wanted;
}

template <class T, class... In>
bool madeFrom(Kel::Ptr<T> const& child, In const&... wanted) {
    if (!child) {
        return false;
    }
    auto const made = inputsOf(*child);
    static_assert(std::tuple_size_v<decltype(made)> == sizeof...(In),
                  "every input of the create operation is compared");
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (same(std::get<I>(made), wanted) && ...);
    }
    (std::index_sequence_for<In...>{});
}

// Keeps the present reactor when it was made from `inputs`; else makes one
// with its create operation, releasing the old one (not silenced: whoever
// replaces it owns that), and switches the new one on.
template <class T, class Create, class... In>
Kel::Ptr<T> reactorIs(Kel::Ptr<T>& slot, Create create, In const&... inputs) {
    if (madeFrom(slot, inputs...)) {
        return slot;
    }
    Kel::Ptr<T> reactor = create(inputs...);
    slot = reactor;
    reactor->hasNotificationActiveIs(true);
    return reactor;
}

// Clears the slot first, then silences the removed reactor.
template <class T>
Kel::Ptr<T> reactorDel(Kel::Ptr<T>& slot) {
    Kel::Ptr<T> removed = std::exchange(slot, nullptr);
    if (removed) {
        removed->hasNotificationActiveIs(false);
    }
    return removed;
}

std::vector<Kel::AttributeImpl> mounterAttributes() {
    return {
        Kel::attrReadWrite<M>("routerMacDb", &M::routerMacDb, &M::routerMacDbIs),
        Kel::attrReadWrite<M>("routerMacStatusDb", &M::routerMacStatusDb, &M::routerMacStatusDbIs),
        Kel::attrReadWrite<M>("virtualMacStatusIn", &M::virtualMacStatusIn,
                              &M::virtualMacStatusInIs),
        Kel::attrReadWrite<M>("fhrpHwStatus", &M::fhrpHwStatus, &M::fhrpHwStatusIs),
        Kel::attrOwned<M>("vrrpMacStatus", &M::vrrpMacStatus, &M::vrrpMacStatusIs,
                          &M::vrrpMacStatusDel),
        Kel::attrReadWrite<M>("l3Capabilities", &M::l3Capabilities, &M::l3CapabilitiesIs),
        Kel::attrOwned<M>("myStationConfigDir", &M::myStationConfigDir, &M::myStationConfigDirIs,
                          &M::myStationConfigDirDel),
        Kel::attrOwned<M>("myStationStatusDir", &M::myStationStatusDir, &M::myStationStatusDirIs,
                          &M::myStationStatusDirDel),
        childAttr("l3MyStationHelperSm", &M::l3MyStationHelperSm, &M::l3MyStationHelperSmDel),
        childAttr("l3MyStationSm", &M::l3MyStationSm, &M::l3MyStationSmDel),
        childAttr("vrrpPrivateVlanReflectorSm", &M::vrrpPrivateVlanReflectorSm,
                  &M::vrrpPrivateVlanReflectorSmDel),
        childAttr("vrrpSmHelper", &M::vrrpSmHelper, &M::vrrpSmHelperDel),
        childAttr("vrrpSm", &M::vrrpSm, &M::vrrpSmDel),
    };
}

Kel::TypeImpl const mounterType("PlinthL3Unicast::MyStationMounter", mounterAttributes(),
                                mounterCreate);

Kel::ModuleRegistration const registration({"L3MyStationMounter", {&mounterType}});

}  // namespace

bool togglePlinthL3UnicastVrrpEnabled() {
    // A function-local static: the language guarantees one evaluation even
    // when the first callers race.
    static bool const enabled = vrrpToggleRead();
    return enabled;
}

MyStationMounter::MyStationMounter(Vosk::String name) : PlinthLib::MounterBase(std::move(name)) {}

Kel::Ptr<MyStationMounter> MyStationMounter::MyStationMounterIs(Vosk::String name) {
    Kel::Ptr<MyStationMounter> mounter(new MyStationMounter(std::move(name)));
    mounter->hasNotificationActiveIs(true);
    return mounter;
}

Kel::TypeImpl const* MyStationMounter::fwkType() const {
    return &mounterType;
}

MyStationMounter::~MyStationMounter() {
    // The shares of the directories and the table go first; whoever else was
    // given them keeps them alive.
    vrrpMacStatus_ = nullptr;
    myStationConfigDir_ = nullptr;
    myStationStatusDir_ = nullptr;
    // Each child is silenced (the helper detached) before the next is
    // touched, and all of them before the inputs they were built from.
    l3MyStationHelperSmDel();
    l3MyStationSmDel();
    vrrpPrivateVlanReflectorSmDel();
    vrrpSmHelperDel();
    vrrpSmDel();
    l3Capabilities_ = nullptr;
    fhrpHwStatus_ = nullptr;
    virtualMacStatusIn_ = nullptr;
    routerMacStatusDb_ = nullptr;
    routerMacDb_ = nullptr;
}

void MyStationMounter::doInit() {
    KEL_TRACE(traceHandle(), 4, kSource,
              "virtual void PlinthL3Unicast::MyStationMounter::doInit()");
    KEL_ASSERT(corralEm() && localEm(), "corralEm() && localEm()",
               "virtual void PlinthL3Unicast::MyStationMounter::doInit()", kSource);
    Kel::Ptr<Corral::MountGroup> group = corralEm()->getMountGroup(this);
    for (MountRow const& row : kMountTable) {
        Corral::Mount mount(row.path, row.typeName);
        mount.flagsIs(0);
        mount.handleFlags(row.flags);
        group->doMount(mount);
    }
    localEm()->doMount(kRoutingConfigPath, "PlinthL3Unicast::L3MyStationRoutingConfig");
    localEm()->doMount(kRoutingStatusPath, "PlinthL3Unicast::L3MyStationRoutingStatus");
    MyStationTable::doMountHwTableMountInfo(group);
    localEm()->doMount(smStatePath(), "PlinthL3Unicast::SmRunningState");
    group->doClose(false, "", std::chrono::seconds(0));
}

void MyStationMounter::doMountsComplete(Corral::MountStatus mountStatus,
                                        Kel::Ptr<Corral::EntityManager> em) {
    KEL_TRACE(traceHandle(), 4, kSource,
              "virtual void PlinthL3Unicast::MyStationMounter::doMountsComplete(Corral::"
              "MountStatus, const Ptr&), mountStatus = %s, em = %s",
              mountStatus, em);
    WiringInputs inputs = inputsLookUp(em.get());
    if (!wiringPossible(inputs)) {
        return;
    }
    myStationConfigDirIs();
    myStationStatusDirIs();
    capabilitiesPublish();
    vrrpMacStatusIs();
    inputs.intfVlanIdSetTable = inputs.brixL3Status->intfVlanIdSet();
    childrenIs(inputs);
}

void MyStationMounter::childrenIs(WiringInputs const& inputs) {
    vrrpPrivateVlanReflectorSmIs(virtualMacStatusIn_, inputs.intfVlanIdSetTable, vrrpMacStatus_);
    vrrpSmHelperIs("", myStationConfigDir_, myStationStatusDir_);
    vrrpSmIs(vrrpMacStatus_, fhrpHwStatus_, vrrpSmHelper_);
    auto runningState = typed<SmRunningState>(getLocalEntity(smStatePath()));
    // The system database whose mount group doInit used, not the one the
    // completion came from.
    l3MyStationSmIs(corralEm(), inputs.featureCommon, myStationConfigDir_, myStationStatusDir_,
                    runningState);
    l3MyStationHelperSmIs(routerMacDb_, routerMacStatusDb_, inputs.routingConfig,
                          inputs.routingStatus, myStationConfigDir_);
    // Last: the resolver now handles everything already in its inputs.
    l3MyStationHelperSm_->initializedIs(true);
}

MyStationMounter::WiringInputs MyStationMounter::inputsLookUp(Corral::EntityManager const* em) {
    WiringInputs inputs;
    inputs.featureCommon =
        typed<PlinthCentral::FeatureAgentCommonSmData const>(sharedEntity("featureCommon"));
    inputAttributesIs(em);
    inputs.routingConfig = typed<L3MyStationRoutingConfig const>(
        localEm() ? localEm()->getEntity(kRoutingConfigPath) : nullptr);
    inputs.routingStatus = typed<L3MyStationRoutingStatus>(getLocalEntity(kRoutingStatusPath));
    // Needed only once the directories exist, but looked up now: without it
    // the wiring is refused before anything is created.
    inputs.brixL3Status = typed<Brix::L3Status const>(sharedEntity("brixL3Status"));
    return inputs;
}

void MyStationMounter::inputAttributesIs(Corral::EntityManager const* em) {
    routerMacDbIs(sysdbEntity<Brix::BrixRouterMacDb>(em, "hardware/brix/routerMacDb"));
    routerMacStatusDbIs(sysdbEntity<Brix::BrixRouterMacStatusDb>(
        em, "hardware/brix/routerMacStatusDb/l3RouterMacStatusDb"));
    virtualMacStatusInIs(
        sysdbEntity<Routing::Fhrp::VirtualRouterMacStatus const>(em, "routing/fhrp/vrMacStatus"));
    fhrpHwStatusIs(
        sysdbEntity<Routing::Fhrp::Hardware::Status>(em, "routing/fhrp/hardware/status"));
    l3CapabilitiesIs(sysdbEntity<PlinthCentral::L3Capabilities const>(
        em, "hardware/plinth/centralStatus/l3Capabilities"));
}

bool MyStationMounter::wiringPossible(WiringInputs const& inputs) const {
    if (!fhrpHwStatus_) {
        KEL_TRACE(traceHandle(), 0, kSource,
                  "routing/fhrp/hardware/status missing, My Station wiring refused");
        return false;
    }
    if (!inputs.brixL3Status) {
        KEL_TRACE(traceHandle(), 0, kSource, "brixL3Status missing, My Station wiring refused");
        return false;
    }
    return true;
}

void MyStationMounter::capabilitiesPublish() {
    Routing::Fhrp::Hardware::Status& status = *fhrpHwStatus_;
    status.anygwSupportedIs(true);
    status.vrrpSupportedIs(togglePlinthL3UnicastVrrpEnabled());
    status.vrrpSupportedMaxNumIs(kVrrpSupportedMaxNum);
    status.vrrpMacAsAnygwMacSupportedIs(true);
    status.useUniqueGroupIdsIs(false);
    status.requireGlobalIpRoutingIs(false);
    status.vrrpSubinterfaceSupportedIs(false);
}

void MyStationMounter::routerMacDbIs(Kel::Ptr<Brix::BrixRouterMacDb> const& db) {
    inputIs(routerMacDb_, db);
}
void MyStationMounter::routerMacStatusDbIs(Kel::Ptr<Brix::BrixRouterMacStatusDb> const& db) {
    inputIs(routerMacStatusDb_, db);
}
void MyStationMounter::virtualMacStatusInIs(
    Kel::Ptr<Routing::Fhrp::VirtualRouterMacStatus const> const& status) {
    inputIs(virtualMacStatusIn_, status);
}
void MyStationMounter::fhrpHwStatusIs(Kel::Ptr<Routing::Fhrp::Hardware::Status> const& status) {
    inputIs(fhrpHwStatus_, status);
}
void MyStationMounter::l3CapabilitiesIs(
    Kel::Ptr<PlinthCentral::L3Capabilities const> const& capabilities) {
    inputIs(l3Capabilities_, capabilities);
}

Kel::Ptr<L3MyStationHelperSm> MyStationMounter::l3MyStationHelperSmIs(
    RouterMacDbIn const& routerMacDb, RouterMacStatusDbIn const& routerMacStatusDb,
    RoutingConfigIn const& myStationRoutingConfig, RoutingStatusIn const& myStationRoutingStatus,
    ConfigDirIn const& myStationConfigDir) {
    return reactorIs(l3MyStationHelperSm_, &L3MyStationHelperSm::L3MyStationHelperSmIs, routerMacDb,
                     routerMacStatusDb, myStationRoutingConfig, myStationRoutingStatus,
                     myStationConfigDir);
}

Kel::Ptr<L3MyStationHelperSm> MyStationMounter::l3MyStationHelperSmDel() {
    return reactorDel(l3MyStationHelperSm_);
}

Kel::Ptr<L3MyStationSm> MyStationMounter::l3MyStationSmIs(
    Kel::Ptr<Corral::EntityManager> const& corralEm,
    Kel::Ptr<PlinthCentral::FeatureAgentCommonSmData const> const& fcsd,
    Kel::Ptr<MyStationConfigDir const> const& myStationConfigDir,
    Kel::Ptr<MyStationStatusDir> const& myStationStatusDir,
    Kel::Ptr<SmRunningState> const& smRunningState) {
    return reactorIs(l3MyStationSm_, &L3MyStationSm::L3MyStationSmIs, corralEm, fcsd,
                     myStationConfigDir, myStationStatusDir, smRunningState);
}

Kel::Ptr<L3MyStationSm> MyStationMounter::l3MyStationSmDel() {
    return reactorDel(l3MyStationSm_);
}

Kel::Ptr<Brix::VrrpPrivateVlanReflectorLib::LibSm> MyStationMounter::vrrpPrivateVlanReflectorSmIs(
    Kel::Ptr<Routing::Fhrp::VirtualRouterMacStatus const> const& virtualRouterMacStatusIn,
    Kel::Ptr<IntfVlanIdSet::Table const> const& intfVlanIdSetTable,
    Kel::Ptr<VirtualRouterMacTable> const& virtualRouterMacTableOut) {
    return reactorIs(vrrpPrivateVlanReflectorSm_,
                     &Brix::VrrpPrivateVlanReflectorLib::LibSm::LibSmIs, virtualRouterMacStatusIn,
                     intfVlanIdSetTable, virtualRouterMacTableOut);
}

Kel::Ptr<Brix::VrrpPrivateVlanReflectorLib::LibSm>
MyStationMounter::vrrpPrivateVlanReflectorSmDel() {
    return reactorDel(vrrpPrivateVlanReflectorSm_);
}

Kel::Ptr<VrrpSmHelper> MyStationMounter::vrrpSmHelperIs(
    Vosk::String const& name, Kel::Ptr<MyStationConfigDir> const& myStationConfigDir,
    Kel::Ptr<MyStationStatusDir const> const& myStationStatusDir) {
    if (madeFrom(vrrpSmHelper_, name, myStationConfigDir, myStationStatusDir)) {
        return vrrpSmHelper_;
    }
    if (vrrpSmHelper_) {
        vrrpSmHelper_->parentIs(nullptr);
    }
    Kel::Ptr<VrrpSmHelper> created =
        VrrpSmHelper::VrrpSmHelperIs(name, myStationConfigDir, myStationStatusDir);
    created->parentIs(this);
    vrrpSmHelper_ = created;
    return created;
}

Kel::Ptr<VrrpSmHelper> MyStationMounter::vrrpSmHelperDel() {
    Kel::Ptr<VrrpSmHelper> removed = std::exchange(vrrpSmHelper_, nullptr);
    if (removed) {
        removed->parentIs(nullptr);
    }
    return removed;
}

Kel::Ptr<Brix::VrrpSm> MyStationMounter::vrrpSmIs(
    Kel::Ptr<VirtualRouterMacTable const> const& vrrpMacStatus,
    Kel::Ptr<Routing::Fhrp::Hardware::Status const> const& vrrpHwStatus,
    Kel::Ptr<BrixHelper::VrrpSmHelper> const& vrrpHelper) {
    return reactorIs(vrrpSm_, &Brix::VrrpSm::VrrpSmIs, vrrpMacStatus, vrrpHwStatus, vrrpHelper);
}

Kel::Ptr<Brix::VrrpSm> MyStationMounter::vrrpSmDel() {
    return reactorDel(vrrpSm_);
}

}  // namespace PlinthL3Unicast
