#include "Scenario.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

#include "Overloaded.h"

namespace PlinthAgent::Scenario {

namespace {

std::vector<std::string_view> words(std::string_view line) {
    if (auto hash = line.find('#'); hash != std::string_view::npos) {
        line = line.substr(0, hash);
    }
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < line.size()) {
        at = line.find_first_not_of(" \t\r", at);
        if (at == std::string_view::npos) {
            break;
        }
        std::size_t end = line.find_first_of(" \t\r", at);
        out.push_back(line.substr(at, end - at));
        at = end;
    }
    return out;
}

std::string quoted(std::string_view word) {
    return "'" + std::string(word) + "'";
}

// Walks the words of one command, failing with a message that names what
// is missing, extra or malformed.
class Words {
  public:
    Words(std::vector<std::string_view> words) : words_(std::move(words)) {}  // NOLINT

    std::string_view next(char const* what) {
        if (at_ >= words_.size()) {
            throw ParseError(std::string(command()) + ": missing " + what);
        }
        return words_[at_++];
    }
    std::string_view command() const { return words_.front(); }
    void end() const {
        if (at_ < words_.size()) {
            throw ParseError(std::string(command()) + ": unexpected " + quoted(words_[at_]));
        }
    }
    bool more() const { return at_ < words_.size(); }

    template <class T>
    T oneOf(char const* what, std::initializer_list<std::pair<std::string_view, T>> choices) {
        std::string_view w = next(what);
        std::string names;
        for (auto const& [name, value] : choices) {
            if (w == name) {
                return value;
            }
            // Appended in two steps: a literal before a string trips a false
            // -Wrestrict in optimised builds.
            if (!names.empty()) {
                names += '|';
            }
            names += name;
        }
        throw ParseError(std::string(command()) + ": " + what + " must be " + names + ", not " +
                         quoted(w));
    }
    Pakt::EthAddr mac() {
        std::string_view w = next("MAC address");
        auto mac = parseMac(w);
        if (!mac) {
            throw ParseError(std::string(command()) + ": bad MAC address " + quoted(w) +
                             " (want xx:xx:xx:xx:xx:xx)");
        }
        return *mac;
    }
    std::uint64_t number(char const* what, std::uint64_t max) {
        return checkedNumber(next(what), what, max);
    }
    // `key=VALUE`, the key required.
    std::string_view keyed(std::string_view key) {
        std::string_view w = next((std::string(key) + "=VALUE").c_str());
        if (!w.starts_with(key) || w.size() <= key.size() || w[key.size()] != '=') {
            throw ParseError(std::string(command()) + ": expected " + std::string(key) +
                             "=VALUE, not " + quoted(w));
        }
        return w.substr(key.size() + 1);
    }
    std::uint64_t checkedNumber(std::string_view w, char const* what, std::uint64_t max) {
        auto n = parseNumber(w, max);
        if (!n) {
            throw ParseError(std::string(command()) + ": bad " + what + " " + quoted(w) +
                             " (a number from 0 to " + std::to_string(max) + ")");
        }
        return *n;
    }
    bool onOff(char const* what) { return oneOf<bool>(what, {{"on", true}, {"off", false}}); }

