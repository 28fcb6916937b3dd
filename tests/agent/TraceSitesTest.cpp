// Every trace site of the plug-in records its arguments in the ring file
// under the codes of their types: the agent runs scenarios that reach the
// sites, and the descriptions in its ring files are compared with one table.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "AgentProcess.h"
#include "Jotter/RingFormat.h"

namespace {

namespace fs = std::filesystem;

// Format (its start, for the long signatures) -> codes, one per argument.
std::map<std::string, std::string> const kExpected = {
    // L3MyStationMounter
    {"virtual void PlinthL3Unicast::MyStationMounter::doInit()", ""},
    {"virtual void PlinthL3Unicast::MyStationMounter::doMountsComplete", "u q"},
    {"toggle file unreadable, default used: %s", "p"},
    {"routing/fhrp/hardware/status missing, My Station wiring refused", ""},
    {"brixL3Status missing, My Station wiring refused", ""},
    // L3MyStationHelperSm
    {"handleRouterMac", ""},
    {" Skipping received mlag shared router encap for T4 ", ""},
    {"virtual void PlinthL3Unicast::L3MyStationHelperSm::handleRouterMac(const "
     "Brix::MacTypeMask&, bool, bool) mac: %s v4OrV6RoutingEnabled: %s -- Added",
     "EC b"},
    {"virtual void PlinthL3Unicast::L3MyStationHelperSm::handleRouterMac(const "
     "Brix::MacTypeMask&, bool, bool) mac: %s v4OrV6RoutingEnabled: %s -- Updated",
     "EC b"},
    {"virtual void PlinthL3Unicast::L3MyStationHelperSm::handleRouterMac(const "
     "Brix::MacTypeMask&, bool, bool) mac: %s v4OrV6RoutingEnabled: %s -- Removed",
     "EC b"},
    {"handleRouterType routerType: %s", "u"},
    {"handleRouterType old mac: %s valid: %s", "EC b"},
    {"handleRouterType remove existing mac: %s/%s vlan: %s/%s", "EC EC i i"},
    {"handleRouterType add new mac: %s/%s vlan: %s/%s l3Enabled: %s", "EC EC i i b"},
    {"updateRouterMacState routerType: %s mac: %s valid: %s", "u EC b"},
    {"handleInitialized", ""},
    {"%s skipped: %s missing", "p p"},
    // L3MyStationSm
    {"void PlinthL3Unicast::L3MyStationSm::handleInitialized()", ""},
    {"void PlinthL3Unicast::L3MyStationSm::handleLogicalFapId()", ""},
    {"handleLogicalFapId MyStationTable is already initialized ", ""},
    {"void PlinthL3Unicast::L3MyStationSm::handleLogicalFapId(LogicalFap::LogicalFapId) "
     "module: %s",
     "s"},
    {"void PlinthL3Unicast::L3MyStationSm::handleLogicalFapId(LogicalFap::LogicalFapId) "
     "chipInfo: %s",
     "p"},
    {"void PlinthL3Unicast::L3MyStationSm::handleConfig()", ""},
    {"handleConfig addr: %s vlan/mask: 0x%s%s/0x%s", "EC x i i"},
    {"handleConfig MyStationTable is not yet initialized ", ""},
    {"handleConfig Routing is enabled ", ""},
    {"handleConfig Routing is disabled ", ""},
    // L3VrrpHelper
    {"virtual bool PlinthL3Unicast::VrrpSmHelper::addVirtualRouterMac(const Pakt::EthAddr&, "
     "U32), mac: %s, vlan: %s",
     "EC i"},
    {"virtual void PlinthL3Unicast::VrrpSmHelper::deleteVirtualRouterMac(const "
     "Pakt::EthAddr&, U32), mac: %s, vlan: %s",
     "EC i"},
    {"void PlinthL3Unicast::VrrpSmHelper::configureTcam(const Pakt::EthAddr&, U32, bool) "
     "macAddr: %s vlanId: %s",
     "EC i"},
    {"virtual void PlinthL3Unicast::VrrpSmHelper::syncVrrpStateOnInit(const Ptr&)", ""},
    // The dispatch entries' failures, traced under each unit's handle.
    {"%s dropped a change: %s", "p p"},
};

// Scenarios that together reach every site above.
std::vector<std::string> const kScenarios = {
    // Every router type, intake change and table state.
    "chip tagged-entry on\n"
    "router-mac set 00:1c:73:00:00:01 interface routing=on\n"
    "router-mac set 00:1c:73:00:00:02 shared-router-encap routing=on\n"
    "routing-config system 00:1c:73:00:00:0a valid\n"
    "routing-config virtual 00:1c:73:00:00:0b valid\n"
    "start\n"
    "vrrp add 00:00:5e:00:01:01 vlan=10\n"
    "fap add 0\nfap add 1\n"
    "router-mac set 00:1c:73:00:00:01 interface routing=off\n"
    "router-mac del 00:1c:73:00:00:01 interface\n"
    "routing-config system 00:1c:73:00:00:0c valid\n"
    "vrrp del 00:00:5e:00:01:01 vlan=10\n"
    "vrrp add 00:00:5e:00:01:02 vlan=4096\n"
    "stop\nstart\n",
    // Missing inputs, and a mount completion that fails at the table's replay.
    "omit hardware/brix/routerMacStatusDb/l3RouterMacStatusDb\n"
    "omit l3/myStationRoutingConfig\nomit l3/smState/2\n"
    "router-mac set 00:1c:73:00:00:01 interface routing=on\n"
    "vrrp add 00:00:5e:00:01:02 vlan=4096\nfap add 0\nstart\n",
    "omit featureCommon\nstart\n",
    "omit routing/fhrp/hardware/status\nstart\n",
    "omit brixL3Status\nstart\n",
};

using TraceSitesTest = PlinthTest::AgentDirTest;

TEST_F(TraceSitesTest, EverySiteRecordsTheCodesOfItsArguments) {
    fs::path const ring = dir_ / "trace.ring";
    file("PlinthLib.json", "{not json");  // read by the first scenario's run only
    std::set<std::string> seen;           // the table's entries reached
    for (std::size_t i = 0; i < kScenarios.size(); ++i) {
        fs::remove(ring);
        std::string const toggles = i == 0 ? "--toggles " + dir_.string() + " " : "";
        PlinthTest::AgentRun r =
            run(toggles + "--ring-file " + ring.string() + " -", kScenarios[i]);
        ASSERT_EQ(r.status, 0) << r.err;
        std::ifstream in(ring, std::ios::binary);
        std::vector<std::uint8_t> const bytes{std::istreambuf_iterator<char>(in), {}};
        Jotter::RingFormat::Image image;  // views into `bytes`
        ASSERT_EQ(Jotter::RingFormat::parse(bytes, image), "");
        for (auto const& desc : image.descs) {
            if (!desc.source.starts_with("PlinthL3Unicast/") && desc.source != "Kel/Subscription") {
                continue;
            }
            std::string codes;
            for (auto code : desc.codes) {
                codes += (codes.empty() ? "" : " ") + std::string(Jotter::codeText(code));
            }
            // The table holds the start of each format.
            auto it = kExpected.upper_bound(desc.format);
            ASSERT_TRUE(it != kExpected.begin() && desc.format.starts_with(std::prev(it)->first))
                << "a site not in the table: " << desc.format;
            EXPECT_EQ(codes, std::prev(it)->second) << desc.format;
            seen.insert(std::prev(it)->first);
        }
    }
    for (auto const& [format, codes] : kExpected) {
        EXPECT_TRUE(seen.contains(format)) << "no scenario reached: " << format;
    }
}

}  // namespace
