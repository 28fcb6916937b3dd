#pragma once

#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Brix/RouterMac.h"
#include "Kel/Type.h"
#include "PlinthL3Records/MyStationDir.h"
#include "PlinthL3Records/MyStationTable.h"
#include "PlinthL3Records/RoutingRecords.h"
#include "Routing/Fhrp.h"

namespace PlinthTest {

// What the parts print as, one after another.
std::string text(auto const&... parts) {
    std::ostringstream os;
    (os << ... << parts);
    return os.str();
}

// An ordered journal of every change the plug-in makes to what it writes:
// the configuration and status directories, the routing status, the
// router-MAC status database, the capability flags, the running state and
// the chip table. A test then reads "given these events, the journal is
// exactly this list", which catches a missing effect, an extra one and a
// wrong order at once.
//
// Whatever has a publisher is recorded as it announces the change. The chip
// table and the fields of a router-MAC status record announce nothing; they
// are compared with their last picture before each announced change and at
// take(), so a table write shows up before the status that follows it, and
// after one that wrongly came first.
//
// Lines:
//   config set MAC VLAN/MASK [flags]     config del MAC VLAN/MASK
//   status set MAC VLAN/MASK             status del MAC VLAN/MASK
//   table set MAC VLAN/MASK[ tagged] station=N l3=N,N,N vlan=ID/MASK tvlan=ID/MASK
//   table del MAC VLAN/MASK[ tagged]
//   macStatus add MAC TYPE     macStatus MAC TYPE routing=N status=N     macStatus del MAC TYPE
//   routing system|virtual MAC valid|invalid
//   capability NAME=VALUE      running on|off
// VLANs and masks are hexadecimal; flags are the names of the flags set.
class Journal {
  public:
    struct Sources {
        Kel::Ptr<PlinthL3Unicast::MyStationConfigDir const> config;
        Kel::Ptr<PlinthL3Unicast::MyStationStatusDir const> status;
        // The chip table, once there is one.
        std::function<Kel::Ptr<PlinthL3Unicast::MyStationTable const>()> table;
        Kel::Ptr<PlinthL3Unicast::L3MyStationRoutingStatus const> routing;
        Kel::Ptr<Brix::BrixRouterMacStatusDb const> routerMacStatus;
        Kel::Ptr<Routing::Fhrp::Hardware::Status const> capabilities;
        Kel::Ptr<PlinthL3Unicast::SmRunningState const> running;
    };

    explicit Journal(Sources sources) : sources_(std::move(sources)) {
        using namespace PlinthL3Unicast;
        watch(sources_.config, [](short, void const* k, void const* v) {
            return text(v ? "config set " : "config del ", key(as<MacVlan>(k)),
                        v ? " " + flags(as<MyStationConfig>(v)) : "");
        });
        watch(sources_.status, [](short, void const* k, void const* v) {
            return (v ? "status set " : "status del ") + key(as<MacVlan>(k));
        });
        watch(sources_.routing, [](short attribute, void const*, void const* v) {
            auto const& s = as<PlinthL3::MacState>(v);
            return text("routing ",
                        attribute == RouterMacStates::kRouterMacAttr ? "system " : "virtual ",
                        s.mac, s.valid ? " valid" : " invalid");
        });
        watch(sources_.routerMacStatus, [](short, void const* k, void const* v) {
            return text("macStatus ", v ? "add " : "del ", as<Brix::MacTypeMask>(k));
        });
        watch(sources_.capabilities, [this](short attribute, void const*, void const* v) {
            // The one number among the flags.
            bool const number =
                attribute == Routing::Fhrp::Hardware::Status::vrrpSupportedMaxNumAttr;
            return "capability " + sources_.capabilities->fwkType()->attributeName(attribute) +
                   "=" + std::to_string(number ? as<std::uint32_t>(v) : as<bool>(v));
        });
        watch(sources_.running, [](short, void const*, void const* v) {
            return std::string(as<bool>(v) ? "running on" : "running off");
        });
        silentChanges();
        lines_.clear();  // what was there before is no change
    }

