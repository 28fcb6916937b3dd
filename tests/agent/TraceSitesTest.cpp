// Every trace site of the plug-in records its arguments in the ring file
// under the codes of their types: the agent's host runs scenarios that reach
// the sites, and the descriptions in the ring file are compared with one
// table.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "AgentProcess.h"
#include "Host.h"
#include "Jotter/RingBuf.h"

namespace {

// A part of each site's format -> its codes, one per argument.
std::map<std::string, std::string> const kExpected = {
    // L3MyStationMounter
    {"MyStationMounter::doInit()", ""},
    {"MyStationMounter::doMountsComplete", "u q"},
    {"toggle file unreadable, default used: %s", "p"},
    {"routing/fhrp/hardware/status missing, My Station wiring refused", ""},
    {"brixL3Status missing, My Station wiring refused", ""},
    // L3MyStationHelperSm
    {"handleRouterMac", ""},  // the whole format, as for the other bare names
    {" Skipping received mlag shared router encap for T4 ", ""},
    {"v4OrV6RoutingEnabled: %s -- Added", "EC b"},
    {"v4OrV6RoutingEnabled: %s -- Updated", "EC b"},
    {"v4OrV6RoutingEnabled: %s -- Removed", "EC b"},
    {"handleRouterType routerType: %s", "u"},
    {"handleRouterType old mac: %s valid: %s", "EC b"},
    {"handleRouterType remove existing mac: %s/%s vlan: %s/%s", "EC EC i i"},
    {"handleRouterType add new mac: %s/%s vlan: %s/%s l3Enabled: %s", "EC EC i i b"},
    {"updateRouterMacState routerType: %s mac: %s valid: %s", "u EC b"},
    {"handleInitialized", ""},
    {"%s skipped: %s missing", "p p"},
    // L3MyStationSm
    {"L3MyStationSm::handleInitialized()", ""},
    {"L3MyStationSm::handleLogicalFapId()", ""},
    {"handleLogicalFapId MyStationTable is already initialized ", ""},
    {"handleLogicalFapId no module information for %s, waiting", "s"},
    {"handleLogicalFapId(LogicalFap::LogicalFapId) module: %s", "s"},
    {"handleLogicalFapId(LogicalFap::LogicalFapId) chipInfo: %s", "p"},
    {"L3MyStationSm::handleConfig()", ""},
    {"handleConfig addr: %s vlan/mask: 0x%s%s/0x%s", "EC x i i"},
    {"handleConfig MyStationTable is not yet initialized ", ""},
    {"handleConfig Routing is enabled ", ""},
    {"handleConfig Routing is disabled ", ""},
    // L3VrrpHelper
    {"VrrpSmHelper::addVirtualRouterMac(const Pakt::EthAddr&, U32), mac: %s, vlan: %s", "EC i"},
    {"VrrpSmHelper::deleteVirtualRouterMac(const Pakt::EthAddr&, U32), mac: %s, vlan: %s", "EC i"},
    {"VrrpSmHelper::configureTcam(const Pakt::EthAddr&, U32, bool) macAddr: %s vlanId: %s", "EC i"},
    {"VrrpSmHelper::syncVrrpStateOnInit(const Ptr&)", ""},
    // The dispatch entries' failures, traced under each unit's handle.
    {"%s dropped a change: %s", "p p"},
};

// Scenarios that together reach every site above, each on a switch of its
// own. "unmoduled" stands for an id the chip agent announces before its
// module information, which no scenario command can do.
std::vector<std::string> const kScenarios = {
    // Every router type, intake change and table state.
    "chip tagged-entry on\n"
    "router-mac set 00:1c:73:00:00:01 interface routing=on\n"
    "router-mac set 00:1c:73:00:00:02 shared-router-encap routing=on\n"
    "routing-config system 00:1c:73:00:00:0a valid\n"
    "routing-config virtual 00:1c:73:00:00:0b valid\n"
    "start\nunmoduled\n"
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
    std::string const ring = dir_ / "trace.ring";
    Jotter::defaultHandleIs(ring, 4U << 20);
    file("PlinthLib.json", "{not json");  // toggles are read once, by the first switch
    for (auto const& scenario : kScenarios) {
        PlinthAgent::Host host(PLINTH_PLUGIN_PATH, dir_.string());
        std::istringstream lines(scenario);
        std::ostringstream ignored;
        for (std::string line; std::getline(lines, line);) {
            if (line == "unmoduled") {
                host.switchModel().featureCommon()->logicalFapIdInsertedIs(
                    LogicalFap::LogicalFapId(5));
            } else {
                host.apply(*PlinthAgent::Scenario::parseLine(line), ignored);
            }
        }
    }
    Jotter::defaultHandleDel();

    std::ifstream in(ring, std::ios::binary);
    std::vector<std::uint8_t> const bytes{std::istreambuf_iterator<char>(in), {}};
    Jotter::RingFormat::Image image;  // views into `bytes`
    ASSERT_EQ(Jotter::RingFormat::parse(bytes, image), "");
    std::set<std::string> seen;
    for (auto const& desc : image.descs) {
        if (!desc.source.starts_with("PlinthL3Unicast/") && desc.source != "Kel/Subscription") {
            continue;
        }
        std::string codes;
        for (auto code : desc.codes) {
            codes += (codes.empty() ? "" : " ") + std::string(Jotter::codeText(code));
        }
        std::string site;  // the longest entry its format holds
        for (auto const& [part, partCodes] : kExpected) {
            if (desc.format.find(part) != std::string::npos && part.size() > site.size()) {
                site = part;
            }
        }
        ASSERT_NE(site, "") << "a site not in the table: " << desc.format;
        EXPECT_EQ(codes, kExpected.at(site)) << desc.format;
        seen.insert(site);
    }
    for (auto const& [site, codes] : kExpected) {
        EXPECT_TRUE(seen.contains(site)) << "no scenario reached: " << site;
    }

    // plinth-ring renders the records with their values.
    std::string const text = dir_ / "ring.txt";
    ASSERT_EQ(std::system((PLINTH_RING_PATH " " + ring + " > " + text).c_str()), 0);
    EXPECT_NE(
        PlinthTest::slurp(text).find("configureTcam(const Pakt::EthAddr&, U32, bool) macAddr: "
                                     "00:00:5e:00:01:01 vlanId: 10"),
        std::string::npos)
        << PlinthTest::slurp(text);
}

}  // namespace
