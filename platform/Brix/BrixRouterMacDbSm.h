#pragma once

#include <absl/container/flat_hash_set.h>

#include <vector>

#include "Brix/RouterMac.h"
#include "Kel/Ptr.h"
#include "Kel/Subscription.h"

namespace Kel {
struct AttributeImpl;
}

namespace Brix {

// The reactor base of whoever programs the router MACs of the router-MAC
// database. It turns the database's changes into one handleRouterMac call
// per addition, change and removal of an entry, but only while initialized:
// what happened before initialization is covered by the report of every
// present entry when the flag turns on.
//
// Ordering and re-entrancy: all calls arrive on the agent's thread. The
// handlers run inside the database's notification, so they must not change
// routerMacDb (they cannot: it is const here) but may write anything else,
// the status database included. initializedIs reports from a snapshot of
// the entries, so a handler that causes other changes cannot invalidate it.
class BrixRouterMacDbSm : public Kel::PtrInterface {
  public:
    Kel::Ptr<BrixRouterMacDb const> const& routerMacDb() const { return routerMacDb_; }
    Kel::Ptr<BrixRouterMacStatusDb> const& routerMacStatusDb() const { return routerMacStatusDb_; }

    bool initialized() const { return initialized_; }
    // Turning the flag on first drops every status record an earlier run of
    // the agent left (the status database lives in the system database and
    // outlives a restart, the agent's own configuration does not), then
    // reports every present entry, then calls handleInitialized. Setting it
    // to what it already is does nothing (a second mount completion must not
    // reconcile again); turning it off calls handleInitialized once and stops
    // the reports.
    void initializedIs(bool initialized);

    // Subscribes to routerMacDb while active. A change made while inactive
    // is not reported later; owners switch a reactor off only to stop it.
    void hasNotificationActiveIs(bool active) override;
    Kel::TypeImpl const* fwkType() const override;

    // One entry of routerMacDb was added or changed (present true, with the
    // entry's routing flag) or removed (present false, routing flag false).
    // A removal is reported only for a key reported present before. The
    // default hands the call to the handler of the entry's MAC type.
    virtual void handleRouterMac(MacTypeMask const& macTypeMask, bool present,
                                 bool v4OrV6RoutingEnabled);
    virtual void handleSystemMac(MacTypeMask const&, bool /*present*/, bool /*routing*/) {}
    virtual void handleVirtualMac(MacTypeMask const&, bool /*present*/, bool /*routing*/) {}
    virtual void handleVrrpMac(MacTypeMask const&, bool /*present*/, bool /*routing*/) {}
    virtual void handleMlagPeerMac(MacTypeMask const&, bool /*present*/, bool /*routing*/) {}
    virtual void handleSharedRouterEncapMac(MacTypeMask const&, bool /*present*/,
                                            bool /*routing*/) {}
    virtual void handleInterfaceMac(MacTypeMask const&, bool /*present*/, bool /*routing*/) {}
    virtual void handleGatewayMac(MacTypeMask const&, bool /*present*/, bool /*routing*/) {}
    // Called after every change of the initialized flag; the default does
    // nothing.
    virtual void handleInitialized() {}

    // The reflective attributes of the base, routerMacDb then
    // routerMacStatusDb, for the head of a derived type's table.
    static std::vector<Kel::AttributeImpl> baseAttributes();

  protected:
    BrixRouterMacDbSm(Kel::Ptr<BrixRouterMacDb const> const& routerMacDb,
                      Kel::Ptr<BrixRouterMacStatusDb> const& routerMacStatusDb);
    ~BrixRouterMacDbSm() override;

  private:
    static void routerMacDbDispatch(Vosk::Publisher* publisher, Vosk::Subscriber* subscriber,
                                    short attribute, void const* key, void const* value);
    void handleRouterMacDbChange(MacTypeMask const& key, BrixRouterMac const* entry);
    void statusRecordsDrop();
    void presentEntriesReport();
    void silenceEnd();

    Kel::Ptr<BrixRouterMacDb const> routerMacDb_;
    Kel::Subscription<BrixRouterMacDb const> routerMacDbSubscription_{routerMacDb_, this,
                                                                      &routerMacDbDispatch};
    Kel::Ptr<BrixRouterMacStatusDb> routerMacStatusDb_;
    bool initialized_ = false;
    // Every key present in the database has been reported present, except
    // those added while this reactor was switched off after initialization:
    // these are never reported removed. (Tracking the exceptions instead of
    // every reported key keeps the common change free of a second table.)
    absl::flat_hash_set<MacTypeMask, MacTypeMaskHash> unreported_;
    // The keys present, every one reported, when the reactor was switched
    // off while initialized, or initialized while switched off.
    std::vector<MacTypeMask> reportedWhenSilenced_;
};

}  // namespace Brix
