#include "Kel/Trace.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace Kel {

namespace {

constexpr std::uint32_t kAllLevels = 0xffffffffU;

// One "HANDLE/LEVELS" item of a setting, with the bare levels that follow it.
struct Rule {
    std::string handle;  // "*" for every handle
    std::uint32_t levels = 0;
    bool on = true;

    bool matches(std::string_view name) const { return handle == "*" || handle == name; }
    void applyTo(TraceHandle& h) const {
        h.levelsIs(on ? (h.levels() | levels) : (h.levels() & ~levels));
    }
};

std::optional<int> levelOf(std::string_view text) {
    if (text.empty() || text.size() > 2) {
        return std::nullopt;
    }
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value < 32 ? std::optional<int>(value) : std::nullopt;
}

// The levels of one comma-separated piece: "*", "N" or "N-M".
std::optional<std::uint32_t> levelsOf(std::string_view piece) {
    if (piece == "*") {
        return kAllLevels;
    }
    std::size_t dash = piece.find('-');
    auto low = levelOf(piece.substr(0, dash));
    auto high = dash == std::string_view::npos ? low : levelOf(piece.substr(dash + 1));
    if (!low || !high || *low > *high) {
        return std::nullopt;
    }
    std::uint64_t upTo = (std::uint64_t{1} << (*high + 1)) - 1;
    return static_cast<std::uint32_t>(upTo & ~((std::uint64_t{1} << *low) - 1));
}

std::string parseError(std::string_view piece, char const* why) {
    return "bad trace setting '" + std::string(piece) + "': " + why;
}

// Empty on success; on failure the message names the bad piece.
std::string parseSettings(std::string_view setting, bool on, std::vector<Rule>& rules) {
    std::size_t at = 0;
    while (at <= setting.size()) {
        std::size_t comma = std::min(setting.find(',', at), setting.size());
        std::string_view piece = setting.substr(at, comma - at);
        std::string_view levels = piece;
        if (std::size_t slash = piece.find('/'); slash != std::string_view::npos) {
            if (slash == 0) {
                return parseError(piece, "no handle name before '/'");
            }
            rules.push_back({std::string(piece.substr(0, slash)), 0, on});
            levels = piece.substr(slash + 1);
        } else if (rules.empty()) {
            return parseError(piece, "expected HANDLE/LEVELS");
        }
        auto mask = levelsOf(levels);
        if (!mask) {
            return parseError(piece, "levels are *, N or N-M with 0 <= N <= M <= 31");
        }
        rules.back().levels |= *mask;
        at = comma + 1;
    }
    return {};
}

class Registry {
  public:
    static Registry& instance() {
        static Registry registry;
        return registry;
    }

    TraceHandle& handle(std::string_view name) {
        std::lock_guard lock(mutex_);
        auto it = handles_.find(name);
        if (it == handles_.end()) {
            auto made = std::make_unique<TraceHandle>(std::string(name));
            for (Rule const& rule : rules_) {
                if (rule.matches(name)) {
                    rule.applyTo(*made);
                }
            }
            it = handles_.emplace(std::string(name), std::move(made)).first;
        }
        return *it->second;
    }

    bool apply(std::string_view setting, bool on, std::string* error) {
        std::vector<Rule> rules;
        if (std::string why = parseSettings(setting, on, rules); !why.empty()) {
            if (error != nullptr) {
                *error = std::move(why);
            }
            return false;
        }
        std::lock_guard lock(mutex_);
        for (Rule const& rule : rules) {
            for (auto& [name, h] : handles_) {
                if (rule.matches(name)) {
                    rule.applyTo(*h);
                }
            }
            rules_.push_back(rule);
        }
        return true;
    }

    void sinkIs(std::function<void(std::string_view)> sink) {
        std::lock_guard lock(sinkMutex_);
        sink_ = std::move(sink);
    }

    void emit(std::string_view line) {
        std::lock_guard lock(sinkMutex_);
        if (sink_) {
            sink_(line);
            return;
        }
        std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    }

  private:
    Registry() {
        char const* env = std::getenv("KEL_TRACE");
        std::string error;
        if (env != nullptr && !apply(env, true, &error)) {
            std::fprintf(stderr, "KEL_TRACE ignored: %s\n", error.c_str());
        }
    }

    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<TraceHandle>, std::less<>> handles_;
    std::vector<Rule> rules_;  // replayed, in order, on every handle made later
    std::mutex sinkMutex_;
    std::function<void(std::string_view)> sink_;
};

}  // namespace

TraceHandle& traceHandle(std::string_view name) {
    return Registry::instance().handle(name);
}

bool traceEnable(std::string_view setting, std::string* error) {
    return Registry::instance().apply(setting, true, error);
}

bool traceDisable(std::string_view setting, std::string* error) {
    return Registry::instance().apply(setting, false, error);
}

void traceSinkIs(std::function<void(std::string_view)> sink) {
    Registry::instance().sinkIs(std::move(sink));
}

TraceHelper::TraceHelper(TraceHandle const& handle, int level, std::string_view source, int line,
                         std::string_view function) {
    line_.append(handle.name()).append("/").append(std::to_string(level)).append(" ");
    line_.append(source).append(":").append(std::to_string(line)).append(" ");
    line_.append(function).append(": ");
}

TraceHelper::~TraceHelper() {
    Registry::instance().emit(line_);
}

TraceHelper& TraceHelper::operator<<(std::string_view text) {
    line_.append(text);
    return *this;
}

}  // namespace Kel
