#include "Kel/Trace.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

namespace Kel {

namespace {

// One "HANDLE/LEVELS" piece of a setting, with the bare levels that follow it.
struct Rule {
    std::string handle;  // "*" for every handle
    std::uint32_t levels = 0;
    bool on = true;

    void applyTo(TraceHandle& h) const {
        if (handle == "*" || handle == h.name()) {
            h.levelsIs(on ? (h.levels() | levels) : (h.levels() & ~levels));
        }
    }
};

// The levels of "*", "N" or "N-M" with 0 <= N <= M <= 31; none when malformed.
std::uint32_t levelsOf(std::string_view piece) {
    if (piece == "*") {
        return ~0U;
    }
    auto level = [](std::string_view text) {
        int value = -1;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        return ec == std::errc() && end == text.data() + text.size() && value < 32 ? value : -1;
    };
    std::size_t dash = piece.find('-');
    int low = level(piece.substr(0, dash));
    int high = dash == std::string_view::npos ? low : level(piece.substr(dash + 1));
    return low < 0 || high < low
               ? 0
               : static_cast<std::uint32_t>((std::uint64_t{2} << high) - (std::uint64_t{1} << low));
}

// Empty on success; on failure the message names the bad piece.
std::string parseSettings(std::string_view setting, bool on, std::vector<Rule>& rules) {
    auto parseError = [](std::string_view piece, char const* why) {
        return "bad trace setting '" + std::string(piece) + "': " + why;
    };
    for (std::size_t at = 0; at <= setting.size();) {
        std::size_t comma = std::min(setting.find(',', at), setting.size());
        std::string_view piece = setting.substr(at, comma - at);
        std::string_view levels = piece;
        at = comma + 1;
        if (std::size_t slash = piece.find('/'); slash != std::string_view::npos) {
            if (slash == 0) {
                return parseError(piece, "no handle name before '/'");
            }
            rules.push_back({std::string(piece.substr(0, slash)), 0, on});
            levels = piece.substr(slash + 1);
        } else if (rules.empty()) {
            return parseError(piece, "expected HANDLE/LEVELS");
        }
        std::uint32_t mask = levelsOf(levels);
        if (mask == 0) {
            return parseError(piece, "levels are *, N or N-M with 0 <= N <= M <= 31");
        }
        rules.back().levels |= mask;
    }
    return {};
}

struct Registry {
    std::mutex mutex;
    std::map<std::string, TraceHandle> handles;
    std::vector<Rule> rules;  // replayed, in order, on every handle made later
    std::mutex sinkMutex;     // apart, so that a sink may look up handles
    std::function<void(std::string_view)> sink;

    bool apply(std::string_view setting, bool on, std::string* error) {
        std::vector<Rule> parsed;
        if (std::string why = parseSettings(setting, on, parsed); !why.empty()) {
            if (error != nullptr) {
                *error = std::move(why);
            }
            return false;
        }
        std::lock_guard lock(mutex);
        for (Rule const& rule : parsed) {
            for (auto& [name, h] : handles) {
                rule.applyTo(h);
            }
            rules.push_back(rule);
        }
        return true;
    }
};

Registry& registry() {
    static Registry* const made = [] {
        auto* r = new Registry;  // never destroyed: trace sites may run during exit
        std::string error;
        char const* env = std::getenv("KEL_TRACE");
        if (env != nullptr && !r->apply(env, true, &error)) {
            std::fprintf(stderr, "KEL_TRACE ignored: %s\n", error.c_str());
        }
        return r;
    }();
    return *made;
}

}  // namespace

TraceHandle& traceHandle(std::string_view name) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto [it, made] = r.handles.try_emplace(std::string(name), std::string(name));
    if (made) {
        for (Rule const& rule : r.rules) {
            rule.applyTo(it->second);
        }
    }
    return it->second;
}

bool traceEnable(std::string_view setting, std::string* error) {
    return registry().apply(setting, true, error);
}

bool traceDisable(std::string_view setting, std::string* error) {
    return registry().apply(setting, false, error);
}

void traceSinkIs(std::function<void(std::string_view)> sink) {
    Registry& r = registry();
    std::lock_guard lock(r.sinkMutex);
    r.sink = std::move(sink);
}

void traceLine(TraceHandle const& handle, int level, char const* source, int line,
               char const* function, std::string_view text) {
    std::string out = handle.name() + "/" + std::to_string(level) + " " + source + ":" +
                      std::to_string(line) + " " + function + ": ";
    out += text;
    Registry& r = registry();
    std::lock_guard lock(r.sinkMutex);
    if (r.sink) {
        r.sink(out);
    } else {
        std::fprintf(stderr, "%s\n", out.c_str());
    }
}

}  // namespace Kel
