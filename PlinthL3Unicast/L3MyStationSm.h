#pragma once

#include "Asic/ChipInfo.h"
#include "Kel/Ptr.h"
#include "Kel/Subscription.h"
#include "LogicalFap/LogicalFapId.h"
#include "PlinthL3Records/MacVlan.h"
#include "Vosk/Publisher.h"

namespace Corral {
class EntityManager;
}
namespace PlinthCentral {
class FeatureAgentCommonSmData;
}

namespace PlinthL3Unicast {

class MyStationAttr;
struct MyStationConfig;
class MyStationConfigDir;
class MyStationStatusDir;
class MyStationTable;
class SmRunningState;

// Owns the chip's My Station table. Creates and empties it once the chip
// agent knows the chip's logical FAP identity, then keeps it in step with
// the configuration directory and records every programmed key in the
// status directory. Sets the running state once the table holds every
// configured entry.
class L3MyStationSm : public Kel::PtrInterface {
  public:
    using EntityManagerPtr = Kel::Ptr<Corral::EntityManager>;
    using FcsdPtr = Kel::Ptr<PlinthCentral::FeatureAgentCommonSmData const>;
    using ConfigDirPtr = Kel::Ptr<MyStationConfigDir const>;
    using StatusDirPtr = Kel::Ptr<MyStationStatusDir>;
    using RunningStatePtr = Kel::Ptr<SmRunningState>;

    // The one way to create the reactor: constructs it (which may already
    // create the table) and switches its notifications on.
    static Kel::Ptr<L3MyStationSm> L3MyStationSmIs(EntityManagerPtr const& corralEm,
                                                   FcsdPtr const& fcsd,
                                                   ConfigDirPtr const& myStationConfigDir,
                                                   StatusDirPtr const& myStationStatusDir,
                                                   RunningStatePtr const& smRunningState);

    void hasNotificationActiveIs(bool active) override;
    Kel::TypeImpl const* fwkType() const override;
    ~L3MyStationSm() override;
    void kelDoZombieReactors(bool zombie) override;

    EntityManagerPtr const& corralEm() const { return corralEm_; }
    FcsdPtr const& fcsd() const { return fcsd_; }
    ConfigDirPtr const& myStationConfigDir() const { return myStationConfigDir_; }
    StatusDirPtr const& myStationStatusDir() const { return myStationStatusDir_; }
    RunningStatePtr const& smRunningState() const { return smRunningState_; }

    Kel::Ptr<MyStationTable> const& myStationTable() const { return myStationTable_; }
    void myStationTableIs(Kel::Ptr<MyStationTable> const& table);
    Kel::Ptr<MyStationAttr const> const& l3UnicastChipAttr() const { return l3UnicastChipAttr_; }
    void l3UnicastChipAttrIs(Kel::Ptr<MyStationAttr const> const& attr);

    // Creates and initialises the table for `unitId` unless one exists.
    void handleLogicalFapId(LogicalFap::LogicalFapId unitId);
    // Programs or removes the table entries and the status of one key.
    // Raises the 12-bit range error, before writing anything, for a VLAN id
    // or mask that the chip cannot hold.
    void handleConfig(MacVlan const& mask);

    bool initialized() const { return initialized_; }
    void initializedIs(bool initialized) { initialized_ = initialized; }
    void handleInitialized();

    // Visits every id the chip agent has inserted.
    void handleLogicalFapId();
    // Programs every key of the configuration directory.
    void handleConfig();

    // Dispatch entries of the two subscriptions. They never let a failure
    // escape into the publisher: it is traced and the change dropped.
    static void fcsdDispatch(Vosk::Publisher* publisher, Vosk::Subscriber* subscriber,
                             short attribute, void const* key, void const* value);
    static void myStationConfigDirDispatch(Vosk::Publisher* publisher, Vosk::Subscriber* subscriber,
                                           short attribute, void const* key, void const* value);

  private:
    L3MyStationSm(EntityManagerPtr corralEm, FcsdPtr fcsd, ConfigDirPtr myStationConfigDir,
                  StatusDirPtr myStationStatusDir, RunningStatePtr smRunningState);

    void subscribe();
    void unsubscribe();
    void release();
    void tableCreate(Asic::ChipInfo const& chipInfo);
    bool taggedEntryNeeded(MacVlan const& mask) const;
    // handleConfig(mask) with the key's configuration entry given, null
    // when it has none.
    void handleConfig(MacVlan const& mask, MyStationConfig const* found);
    void roomFollow();
    void entriesProgram(MacVlan const& mask, MyStationConfig const& config);
    void entriesRemove(MacVlan const& mask);

    EntityManagerPtr corralEm_;
    FcsdPtr fcsd_;
    Kel::Subscription<PlinthCentral::FeatureAgentCommonSmData const> fcsdSubscription_{
        fcsd_, this, &fcsdDispatch};
    ConfigDirPtr myStationConfigDir_;
    Kel::Subscription<MyStationConfigDir const> myStationConfigDirSubscription_{
        myStationConfigDir_, this, &myStationConfigDirDispatch};
    StatusDirPtr myStationStatusDir_;
    RunningStatePtr smRunningState_;
    Kel::Ptr<MyStationTable> myStationTable_;
    Kel::Ptr<MyStationAttr const> l3UnicastChipAttr_;
    bool initialized_ = false;
};

Kel::Ptr<L3MyStationSm> l3MyStationSmFactory(L3MyStationSm::EntityManagerPtr const& corralEm,
                                             L3MyStationSm::FcsdPtr const& fcsd,
                                             L3MyStationSm::ConfigDirPtr const& myStationConfigDir,
                                             L3MyStationSm::StatusDirPtr const& myStationStatusDir,
                                             L3MyStationSm::RunningStatePtr const& smRunningState);

}  // namespace PlinthL3Unicast
