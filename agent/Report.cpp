#include "Report.h"

#include <algorithm>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

#include "Brix/VrrpSm.h"
#include "Host.h"

namespace PlinthAgent {

namespace {

using Json = nlohmann::ordered_json;
using PlinthL3Unicast::MacVlan;
using PlinthL3Unicast::MacVlanTagged;

std::string mac(Pakt::EthAddr a) {
    return a.stringValue();
}

Json macVlanJson(MacVlan const& k) {
    return {{"addr", mac(k.addr)},
            {"vlan", k.vlan},
            {"vlanMask", k.vlanMask},
            {"addrMask", mac(k.addrMask)}};
}

template <class Kind>
Json recordJson(PlinthL3Unicast::MyStationRecord<Kind> const& r) {
    Json j = macVlanJson(r.macVlan);
    j["l3Enabled"] = r.l3Enabled;
    j["stationFlag"] = r.stationFlag;
    j["configFlag3"] = r.configFlag3;
    j["configFlag4"] = r.configFlag4;
    j["configFlag5"] = r.configFlag5;
    return j;
}

// The records of a directory, sorted by key.
template <class Records>
Json recordsJson(Records const& records) {
    std::vector<MacVlan> keys = records.keys();
    std::sort(keys.begin(), keys.end());
    Json out = Json::array();
    for (auto const& key : keys) {
        Json j = recordJson(*records.find(key));
        // The dump shows the collection's key, whatever the record carries.
        Json const keyFields = macVlanJson(key);
        for (auto const& [name, value] : keyFields.items()) {
            j[name] = value;
        }
        out.push_back(j);
    }
    return out;
}

// With a datapath, each row also counts the frames its entry matched.
Json tableJson(PlinthL3Unicast::MyStationTable const& table, TableDatapath const* datapath) {
    std::vector<MacVlanTagged> keys = table.entries().keys();
    std::sort(keys.begin(), keys.end());
    Json out = Json::array();
    for (auto const& k : keys) {
        auto const& e = *table.entry(k);
        out.push_back({{"addr", mac(k.addr)},
                       {"vlan", k.vlan},
                       {"vlanMask", k.vlanMask},
                       {"addrMask", mac(k.addrMask)},
                       {"tagged", k.tagged},
                       {"entryFlag1", e.entryFlag1},
                       {"entryFlag2", e.entryFlag2},
                       {"entryFlag3", e.entryFlag3},
                       {"vlanId", e.vlanId.value()},
                       {"vlanIdMask", e.vlanIdMask.value()},
                       {"macAddr", mac(e.macAddr)},
                       {"macAddrMask", mac(e.macAddrMask)},
                       {"entryFlag4", e.entryFlag4},
                       {"taggedVlanId", e.taggedVlanId.value()},
                       {"taggedVlanIdMask", e.taggedVlanIdMask.value()}});
        if (datapath != nullptr) {
            out.back()["hits"] = datapath->hits(k);
        }
    }
    return out;
}

Json capabilitiesJson(Routing::Fhrp::Hardware::Status const* s) {
    Routing::Fhrp::Hardware::Status const none;
    if (s == nullptr) {
        s = &none;
    }
    return {{"anygwSupported", s->anygwSupported()},
            {"vrrpSupported", s->vrrpSupported()},
            {"vrrpSupportedMaxNum", s->vrrpSupportedMaxNum()},
            {"vrrpMacAsAnygwMacSupported", s->vrrpMacAsAnygwMacSupported()},
            {"useUniqueGroupIds", s->useUniqueGroupIds()},
            {"requireGlobalIpRouting", s->requireGlobalIpRouting()},
            {"vrrpSubinterfaceSupported", s->vrrpSubinterfaceSupported()}};
}

Json macStateJson(PlinthL3::MacState const& s) {
    return {{"mac", mac(s.mac)}, {"valid", s.valid}};
}

Json routerMacStatusJson(Brix::BrixRouterMacStatusDb const* db) {
    Json out = Json::array();
    if (db == nullptr) {
        return out;
    }
    std::vector<Brix::MacTypeMask> keys = db->macStatusDb().keys();
    std::sort(keys.begin(), keys.end());
    for (auto const& k : keys) {
        auto record = db->macStatusDb(k);
        out.push_back({{"mac", mac(k.mac)},
                       {"type", std::string(Brix::macTypeName(k.macType))},
                       {"v4OrV6RoutingEnabled", record->v4OrV6RoutingEnabled()},
                       {"status", static_cast<int>(record->status())}});
    }
    return out;
}

Json vrrpReportedJson(Host const& host) {
    Json out = Json::array();
    for (auto const& [addr, vlan] : host.vrrpReported()) {
        out.push_back({{"mac", mac(addr)}, {"vlan", vlan}});
    }
    return out;
}

Json state(Host const& host) {
    Switch const& sw = host.switchModel();
    bool const started = host.started();
    auto config = host.configDir();
    auto status = host.statusDir();
    auto table = host.table();
    auto running = sw.smRunningState();
    auto routing = sw.routingStatus();
    PlinthL3::MacState const zero;
    Json j;
    j["started"] = started;
    j["running"] = started && running && running->running();
    j["capabilities"] = capabilitiesJson(sw.fhrpHwStatus().get());
    j["routingStatus"] = {
        {"routerMac", macStateJson(started && routing ? routing->routerMac() : zero)},
        {"virtualRouterMac",
         macStateJson(started && routing ? routing->virtualRouterMac() : zero)}};
    j["routerMacStatus"] = routerMacStatusJson(sw.routerMacStatusDb().get());
    j["config"] = config ? recordsJson(config->config()) : Json::array();
    j["status"] = status ? recordsJson(status->status()) : Json::array();
    j["table"] = table ? tableJson(*table, host.datapath()) : Json::array();
    j["vrrpReported"] = vrrpReportedJson(host);
    return j;
}

std::string cell(Json const& v) {
    if (v.is_string()) {
        return v.get<std::string>();
    }
    return v.dump();
}

// Prints rows of objects as an aligned table whose columns are the keys.
void printRows(Json const& rows, std::ostream& out) {
    if (rows.empty()) {
        out << "(none)\n";
        return;
    }
    std::vector<std::string> columns;
    for (auto const& [key, value] : rows.front().items()) {
        columns.push_back(key);
    }
    std::vector<std::size_t> width;
    for (auto const& c : columns) {
        width.push_back(c.size());
    }
    for (auto const& row : rows) {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            width[i] = std::max(width[i], cell(row[columns[i]]).size());
        }
    }
    auto line = [&](auto text) {
        for (std::size_t i = 0; i + 1 < columns.size(); ++i) {
            out << std::left << std::setw(static_cast<int>(width[i])) << text(i) << "  ";
        }
        out << text(columns.size() - 1) << '\n';
    };
    line([&](std::size_t i) { return columns[i]; });
    for (auto const& row : rows) {
        line([&](std::size_t i) { return cell(row[columns[i]]); });
    }
}

// `rows` in the order of their `column`, a name.
Json sortedBy(Json rows, char const* column) {
    std::sort(rows.begin(), rows.end(), [&](Json const& a, Json const& b) {
        return a[column].get<std::string>() < b[column].get<std::string>();
    });
    return rows;
}

// An object's members as rows of name and value, sorted by name.
Json asRows(Json const& object, char const* nameColumn) {
    Json rows = Json::array();
    for (auto const& [key, value] : object.items()) {
        Json row;
        row[nameColumn] = key;
        if (value.is_object()) {
            for (auto const& [k, v] : value.items()) {
                row[k] = v;
            }
        } else {
            row["value"] = value;
        }
        rows.push_back(row);
    }
    return sortedBy(std::move(rows), nameColumn);
}

void showDatapath(TableDatapath* datapath, std::ostream& out) {
    if (datapath == nullptr) {
        out << "(no datapath)\n";
        return;
    }
    Json rows = Json::array();
    for (auto const& port : datapath->ports()) {
        rows.push_back({{"port", port.name},
                        {"vlan", port.vlan},
                        {"framesSeen", port.seen},
                        {"framesForRouter", port.forRouter}});
    }
    printRows(sortedBy(std::move(rows), "port"), out);
    if (auto const missing = datapath->notMirrored(); missing > 0) {
        out << "entries not mirrored: " << missing << '\n';
    }
}

MacVlanTagged tableKey(MacVlan const& k) {
    return {k.addr, k.vlan, k.vlanMask, Pakt::EthAddr::broadcast(), false};
}

}  // namespace

