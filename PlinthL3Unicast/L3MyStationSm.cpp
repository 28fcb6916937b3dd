#include "PlinthL3Unicast/L3MyStationSm.h"

#include <ios>
#include <vector>

#include "Corral/EntityManager.h"
#include "Kel/Trace.h"
#include "Kel/Type.h"
#include "PlinthCentral/ChipAgent.h"
#include "PlinthL3Records/MyStationDir.h"
#include "PlinthL3Records/MyStationTable.h"
#include "PlinthL3Records/RoutingRecords.h"
#include "PlinthProfile/Profile.h"

namespace PlinthL3Unicast {

namespace {

constexpr char const* kSource = "PlinthL3Unicast/L3MyStationSm";
constexpr char const* kHandleLogicalFapIdSignature =
    "void PlinthL3Unicast::L3MyStationSm::handleLogicalFapId(LogicalFap::LogicalFapId)";

// The chip driver's unit for the table, whatever the logical FAP id.
constexpr Asic::UnitId kTableUnit = 511;

// Looked up once, when the plug-in is loaded: a trace site runs on every
// change, and a function-local static would test its guard each time.
Kel::TraceHandle& handle = Kel::traceHandle("L3MyStationSm");

Kel::TraceHandle& trace() {
    return handle;
}

// The chip's My Station feature from its profile; null for an unknown chip,
// a profile without the feature, or a feature of another class under its key.
Kel::Ptr<MyStationAttr const> chipAttrOf(Asic::ChipInfo const& chipInfo) {
    Kel::Ptr<Asic::ChipProfile const> profile = PlinthProfile::activeChipProfile(chipInfo);
    if (!profile) {
        return nullptr;
    }
    auto const& features = profile->features();
    auto found = features.find(myStationAttrType());
    if (found == features.end()) {
        return nullptr;
    }
    return Kel::dynamicPtrCast<MyStationAttr const>(found->second);
}

// Narrowed to 16 bits first, as the chip's VLAN fields take them; above
// 0x0fff the conversion raises the range error.
Kel::U12 u12(std::uint32_t value) {
    return Kel::U12(static_cast<std::uint16_t>(value));
}

MacVlanTagged tableKey(MacVlan const& key, bool tagged) {
    return {key.addr, key.vlan, key.vlanMask, Pakt::EthAddr::broadcast(), tagged};
}

// The primary entry of `key`. Converts the VLAN fields only for a non-zero
// VLAN, so a key for any VLAN never raises the range error.
MyStationTable::Entry primaryEntry(MacVlan const& key, MyStationConfig const& config) {
    MyStationTable::Entry entry;
    entry.entryFlag1 = config.stationFlag;
    entry.entryFlag2 = config.l3Enabled;
    entry.entryFlag3 = config.l3Enabled;
    if (key.vlan != 0) {
        entry.vlanId = u12(key.vlan);
        entry.vlanIdMask = u12(key.vlanMask);
    }
    entry.macAddr = key.addr;
    entry.macAddrMask = Pakt::EthAddr::broadcast();
    entry.entryFlag4 = config.l3Enabled;
    return entry;
}

// The second entry for tagged frames: the VLAN moves to the tagged fields.
MyStationTable::Entry taggedEntry(MyStationTable::Entry entry) {
    entry.taggedVlanId = entry.vlanId;
    entry.taggedVlanIdMask = entry.vlanIdMask;
    entry.vlanId = Kel::U12();
    entry.vlanIdMask = Kel::U12();
    return entry;
}

// What the table programmer leaves undone for an input this switch does not
// mount, so that a silent table can be traced back to its cause.
void inputMissing(char const* skipped, char const* input) {
    KEL_TRACE(trace(), 0, kSource, "%s skipped: %s missing", skipped, input);
}

void dispatchFailed(char const* entry, char const* what) {
    KEL_TRACE(trace(), 0, kSource, "%s dropped a change: %s", entry, what);
}

Kel::Ptr<Kel::PtrInterface> fromArgs(Kel::ArgList const& args) {
    return l3MyStationSmFactory(Kel::argAt<L3MyStationSm::EntityManagerPtr>(args, 0),
                                Kel::argAt<L3MyStationSm::FcsdPtr>(args, 1),
                                Kel::argAt<L3MyStationSm::ConfigDirPtr>(args, 2),
                                Kel::argAt<L3MyStationSm::StatusDirPtr>(args, 3),
                                Kel::argAt<L3MyStationSm::RunningStatePtr>(args, 4));
}

using Sm = L3MyStationSm;

Kel::TypeImpl const smType(
    "PlinthL3Unicast::L3MyStationSm",
    {
        Kel::attrRead<Sm>("corralEm", [](Sm& s) { return s.corralEm(); }),
        Kel::attrRead<Sm>("fcsd", [](Sm& s) { return s.fcsd(); }),
        Kel::attrRead<Sm>("myStationConfigDir", [](Sm& s) { return s.myStationConfigDir(); }),
        Kel::attrRead<Sm>("myStationStatusDir", [](Sm& s) { return s.myStationStatusDir(); }),
        Kel::attrRead<Sm>("smRunningState", [](Sm& s) { return s.smRunningState(); }),
        Kel::attrReadWrite<Sm>(
            "myStationTable", [](Sm& s) { return s.myStationTable(); },
            [](Sm& s, Kel::Ptr<MyStationTable> const& t) { s.myStationTableIs(t); }),
        Kel::attrReadWrite<Sm>(
            "l3UnicastChipAttr", [](Sm& s) { return s.l3UnicastChipAttr(); },
            [](Sm& s, Kel::Ptr<MyStationAttr const> const& a) { s.l3UnicastChipAttrIs(a); }),
        Kel::attrInvoke<Sm>("handleLogicalFapId",
                            [](Sm& s, Kel::ArgList const& args, Kel::Value&) {
                                s.handleLogicalFapId(Kel::argAt<LogicalFap::LogicalFapId>(args, 0));
                            }),
        Kel::attrInvoke<Sm>("handleConfig",
                            [](Sm& s, Kel::ArgList const& args, Kel::Value&) {
                                s.handleConfig(Kel::argAt<MacVlan>(args, 0));
                            }),
        Kel::attrReadWrite<Sm>(
            "initialized", [](Sm& s) { return s.initialized(); },
            [](Sm& s, bool i) { s.initializedIs(i); }),
        Kel::attrInvoke<Sm>("handleInitialized",
                            [](Sm& s, Kel::ArgList const&, Kel::Value&) { s.handleInitialized(); }),
    },
    nullptr, fromArgs);

Kel::ModuleRegistration const registration({"L3MyStationSm", {&smType}});

}  // namespace

Kel::Ptr<L3MyStationSm> L3MyStationSm::L3MyStationSmIs(EntityManagerPtr const& corralEm,
                                                       FcsdPtr const& fcsd,
                                                       ConfigDirPtr const& myStationConfigDir,
                                                       StatusDirPtr const& myStationStatusDir,
                                                       RunningStatePtr const& smRunningState) {
    // A constructor that throws frees the allocation before the counted
    // reference is ever taken.
    Kel::Ptr<L3MyStationSm> sm(
        new L3MyStationSm(corralEm, fcsd, myStationConfigDir, myStationStatusDir, smRunningState));
    sm->hasNotificationActiveIs(true);
    return sm;
}

Kel::Ptr<L3MyStationSm> l3MyStationSmFactory(L3MyStationSm::EntityManagerPtr const& corralEm,
                                             L3MyStationSm::FcsdPtr const& fcsd,
                                             L3MyStationSm::ConfigDirPtr const& myStationConfigDir,
                                             L3MyStationSm::StatusDirPtr const& myStationStatusDir,
                                             L3MyStationSm::RunningStatePtr const& smRunningState) {
    return L3MyStationSm::L3MyStationSmIs(corralEm, fcsd, myStationConfigDir, myStationStatusDir,
                                          smRunningState);
}

L3MyStationSm::L3MyStationSm(EntityManagerPtr corralEm, FcsdPtr fcsd,
                             ConfigDirPtr myStationConfigDir, StatusDirPtr myStationStatusDir,
                             RunningStatePtr smRunningState)
    : corralEm_(std::move(corralEm)),
      fcsd_(std::move(fcsd)),
      myStationConfigDir_(std::move(myStationConfigDir)),
      myStationStatusDir_(std::move(myStationStatusDir)),
      smRunningState_(std::move(smRunningState)) {
    // Subscribed before the first pass, so an id or a configuration entry
    // that a reaction below causes is not missed.
    subscribe();
    try {
        handleInitialized();
        handleLogicalFapId();
    } catch (...) {
        unsubscribe();
        release();
        throw;
    }
}

L3MyStationSm::~L3MyStationSm() {
    kelDoZombieReactors(true);
    unsubscribe();
    release();
}

void L3MyStationSm::release() {
    l3UnicastChipAttr_.reset();
    myStationTable_.reset();
    smRunningState_.reset();
    myStationStatusDir_.reset();
    myStationConfigDir_.reset();
    fcsd_.reset();
    corralEm_.reset();
}

Kel::TypeImpl const* L3MyStationSm::fwkType() const {
    return &smType;
}

void L3MyStationSm::kelDoZombieReactors(bool zombie) {
    if (zombie != kelMarkedForDeletion()) {
        kelMarkedForDeletionIs(zombie);
    }
}

void L3MyStationSm::hasNotificationActiveIs(bool active) {
    Kel::notificationActiveIs<PtrInterface>(*this, active, fcsdSubscription_,
                                            myStationConfigDirSubscription_);
}

void L3MyStationSm::subscribe() {
    fcsdSubscription_.activeIs(true);
    myStationConfigDirSubscription_.activeIs(true);
}

void L3MyStationSm::unsubscribe() {
    fcsdSubscription_.activeIs(false);
    myStationConfigDirSubscription_.activeIs(false);
}

void L3MyStationSm::fcsdDispatch(Vosk::Publisher*, Vosk::Subscriber* subscriber, short attribute,
                                 void const* key, void const*) {
    bool const watched =
        attribute == PlinthCentral::FeatureAgentCommonSmData::kLogicalFapIdInsertedAttr;
    Kel::dispatchTo<L3MyStationSm>(
        &dispatchFailed, "fcsdDispatch", subscriber, watched, [key](auto& sm) {
            sm.handleLogicalFapId(*static_cast<LogicalFap::LogicalFapId const*>(key));
        });
}

void L3MyStationSm::myStationConfigDirDispatch(Vosk::Publisher*, Vosk::Subscriber* subscriber,
                                               short attribute, void const* key,
                                               void const* value) {
    bool const watched = attribute == MyStationConfigDir::kCollectionAttr;
    Kel::dispatchTo<L3MyStationSm>(
        &dispatchFailed, "myStationConfigDirDispatch", subscriber, watched, [key, value](auto& sm) {
            // Copied: the publisher's key may not outlive a change that the
            // reaction causes in the same directory.
            MacVlan const mask = *static_cast<MacVlan const*>(key);
            // The record handed over spares a lookup, unless a subscriber
            // before this one has changed the directory since.
            if (sm.myStationConfigDir_->announcingLatest()) {
                sm.handleConfig(mask, static_cast<MyStationConfig const*>(value));
            } else {
                sm.handleConfig(mask);
            }
        });
}

void L3MyStationSm::myStationTableIs(Kel::Ptr<MyStationTable> const& table) {
    myStationTable_ = table;
}

void L3MyStationSm::l3UnicastChipAttrIs(Kel::Ptr<MyStationAttr const> const& attr) {
    l3UnicastChipAttr_ = attr;
}

void L3MyStationSm::handleInitialized() {
    KEL_TRACE(trace(), 0, kSource, "void PlinthL3Unicast::L3MyStationSm::handleInitialized()");
    handleLogicalFapId();
}

void L3MyStationSm::handleLogicalFapId() {
    KEL_TRACE(trace(), 0, kSource, "void PlinthL3Unicast::L3MyStationSm::handleLogicalFapId()");
    if (!fcsd_) {
        inputMissing("handleLogicalFapId", "fcsd");
        return;
    }
    // Copied: creating the table notifies other reactors, which may change
    // the set while this loop walks it.
    auto const ids = fcsd_->logicalFapIdInserted();
    for (LogicalFap::LogicalFapId id : ids) {
        handleLogicalFapId(id);
    }
}

void L3MyStationSm::handleLogicalFapId(LogicalFap::LogicalFapId unitId) {
    if (myStationTable_) {
        KEL_TRACE(trace(), 0, kSource, "handleLogicalFapId MyStationTable is already initialized ");
        return;
    }
    KEL_TRACE(trace(), 0, kSource,
              "void PlinthL3Unicast::L3MyStationSm::handleLogicalFapId(LogicalFap::LogicalFapId) "
              "module: %s",
              unitId);
    Kel::Ptr<PlinthCentral::LogicalModuleInfo const> module =
        fcsd_ ? fcsd_->logicalModInfo(unitId) : nullptr;
    if (!module) {
        // The chip agent may insert an id before its module information; a
        // later notification of the id brings this reactor back here.
        KEL_TRACE(trace(), 0, kSource, "handleLogicalFapId no module information for %s, waiting",
                  unitId);
        return;
    }
    PlinthCentral::ChipInfo const chipInfo = module->chipInfo();
    KEL_TRACE(trace(), 0, kSource,
              "void PlinthL3Unicast::L3MyStationSm::handleLogicalFapId(LogicalFap::LogicalFapId) "
              "chipInfo: %s",
              chipInfo.stringValue());
    tableCreate(chipInfo);
}

void L3MyStationSm::tableCreate(PlinthCentral::ChipInfo const& chipInfo) {
    // An unknown chip has no profile and so lacks the feature as well: both
    // are a broken platform description.
    l3UnicastChipAttr_ = chipAttrOf(chipInfo);
    KEL_ASSERT(l3UnicastChipAttr() != nullptr,
               "l3UnicastChipAttr() != __null && \" ChipAttributes not found\"",
               kHandleLogicalFapIdSignature, kSource);

    myStationTable_ = myStationTableFactory();
    myStationTable_->doInit(kTableUnit, corralEm_, chipInfo);
    myStationTable_->doPublishHwTableMountInfo();
    myStationTable_->entryRemoveAll();
    KEL_ASSERT(myStationTable()->entrys() == 0, "myStationTable()->entrys() == 0",
               kHandleLogicalFapIdSignature, kSource);

    initialized_ = true;
    // Sized once for what is configured: growing by rehash while a large
    // configuration goes in costs as much as the entries themselves.
    roomFollow();
    // Everything configured while the table did not exist goes in before
    // anyone is told that the table is live.
    handleConfig();
    if (smRunningState_) {
        smRunningState_->runningIs(true);
    } else {
        inputMissing("runningIs", "smRunningState");
    }
}

void L3MyStationSm::handleConfig() {
    KEL_TRACE(trace(), 0, kSource, "void PlinthL3Unicast::L3MyStationSm::handleConfig()");
    if (!myStationConfigDir_) {
        inputMissing("handleConfig", "myStationConfigDir");
        return;
    }
    // Over a copy of the keys: status subscribers may write the directory
    // while this loop runs. A key the chip cannot hold (a VLAN beyond 12 bits) ends the replay
    // there: the keys after it wait for their next change, and the running
    // state stays off, since the table does not hold every configured entry.
    for (MacVlan const& key : myStationConfigDir_->config().keys()) {
        handleConfig(key);
    }
}

void L3MyStationSm::handleConfig(MacVlan const& mask) {
    handleConfig(mask, myStationConfigDir_ ? myStationConfigDir_->config(mask) : nullptr);
}

void L3MyStationSm::handleConfig(MacVlan const& mask, MyStationConfig const* found) {
    KEL_TRACE(trace(), 0, kSource, "handleConfig addr: %s vlan/mask: 0x%s%s/0x%s", mask.addr,
              std::hex, mask.vlan, mask.vlanMask);
    // A table written away through reflective access counts as none.
    if (!initialized_ || !myStationTable_) {
        KEL_TRACE(trace(), 0, kSource, "handleConfig MyStationTable is not yet initialized ");
        return;
    }
    if (found != nullptr) {
        // Copied: writing the status notifies others, who may change the entry.
        MyStationConfig const config = *found;
        if (trace().enabled(8)) {
            KEL_TRACE_TEXT(trace(), 8, kSource, "handleConfig macConf: %s", config);
        }
        KEL_TRACE(trace(), 0, kSource, "handleConfig Routing is enabled ");
        entriesProgram(mask, config);
        return;
    }
    KEL_TRACE(trace(), 0, kSource, "handleConfig Routing is disabled ");
    entriesRemove(mask);
}

bool L3MyStationSm::taggedEntryNeeded(MacVlan const& mask) const {
    return mask.vlan != 0 && l3UnicastChipAttr_ && l3UnicastChipAttr_->taggedEntryNeeded();
}

// The status holds an entry per configured key: when a writer has made room
// in the directory for many keys at once, the same room is made here once,
// instead of growing by moving every entry time and again. The chip's table
// sizes itself; it gets no calls beyond its entries.
void L3MyStationSm::roomFollow() {
    if (!myStationConfigDir_ || !myStationStatusDir_) {
        return;
    }
    std::size_t const room = myStationConfigDir_->config().room();
    if (room > myStationStatusDir_->status().room()) {
        myStationStatusDir_->statusReserve(room);
    }
}

void L3MyStationSm::entriesProgram(MacVlan const& mask, MyStationConfig const& config) {
    // Built in full before the first write: a range error leaves the table
    // and the status as they were.
    MyStationTable::Entry const entry = primaryEntry(mask, config);
    roomFollow();
    myStationTable_->entryCommit(tableKey(mask, false), entry);
    if (taggedEntryNeeded(mask)) {
        myStationTable_->entryCommit(tableKey(mask, true), taggedEntry(entry));
    }
    // The status only marks the key as programmed; it carries no flags.
    MyStationStatus status;
    status.macVlan = mask;
    if (myStationStatusDir_) {
        myStationStatusDir_->statusIs(mask, status);
    } else {
        inputMissing("statusIs", "myStationStatusDir");
    }
}

void L3MyStationSm::entriesRemove(MacVlan const& mask) {
    // Unconditional: the table ignores keys it does not hold.
    myStationTable_->entryRemove(tableKey(mask, false));
    if (taggedEntryNeeded(mask)) {
        myStationTable_->entryRemove(tableKey(mask, true));
    }
    if (myStationStatusDir_) {
        myStationStatusDir_->statusDel(mask);
    } else {
        inputMissing("statusDel", "myStationStatusDir");
    }
}

}  // namespace PlinthL3Unicast