    // The lines since the last take, oldest first.
    std::vector<std::string> take() {
        silentChanges();
        return std::exchange(lines_, {});
    }

    static std::string key(PlinthL3Unicast::MacVlan const& k) {
        return text(k.addr, ' ', std::hex, k.vlan, '/', k.vlanMask);
    }

  private:
    using Describe =
        std::function<std::string(short attribute, void const* key, void const* value)>;
    struct Watch : Vosk::Subscriber {
        Journal* journal;
        Describe describe;
    };

    template <class T>
    static T const& as(void const* p) {
        return *static_cast<T const*>(p);
    }

    template <class T>
    void watch(Kel::Ptr<T> const& source, Describe describe) {
        if (!source) {
            return;
        }
        Watch& w = *watches_.emplace_back(new Watch{{}, this, std::move(describe)});
        w.dispatch = [](Vosk::Publisher*, Vosk::Subscriber* s, short attribute, void const* key,
                        void const* value) {
            auto& watch = static_cast<Watch&>(*s);
            watch.journal->silentChanges();
            watch.journal->lines_.push_back(watch.describe(attribute, key, value));
        };
        // First in line: a change is written down before the reactions it
        // causes in other subscribers.
        source->notifieeList()->subscriberAdd(&w, true);
    }

    static std::string flags(PlinthL3Unicast::MyStationConfig const& c) {
        std::string const out = text(c.l3Enabled ? " l3" : "", c.stationFlag ? " station" : "",
                                     c.configFlag3 ? " flag3" : "", c.configFlag4 ? " flag4" : "",
                                     c.configFlag5 ? " flag5" : "");
        return "[" + out.substr(out.empty() ? 0 : 1) + "]";
    }

    // Records what changed without an announcement since the last look: the
    // table's entries, and the fields of a router-MAC status record already
    // seen (a record's arrival and removal are announced, and looked at just
    // before).
    void silentChanges() {
        std::map<Brix::MacTypeMask, std::string> records;
        if (auto const& db = sources_.routerMacStatus) {
            for (auto const& [k, r] : db->macStatusDb()) {
                std::string& now = records[k] = text("routing=", r.v4OrV6RoutingEnabled(),
                                                     " status=", static_cast<int>(r.status()));
                if (auto seen = recordsSeen_.find(k);
                    seen != recordsSeen_.end() && seen->second != now) {
                    lines_.push_back(text("macStatus ", k, ' ', now));
                }
            }
        }
        std::map<PlinthL3Unicast::MacVlanTagged, std::string> table;
        if (auto t = sources_.table ? sources_.table() : nullptr) {
            for (auto const& [k, e] : t->entries()) {
                table[k] = text(std::hex, "station=", +e.entryFlag1, " l3=", +e.entryFlag2, ',',
                                +e.entryFlag3, ',', +e.entryFlag4, " vlan=", e.vlanId.value(), '/',
                                e.vlanIdMask.value(), " tvlan=", e.taggedVlanId.value(), '/',
                                e.taggedVlanIdMask.value());
            }
        }
        auto const name = [](PlinthL3Unicast::MacVlanTagged const& k) {
            return key({k.addr, k.vlan, k.vlanMask, k.addrMask}) + (k.tagged ? " tagged" : "");
        };
        for (auto const& [k, entry] : tableSeen_) {
            if (!table.contains(k)) {
                lines_.push_back("table del " + name(k));
            }
        }
        for (auto const& [k, entry] : table) {
            if (auto seen = tableSeen_.find(k); seen == tableSeen_.end() || seen->second != entry) {
                lines_.push_back("table set " + name(k) + " " + entry);
            }
        }
        recordsSeen_ = std::move(records);
        tableSeen_ = std::move(table);
    }

    Sources sources_;
    std::vector<std::string> lines_;
    std::vector<std::unique_ptr<Watch>> watches_;
    std::map<PlinthL3Unicast::MacVlanTagged, std::string> tableSeen_;
    std::map<Brix::MacTypeMask, std::string> recordsSeen_;
};

}  // namespace PlinthTest