std::string Report::dump() const {
    return state(host_).dump();
}

void Report::show(Scenario::View view, std::ostream& out) const {
    Json const s = state(host_);
    switch (view) {
        case Scenario::View::table:
            printRows(s["table"], out);
            break;
        case Scenario::View::config:
            printRows(s["config"], out);
            break;
        case Scenario::View::status:
            printRows(s["status"], out);
            break;
        case Scenario::View::routerMac:
            printRows(s["routerMacStatus"], out);
            break;
        case Scenario::View::routing:
            printRows(asRows(s["routingStatus"], "router"), out);
            break;
        case Scenario::View::capabilities:
            printRows(asRows(s["capabilities"], "capability"), out);
            break;
        case Scenario::View::running:
            printRows(asRows({{"started", s["started"]}, {"running", s["running"]}}, "state"), out);
            break;
        case Scenario::View::datapath:
            showDatapath(host_.datapath(), out);
            break;
    }
}

void Report::audit(std::ostream& out) const {
    auto config = host_.configDir();
    auto status = host_.statusDir();
    auto table = host_.table();
    std::set<MacVlan> keys;
    if (config) {
        for (auto const& [k, v] : config->config()) {
            keys.insert(k);
        }
    }
    if (status) {
        for (auto const& [k, v] : status->status()) {
            keys.insert(k);
        }
    }
    std::set<MacVlanTagged> explained;
    int disagreements = 0;
    for (auto const& k : keys) {
        bool const configured = config && config->config(k);
        bool const programmed = status && status->status(k);
        bool const inTable = table && table->entry(tableKey(k));
        explained.insert(tableKey(k));
        auto tagged = tableKey(k);
        tagged.tagged = true;
        explained.insert(tagged);
        if (configured != programmed || configured != inTable) {
            ++disagreements;
            out << "audit: " << k << ": config " << (configured ? "yes" : "no") << ", status "
                << (programmed ? "yes" : "no") << ", table " << (inTable ? "yes" : "no") << '\n';
        }
    }
    if (table) {
        for (auto const& [k, entry] : table->entries()) {
            if (!explained.contains(k)) {
                ++disagreements;
                out << "audit: " << k << ": in the table only\n";
            }
        }
    }
    if (disagreements == 0) {
        out << "audit: clean\n";
    }
}

}  // namespace PlinthAgent
