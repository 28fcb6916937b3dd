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
};
struct ChipFeatureAbsent {};
struct ToggleSet {
    std::string name;
    bool on;
};
struct Omit {
    std::string path;
};
struct Start {};
struct Remount {};
struct Stop {};
struct FapAdd {
    std::uint16_t id;
    std::string chip;
};
struct FapDel {
    std::uint16_t id;
};
struct RouterMacSet {
    Brix::MacTypeMask key;
    bool routing;
};
struct RouterMacDel {
    Brix::MacTypeMask key;
};
enum class RouterKind { system, virtualRouter };
struct RoutingConfig {
    RouterKind kind;
    Pakt::EthAddr mac;
    bool valid;
};
struct VrrpAdd {
    Pakt::EthAddr mac;
    std::uint32_t vlan;
};
struct VrrpDel {
    Pakt::EthAddr mac;
    std::uint32_t vlan;
};
enum class View { table, config, status, routerMac, routing, capabilities, running, datapath };
struct Show {
    View view;
};
struct Dump {};
struct Trace {
    std::string setting;
};
struct Audit {};

using Command = std::variant<ChipTaggedEntry, ChipFeatureAbsent, ToggleSet, Omit, Start, Remount,
                             Stop, FapAdd, FapDel, RouterMacSet, RouterMacDel, RoutingConfig,
                             VrrpAdd, VrrpDel, Show, Dump, Trace, Audit>;

// What is wrong with a line, without the FILE:LINE prefix.
class ParseError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The command on `line`, or nullopt for a blank or comment line. Throws
// ParseError naming the offending word.
std::optional<Command> parseLine(std::string_view line);

// Parsers of the language's values, shared with the agent's other inputs.
std::optional<Pakt::EthAddr> parseMac(std::string_view word);
// Decimal or 0x hex, at most `max`.
std::optional<std::uint64_t> parseNumber(std::string_view word, std::uint64_t max);

}  // namespace PlinthAgent::Scenario
