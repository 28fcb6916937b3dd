#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Brix/RouterMac.h"
#include "Pakt/EthAddr.h"

// The scenario language of plinth-agent: one command per line, checked
// whole before anything is applied.
namespace PlinthAgent::Scenario {

struct ChipTaggedEntry {
    bool on;
    friend bool operator==(ChipTaggedEntry const&, ChipTaggedEntry const&) = default;
};
struct ChipFeatureAbsent {
    friend bool operator==(ChipFeatureAbsent const&, ChipFeatureAbsent const&) = default;
};
struct ToggleSet {
    std::string name;
    bool on;
    friend bool operator==(ToggleSet const&, ToggleSet const&) = default;
};
struct Omit {
    std::string path;
    friend bool operator==(Omit const&, Omit const&) = default;
};
struct Start {
    friend bool operator==(Start const&, Start const&) = default;
};
struct Remount {
    friend bool operator==(Remount const&, Remount const&) = default;
};
struct Stop {
    friend bool operator==(Stop const&, Stop const&) = default;
};
struct FapAdd {
    std::uint16_t id;
    std::string chip;
    friend bool operator==(FapAdd const&, FapAdd const&) = default;
};
struct FapDel {
    std::uint16_t id;
    friend bool operator==(FapDel const&, FapDel const&) = default;
};
struct RouterMacSet {
    Brix::MacTypeMask key;
    bool routing;
    friend bool operator==(RouterMacSet const&, RouterMacSet const&) = default;
};
struct RouterMacDel {
    Brix::MacTypeMask key;
    friend bool operator==(RouterMacDel const&, RouterMacDel const&) = default;
};
enum class RouterKind { system, virtualRouter };
struct RoutingConfig {
    RouterKind kind;
    Pakt::EthAddr mac;
    bool valid;
    friend bool operator==(RoutingConfig const&, RoutingConfig const&) = default;
};
struct VrrpAdd {
    Pakt::EthAddr mac;
    std::uint32_t vlan;
    friend bool operator==(VrrpAdd const&, VrrpAdd const&) = default;
};
struct VrrpDel {
    Pakt::EthAddr mac;
    std::uint32_t vlan;
    friend bool operator==(VrrpDel const&, VrrpDel const&) = default;
};
enum class View { table, config, status, routerMac, routing, capabilities, running, datapath };
struct Show {
    View view;
    friend bool operator==(Show const&, Show const&) = default;
};
struct Dump {
    friend bool operator==(Dump const&, Dump const&) = default;
};
struct Trace {
    std::string setting;
    friend bool operator==(Trace const&, Trace const&) = default;
};
struct Audit {
    friend bool operator==(Audit const&, Audit const&) = default;
};

using Command = std::variant<ChipTaggedEntry, ChipFeatureAbsent, ToggleSet, Omit, Start, Remount,
                             Stop, FapAdd, FapDel, RouterMacSet, RouterMacDel, RoutingConfig,
                             VrrpAdd, VrrpDel, Show, Dump, Trace, Audit>;

// What is wrong with a line, without the FILE:LINE prefix.
class ParseError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The chip a `fap add` names when it names none.
inline constexpr char const* kDefaultChip = "plinth0";

// The command on `line`, or nullopt for a blank or comment line. Throws
// ParseError naming the offending word.
std::optional<Command> parseLine(std::string_view line);

// `command` as a scenario line that parseLine() reads back as `command`:
// how typed commands reach a record file, a log line or a client.
std::string format(Command const& command);

// Whether applying `command` may change the switch's state (what a record
// file must keep); looking and tracing do not.
bool changesState(Command const& command);

// Parsers of the language's values, shared with the agent's other inputs.
std::optional<Pakt::EthAddr> parseMac(std::string_view word);
// Decimal or 0x hex, at most `max`.
std::optional<std::uint64_t> parseNumber(std::string_view word, std::uint64_t max);

}  // namespace PlinthAgent::Scenario
