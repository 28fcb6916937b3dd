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

template <class Dir>
std::vector<Kel::AttributeImpl> dirAttributes(char const* collection) {
    return {Kel::attrRead<Dir>(collection, [](Dir& d) { return d.records().size(); })};
}

std::vector<Kel::AttributeImpl> macStateAttributes() {
    return {Kel::attrRead<RouterMacStates>("routerMac", [](auto& s) { return s.routerMac(); }),
            Kel::attrRead<RouterMacStates>("virtualRouterMac",
                                           [](auto& s) { return s.virtualRouterMac(); })};
}

Kel::TypeImpl const configDirType("PlinthL3Unicast::MyStationConfigDir",
                                  dirAttributes<MyStationConfigDir>("config"),
                                  Kel::createByName<MyStationConfigDir>);
Kel::TypeImpl const statusDirType("PlinthL3Unicast::MyStationStatusDir",
                                  dirAttributes<MyStationStatusDir>("status"),
                                  Kel::createByName<MyStationStatusDir>);
Kel::TypeImpl const routingConfigType("PlinthL3Unicast::L3MyStationRoutingConfig",
                                      macStateAttributes(),
                                      Kel::createByName<L3MyStationRoutingConfig>);
Kel::TypeImpl const routingStatusType("PlinthL3Unicast::L3MyStationRoutingStatus",
                                      macStateAttributes(),
                                      Kel::createByName<L3MyStationRoutingStatus>);
Kel::TypeImpl const runningStateType(
    "PlinthL3Unicast::SmRunningState",
    {Kel::attrRead<SmRunningState>("running", [](auto& s) { return s.running(); })},
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
