// The scenario language and the host behind it on arbitrary text: each
// input is a short scenario run against a fresh host with the real plug-in.
// A line may be refused (ParseError) and a command may be refused
// (CommandError), which must leave the whole state as it was; any other
// exception, a change by a refused command, a crash or a sanitizer report is
// a fault, and so is a command that, written back as a line, reads as another.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "Host.h"
#include "Kel/Trace.h"
#include "Scenario.h"
#include "ScratchDir.h"

namespace {

namespace S = PlinthAgent::Scenario;

// Enough for a start/stop cycle with events around it, while an input
// stays well under a millisecond.
constexpr int kMaxLines = 64;
// Each toggle rewrites the toggle file; a few cover its paths.
constexpr int kMaxToggles = 4;

std::string const& toggleDir() {
    static PlinthFuzz::ScratchDir const dir("plinth-fuzz-toggles");
    return dir.path();
}

// Whether the harness runs `command`. A chip without the feature makes the
// table's creation end in the fatal assertion that names it, by design; the
// death tests hold that path. Toggles are capped per input.
bool wanted(S::Command const& command, int& toggles) {
    if (std::holds_alternative<S::ChipFeatureAbsent>(command)) {
        return false;
    }
    if (std::holds_alternative<S::ToggleSet>(command)) {
        return ++toggles <= kMaxToggles;
    }
    return true;
}

// Trace rules are process-wide; an input that turned some on turns them off
// again so that every input runs from the same start.
void traceOff() {
    std::string error;
    Kel::traceDisable("*/*", &error);
}

std::string dump(PlinthAgent::Host& host) {
    std::ostringstream out;
    host.apply(S::Dump{}, out);
    return out.str();
}

// A refused command changes nothing: the whole state reads the same after it.
void unchangedOrAbort(std::string const& before, std::string const& after, std::string_view line,
                      char const* error) {
    if (after != before) {
        std::fprintf(stderr, "refused line '%.*s' (%s) changed the state:\n%s%s",
                     static_cast<int>(line.size()), line.data(), error, before.c_str(),
                     after.c_str());
        std::abort();
    }
}

void run(std::string_view text) {
    std::error_code ec;
    std::filesystem::remove(toggleDir() + "/" + PlinthAgent::Host::kToggleFile, ec);
    bool traced = false;
    {
        PlinthAgent::Host host(PLINTH_PLUGIN_PATH, toggleDir());
        std::ostringstream out;
        int toggles = 0;
        std::size_t at = 0;
        for (int n = 0; n < kMaxLines && at <= text.size(); ++n) {
            std::size_t end = text.find('\n', at);
            std::string_view line =
                text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
            at = end == std::string_view::npos ? text.size() + 1 : end + 1;
            std::optional<S::Command> command;
            try {
                command = S::parseLine(line);
            } catch (S::ParseError const&) {
            }
            if (!command || !wanted(*command, toggles)) {
                continue;
            }
            if (S::parseLine(S::format(*command)) != command) {
                std::abort();
            }
            traced = traced || std::holds_alternative<S::Trace>(*command);
            std::string const before = dump(host);
            try {
                host.apply(*command, out);
            } catch (PlinthAgent::CommandError const& e) {
                unchangedOrAbort(before, dump(host), line, e.what());
            }
        }
    }
    if (traced) {
        traceOff();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The text lines of enabled traces are built and then dropped.
    Kel::traceSinkIs([](std::string_view) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    run(std::string_view(reinterpret_cast<char const*>(data), size));
    return 0;
}
