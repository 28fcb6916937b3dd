#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "Brix/BrixRouterMacDbSm.h"
#include "Kel/Enum.h"
#include "Kel/Subscription.h"
#include "Kel/Type.h"
#include "PlinthL3Records/RoutingRecords.h"
#include "Vosk/String.h"

namespace PlinthL3Unicast {

class MyStationConfigDir;

// The router-MAC resolver's inputs, in the order its create operations take
// them.
using RouterMacDbIn = Kel::Ptr<Brix::BrixRouterMacDb const>;
using RouterMacStatusDbIn = Kel::Ptr<Brix::BrixRouterMacStatusDb>;
using RoutingConfigIn = Kel::Ptr<L3MyStationRoutingConfig const>;
using RoutingStatusIn = Kel::Ptr<L3MyStationRoutingStatus>;
using ConfigDirIn = Kel::Ptr<MyStationConfigDir>;

// Turns the router's own MACs into My Station configuration entries: the
// router MACs of the router-MAC database (handleRouterMac, through the base)
// and the desired system and virtual router MAC states of the routing
// configuration (handleRouterType). Both write one entry per MAC address
// under the same key, so either may replace or delete what the other wrote.
class L3MyStationHelperSm : public Brix::BrixRouterMacDbSm {
  public:
    enum class RouterTypes : std::uint8_t {
        systemRouter = 0,
        virtualRouter = 1,
    };

    // The only way to make one: notifications are on when it returns.
    static Kel::Ptr<L3MyStationHelperSm> L3MyStationHelperSmIs(
        RouterMacDbIn const& routerMacDb, RouterMacStatusDbIn const& routerMacStatusDb,
        RoutingConfigIn const& myStationRoutingConfig,
        RoutingStatusIn const& myStationRoutingStatus, ConfigDirIn const& myStationConfigDir);
    // The type record's factory: the five arguments above, in that order.
    static Kel::Ptr<Kel::PtrInterface> genericIfConstructFromCtorArgs(Kel::ArgList const& args);

    RoutingConfigIn const& myStationRoutingConfig() const { return myStationRoutingConfig_; }
    RoutingStatusIn const& myStationRoutingStatus() const { return myStationRoutingStatus_; }
    ConfigDirIn const& myStationConfigDir() const { return myStationConfigDir_; }

    // The desired state of `routerType`, from the routing configuration.
    PlinthL3::MacState getNewMacState(RouterTypes routerType) const;
    // The state last applied for `routerType`, from the routing status.
    PlinthL3::MacState getOldMacState(RouterTypes routerType) const;
    // Replaces the entry of the MAC last applied for `routerType` by the
    // entry of the desired MAC, then records the desired state as applied.
    void handleRouterType(RouterTypes routerType);
    void updateRouterMacState(RouterTypes routerType, PlinthL3::MacState macState);

    void handleRouterMac(Brix::MacTypeMask const& macTypeMask, bool present,
                         bool v4OrV6RoutingEnabled) override;
    // Reconciles the system router, then the virtual router.
    void handleInitialized() override;

    // Publisher* and Subscriber* are borrowed for the call only.
    static void myStationRoutingConfigDispatch(Vosk::Publisher* publisher,
                                               Vosk::Subscriber* subscriber, short attribute,
                                               void const* key, void const* value);

    void hasNotificationActiveIs(bool active) override;
    Kel::TypeImpl const* fwkType() const override;
    void kelDoZombieReactors(bool zombie) override;

  protected:
    L3MyStationHelperSm(RouterMacDbIn const& routerMacDb,
                        RouterMacStatusDbIn const& routerMacStatusDb,
                        RoutingConfigIn const& myStationRoutingConfig,
                        RoutingStatusIn const& myStationRoutingStatus,
                        ConfigDirIn const& myStationConfigDir);
    ~L3MyStationHelperSm() override;

  private:
    // Each pointer holds one counted share for the helper's whole life.
    RoutingConfigIn myStationRoutingConfig_;
    Kel::Subscription<L3MyStationRoutingConfig const> myStationRoutingConfigSubscription_{
        myStationRoutingConfig_, this, &myStationRoutingConfigDispatch};
    RoutingStatusIn myStationRoutingStatus_;
    ConfigDirIn myStationConfigDir_;
};

using RouterTypes = L3MyStationHelperSm::RouterTypes;

// True when no MAC has been applied: the MAC is all zeros, whatever `valid`.
bool zeroMacState(PlinthL3::MacState macState);

Kel::Ptr<L3MyStationHelperSm> l3MyStationHelperSmFactory(
    RouterMacDbIn const& routerMacDb, RouterMacStatusDbIn const& routerMacStatusDb,
    RoutingConfigIn const& myStationRoutingConfig, RoutingStatusIn const& myStationRoutingStatus,
    ConfigDirIn const& myStationConfigDir);

// Text forms of RouterTypes: the enumerator names. Anything that is not an
// enumerator is refused with Kel::EnumValueException, except by operator<<,
// which writes such a value as its number so that a trace line never throws.
RouterTypes RouterTypesInstance(unsigned value);
RouterTypes RouterTypesInstance(Vosk::String const& name);
std::ostream& operator<<(std::ostream& os, RouterTypes const& routerType);
std::string valueToStrep(RouterTypes const& routerType);
Vosk::String stringValue(RouterTypes routerType);
// Parses `range` as exactly one name; on success advances the range to its
// end, stores the value and answers true, else changes nothing and answers
// false.
bool sequenceToValue(Kel::CharRange& range, RouterTypes* routerType);

}  // namespace PlinthL3Unicast