  private:
    std::vector<std::string_view> words_;
    std::size_t at_ = 1;
};

Brix::MacTypeMask routerMacKey(Words& w) {
    Pakt::EthAddr mac = w.mac();
    std::string_view type = w.next("router MAC type");
    Brix::MacTypeMask key{mac, Brix::MacType::system};
    if (!Brix::macTypeFromName(type, &key.macType)) {
        throw ParseError(std::string(w.command()) + ": unknown router MAC type " + quoted(type) +
                         " (system, virtual, vrrp, mlag-peer, shared-router-encap, interface, "
                         "gateway)");
    }
    return key;
}

std::uint32_t vlanArg(Words& w) {
    return static_cast<std::uint32_t>(w.checkedNumber(w.keyed("vlan"), "VLAN", 0xffffffffULL));
}

Command chip(Words& w) {
    std::string_view what = w.next("chip setting");
    if (what == "tagged-entry") {
        return ChipTaggedEntry{w.onOff("tagged-entry")};
    }
    if (what == "my-station-feature") {
        w.oneOf<int>("my-station-feature", {{"absent", 0}});
        return ChipFeatureAbsent{};
    }
    throw ParseError("chip: unknown setting " + quoted(what) +
                     " (tagged-entry, my-station-feature)");
}

Command fap(Words& w) {
    bool add = w.oneOf<bool>("fap action", {{"add", true}, {"del", false}});
    auto id = static_cast<std::uint16_t>(w.number("logical FAP id", 0xffff));
    if (!add) {
        return FapDel{id};
    }
    std::string chipName = kDefaultChip;
    if (w.more()) {
        chipName = std::string(w.keyed("chip"));
        if (chipName.empty()) {
            throw ParseError("fap: empty chip name");
        }
    }
    return FapAdd{id, chipName};
}

Command routerMac(Words& w) {
    bool set = w.oneOf<bool>("router-mac action", {{"set", true}, {"del", false}});
    Brix::MacTypeMask key = routerMacKey(w);
    if (!set) {
        return RouterMacDel{key};
    }
    std::string_view routing = w.keyed("routing");
    if (routing != "on" && routing != "off") {
        throw ParseError("router-mac: routing must be on|off, not " + quoted(routing));
    }
    return RouterMacSet{key, routing == "on"};
}

Command routingConfig(Words& w) {
    auto kind = w.oneOf<RouterKind>(
        "router", {{"system", RouterKind::system}, {"virtual", RouterKind::virtualRouter}});
    Pakt::EthAddr mac = w.mac();
    bool valid = w.oneOf<bool>("validity", {{"valid", true}, {"invalid", false}});
    return RoutingConfig{kind, mac, valid};
}

Command vrrp(Words& w) {
    bool add = w.oneOf<bool>("vrrp action", {{"add", true}, {"del", false}});
    Pakt::EthAddr mac = w.mac();
    std::uint32_t vlan = vlanArg(w);
    return add ? Command{VrrpAdd{mac, vlan}} : Command{VrrpDel{mac, vlan}};
}

// The views by name, for reading and for writing them.
constexpr std::pair<std::string_view, View> kViews[] = {
    {"table", View::table},     {"config", View::config},
    {"status", View::status},   {"router-mac", View::routerMac},
    {"routing", View::routing}, {"capabilities", View::capabilities},
    {"running", View::running}, {"datapath", View::datapath},
};

Command show(Words& w) {
    std::string_view word = w.next("view");
    std::string names;
    for (auto const& [name, view] : kViews) {
        if (word == name) {
            return Show{view};
        }
        if (!names.empty()) {
            names += '|';
        }
        names += name;
    }
    throw ParseError("show: view must be " + names + ", not " + quoted(word));
}

std::string_view viewName(View view) {
    return std::ranges::find(kViews, view, &std::pair<std::string_view, View>::second)->first;
}

char const* onOff(bool on) {
    return on ? "on" : "off";
}

// Toggle names are identifiers, as the plug-in's own are: nothing that
// would need quoting in the toggle file, or in a recorded line.
ToggleSet toggle(Words& w) {
    std::string_view name = w.next("toggle name");
    auto const word = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    };
    if (std::isdigit(static_cast<unsigned char>(name.front())) ||
        !std::ranges::all_of(name, word)) {
        throw ParseError("toggle: bad toggle name " + quoted(name));
    }
    return ToggleSet{std::string(name), w.onOff("toggle state")};
}

// A control byte in a line is a damaged file or a careless client, not a
// blank; left in, it would cut short the messages that quote the line. A
// tab is a blank, and a carriage return ending the line is a CRLF file's.
void refuseControlBytes(std::string_view line) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        auto const c = static_cast<unsigned char>(line[i]);
        if ((c < 0x20 || c == 0x7f) && c != '\t' && !(c == '\r' && i + 1 == line.size())) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02x", c);
            throw ParseError("control byte " + std::string(hex) + " at column " +
                             std::to_string(i + 1));
        }
    }
}

