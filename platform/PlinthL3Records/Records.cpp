// Type records and text forms of the My Station record library.
#include "Kel/Type.h"
#include "PlinthL3Records/MyStationDir.h"
#include "PlinthL3Records/RoutingRecords.h"

namespace PlinthL3 {

std::ostream& operator<<(std::ostream& os, MacState const& state) {
    return os << state.mac << (state.valid ? " valid" : " invalid");
}

}  // namespace PlinthL3

namespace PlinthL3Unicast {

namespace {

Kel::TypeImpl const configDirType("PlinthL3Unicast::MyStationConfigDir", {},
                                  Kel::createByName<MyStationConfigDir>);
Kel::TypeImpl const statusDirType("PlinthL3Unicast::MyStationStatusDir", {},
                                  Kel::createByName<MyStationStatusDir>);
Kel::TypeImpl const routingConfigType("PlinthL3Unicast::L3MyStationRoutingConfig", {},
                                      Kel::createByName<L3MyStationRoutingConfig>);
Kel::TypeImpl const routingStatusType("PlinthL3Unicast::L3MyStationRoutingStatus", {},
                                      Kel::createByName<L3MyStationRoutingStatus>);
Kel::TypeImpl const runningStateType("PlinthL3Unicast::SmRunningState", {},
                                     Kel::createByName<SmRunningState>);

Kel::ModuleRegistration const registration({"PlinthL3Records",
                                            {&configDirType, &statusDirType, &routingConfigType,
                                             &routingStatusType, &runningStateType}});

}  // namespace

Kel::TypeImpl const* MyStationConfigDir::fwkType() const {
    return &configDirType;
}
Kel::TypeImpl const* MyStationStatusDir::fwkType() const {
    return &statusDirType;
}
Kel::TypeImpl const* L3MyStationRoutingConfig::fwkType() const {
    return &routingConfigType;
}
Kel::TypeImpl const* L3MyStationRoutingStatus::fwkType() const {
    return &routingStatusType;
}
Kel::TypeImpl const* SmRunningState::fwkType() const {
    return &runningStateType;
}

}  // namespace PlinthL3Unicast
