#include "Switch.h"

#include <algorithm>

#include "Asic/SwTable.h"

namespace PlinthAgent {

namespace {

template <class T>
Kel::Ptr<T> typed(Kel::Ptr<Kel::Entity> const& entity) {
    return Kel::dynamicPtrCast<T>(entity);
}

}  // namespace

Switch::Switch(std::set<std::string> omittedPaths)
    : omitted_(std::move(omittedPaths)),
      sysdb_(Kel::newPtr<Corral::EntityManager>()),
      shared_(Kel::newPtr<Kel::Dir>()) {
    sysdbIs(Path::routerMacDb, Kel::newPtr<Brix::BrixRouterMacDb>());
    sysdbIs(Path::routerMacStatusDir, Kel::newPtr<Kel::Dir>("routerMacStatusDb"));
    if (!omitted(Path::routerMacStatusDir)) {
        sysdbIs(Path::routerMacStatusDb, Kel::newPtr<Brix::BrixRouterMacStatusDb>());
    }
    sysdbIs(Path::vrMacStatus, Kel::newPtr<Routing::Fhrp::VirtualRouterMacStatus>());
    sysdbIs(Path::fhrpHwStatus, Kel::newPtr<Routing::Fhrp::Hardware::Status>());
    sysdbIs(Path::l3Capabilities, Kel::newPtr<PlinthCentral::L3Capabilities>());
    sysdbIs(Asic::kHwTableMountPath, Kel::newPtr<Kel::Dir>("hwTable"));
    if (!omitted(Path::featureCommon)) {
        shared_->childIs(Path::featureCommon,
                         Kel::newPtr<PlinthCentral::FeatureAgentCommonSmData>());
    }
    if (!omitted(Path::brixL3Status)) {
        shared_->childIs(Path::brixL3Status, Kel::newPtr<Brix::L3Status>());
    }
    localStoreNew();
}

std::vector<std::string> const& Switch::omittablePaths() {
    static std::vector<std::string> const paths = {
        Path::routerMacDb,   Path::routerMacStatusDir, Path::routerMacStatusDb,
        Path::vrMacStatus,   Path::fhrpHwStatus,       Path::l3Capabilities,
        Path::routingConfig, Path::routingStatus,      Path::smState,
        Path::featureCommon, Path::brixL3Status,       Asic::kHwTableMountPath};
    return paths;
}

bool Switch::omit(std::string const& path) {
    auto const& known = omittablePaths();
    if (std::find(known.begin(), known.end(), path) == known.end()) {
        return false;
    }
    omitted_.insert(path);
    sysdb_->entityDel(path);
    shared_->childDel(path);
    local_->entityDel(path);
    return true;
}

void Switch::sysdbIs(char const* path, Kel::Ptr<Kel::Entity> const& entity) {
    if (!omitted(path)) {
        sysdb_->entityIs(path, entity);
    }
}

void Switch::localStoreNew() {
    local_ = Kel::newPtr<Local::EntityManager>();
    if (!omitted(Path::routingConfig)) {
        local_->entityIs(Path::routingConfig,
                         Kel::newPtr<PlinthL3Unicast::L3MyStationRoutingConfig>());
    }
    if (!omitted(Path::routingStatus)) {
        local_->entityIs(Path::routingStatus,
                         Kel::newPtr<PlinthL3Unicast::L3MyStationRoutingStatus>());
    }
    if (!omitted(Path::smState)) {
        local_->entityIs(Path::smState, Kel::newPtr<PlinthL3Unicast::SmRunningState>());
    }
}

Kel::Ptr<Brix::BrixRouterMacDb> Switch::routerMacDb() const {
    return typed<Brix::BrixRouterMacDb>(sysdb_->getEntity(Path::routerMacDb));
}
Kel::Ptr<Brix::BrixRouterMacStatusDb> Switch::routerMacStatusDb() const {
    return typed<Brix::BrixRouterMacStatusDb>(sysdb_->getEntity(Path::routerMacStatusDb));
}
Kel::Ptr<Routing::Fhrp::VirtualRouterMacStatus> Switch::vrMacStatus() const {
    return typed<Routing::Fhrp::VirtualRouterMacStatus>(sysdb_->getEntity(Path::vrMacStatus));
}
Kel::Ptr<Routing::Fhrp::Hardware::Status> Switch::fhrpHwStatus() const {
    return typed<Routing::Fhrp::Hardware::Status>(sysdb_->getEntity(Path::fhrpHwStatus));
}
Kel::Ptr<PlinthCentral::FeatureAgentCommonSmData> Switch::featureCommon() const {
    return typed<PlinthCentral::FeatureAgentCommonSmData>(shared_->child(Path::featureCommon));
}
Kel::Ptr<Brix::L3Status> Switch::brixL3Status() const {
    return typed<Brix::L3Status>(shared_->child(Path::brixL3Status));
}
Kel::Ptr<PlinthL3Unicast::L3MyStationRoutingConfig> Switch::routingConfig() const {
    return typed<PlinthL3Unicast::L3MyStationRoutingConfig>(local_->getEntity(Path::routingConfig));
}
Kel::Ptr<PlinthL3Unicast::L3MyStationRoutingStatus> Switch::routingStatus() const {
    return typed<PlinthL3Unicast::L3MyStationRoutingStatus>(local_->getEntity(Path::routingStatus));
}
Kel::Ptr<PlinthL3Unicast::SmRunningState> Switch::smRunningState() const {
    return typed<PlinthL3Unicast::SmRunningState>(local_->getEntity(Path::smState));
}

}  // namespace PlinthAgent
