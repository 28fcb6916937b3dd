#pragma once

#include <set>
#include <string>
#include <vector>

#include "Brix/L3Status.h"
#include "Brix/RouterMac.h"
#include "PlinthCentral/ChipAgent.h"
#include "PlinthL3Records/RoutingRecords.h"
#include "Plugin/Mounter.h"
#include "Routing/Fhrp.h"

namespace PlinthAgent {

// Paths of the system database and the local store that a switch running
// the My Station plug-in holds.
namespace Path {
inline constexpr char const* routerMacDb = "hardware/brix/routerMacDb";
inline constexpr char const* routerMacStatusDir = "hardware/brix/routerMacStatusDb";
inline constexpr char const* routerMacStatusDb =
    "hardware/brix/routerMacStatusDb/l3RouterMacStatusDb";
inline constexpr char const* vrMacStatus = "routing/fhrp/vrMacStatus";
inline constexpr char const* fhrpHwStatus = "routing/fhrp/hardware/status";
inline constexpr char const* l3Capabilities = "hardware/plinth/centralStatus/l3Capabilities";
inline constexpr char const* routingConfig = "l3/myStationRoutingConfig";
inline constexpr char const* routingStatus = "l3/myStationRoutingStatus";
inline constexpr char const* smState = "l3/smState/2";
inline constexpr char const* featureCommon = "featureCommon";  // shared entity
inline constexpr char const* brixL3Status = "brixL3Status";    // shared entity
}  // namespace Path

// The switch around the plug-in: the system database, the agent's shared
// entities and its local store, filled as a switch would have them. A path
// in `omitted` is left out, as on a switch where that agent never ran.
class Switch {
  public:
    explicit Switch(std::set<std::string> omittedPaths = {});

    // Every path `omit` accepts.
    static std::vector<std::string> const& omittablePaths();
    // Leaves `path` out from now on, removing what is there. False for a
    // path the switch does not know.
    bool omit(std::string const& path);

    // Drops the local store and makes a fresh one, as an agent restart does.
    // The system database and the shared entities stay.
    void localStoreNew();
    Plugin::Context context() const { return {sysdb_, local_, shared_}; }

    Kel::Ptr<Corral::EntityManager> const& sysdb() const { return sysdb_; }
    Kel::Ptr<Local::EntityManager> const& local() const { return local_; }
    Kel::Ptr<Kel::Dir> const& shared() const { return shared_; }

    // Typed look-ups; null when omitted.
    Kel::Ptr<Brix::BrixRouterMacDb> routerMacDb() const;
    Kel::Ptr<Brix::BrixRouterMacStatusDb> routerMacStatusDb() const;
    Kel::Ptr<Routing::Fhrp::VirtualRouterMacStatus> vrMacStatus() const;
    Kel::Ptr<Routing::Fhrp::Hardware::Status> fhrpHwStatus() const;
    Kel::Ptr<PlinthCentral::FeatureAgentCommonSmData> featureCommon() const;
    Kel::Ptr<Brix::L3Status> brixL3Status() const;
    Kel::Ptr<PlinthL3Unicast::L3MyStationRoutingConfig> routingConfig() const;
    Kel::Ptr<PlinthL3Unicast::L3MyStationRoutingStatus> routingStatus() const;
    Kel::Ptr<PlinthL3Unicast::SmRunningState> smRunningState() const;

  private:
    bool omitted(std::string const& path) const { return omitted_.contains(path); }
    void sysdbIs(char const* path, Kel::Ptr<Kel::Entity> const& entity);

    std::set<std::string> omitted_;
    Kel::Ptr<Corral::EntityManager> sysdb_;
    Kel::Ptr<Local::EntityManager> local_;
    Kel::Ptr<Kel::Dir> shared_;
};

}  // namespace PlinthAgent