Command dispatch(Words& w) {
    std::string_view c = w.command();
    if (c == "chip")
        return chip(w);
    if (c == "toggle")
        return toggle(w);
    if (c == "omit")
        return Omit{std::string(w.next("path"))};
    if (c == "start")
        return Start{};
    if (c == "remount")
        return Remount{};
    if (c == "stop")
        return Stop{};
    if (c == "fap")
        return fap(w);
    if (c == "router-mac")
        return routerMac(w);
    if (c == "routing-config")
        return routingConfig(w);
    if (c == "vrrp")
        return vrrp(w);
    if (c == "show")
        return show(w);
    if (c == "dump")
        return Dump{};
    if (c == "trace")
        return Trace{std::string(w.next("HANDLE/LEVELS"))};
    if (c == "audit")
        return Audit{};
    throw ParseError("unknown command " + quoted(c));
}

}  // namespace

std::optional<Pakt::EthAddr> parseMac(std::string_view word) {
    return Pakt::EthAddr::parse(word);
}

std::optional<std::uint64_t> parseNumber(std::string_view word, std::uint64_t max) {
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        word.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value, base);
    if (word.empty() || ec != std::errc() || end != word.data() + word.size() || value > max) {
        return std::nullopt;
    }
    return value;
}

std::optional<Command> parseLine(std::string_view line) {
    refuseControlBytes(line);
    auto ws = words(line);
    if (ws.empty()) {
        return std::nullopt;
    }
    Words w(std::move(ws));
    Command command = dispatch(w);
    w.end();
    return command;
}

std::string format(Command const& command) {
    auto const mac = [](Pakt::EthAddr m) { return " " + m.stringValue(); };
    auto const routerMac = [&](Brix::MacTypeMask const& k) {
        return mac(k.mac) + " " + std::string(Brix::macTypeName(k.macType));
    };
    return std::visit(
        Overloaded{
            [](ChipTaggedEntry const& c) {
                return std::string("chip tagged-entry ") + onOff(c.on);
            },
            [](ChipFeatureAbsent const&) { return std::string("chip my-station-feature absent"); },
            [](ToggleSet const& t) { return "toggle " + t.name + " " + onOff(t.on); },
            [](Omit const& o) { return "omit " + o.path; },
            [](Start const&) { return std::string("start"); },
            [](Remount const&) { return std::string("remount"); },
            [](Stop const&) { return std::string("stop"); },
            [](FapAdd const& f) {
                return "fap add " + std::to_string(f.id) +
                       (f.chip == kDefaultChip ? "" : " chip=" + f.chip);
            },
            [](FapDel const& f) { return "fap del " + std::to_string(f.id); },
            [&](RouterMacSet const& r) {
                return "router-mac set" + routerMac(r.key) + " routing=" + onOff(r.routing);
            },
            [&](RouterMacDel const& r) { return "router-mac del" + routerMac(r.key); },
            [&](RoutingConfig const& r) {
                return std::string("routing-config ") +
                       (r.kind == RouterKind::system ? "system" : "virtual") + mac(r.mac) +
                       (r.valid ? " valid" : " invalid");
            },
            [&](VrrpAdd const& v) {
                return "vrrp add" + mac(v.mac) + " vlan=" + std::to_string(v.vlan);
            },
            [&](VrrpDel const& v) {
                return "vrrp del" + mac(v.mac) + " vlan=" + std::to_string(v.vlan);
            },
            [](Show const& s) { return "show " + std::string(viewName(s.view)); },
            [](Dump const&) { return std::string("dump"); },
            [](Trace const& t) { return "trace " + t.setting; },
            [](Audit const&) { return std::string("audit"); },
        },
        command);
}

bool changesState(Command const& command) {
    return !std::holds_alternative<Show>(command) && !std::holds_alternative<Dump>(command) &&
           !std::holds_alternative<Trace>(command) && !std::holds_alternative<Audit>(command);
}

}  // namespace PlinthAgent::Scenario
