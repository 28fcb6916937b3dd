#pragma once
// Placeholder of the trace facility with its final interface: text lines
// only, no ring buffer. Replaced by the full implementation.
#include <atomic>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>

namespace Kel {

class TraceHandle {
public:
    explicit TraceHandle(std::string name) : name_(std::move(name)) {}
    std::string const& name() const { return name_; }
    bool enabled(int level) const { return (levels_.load(std::memory_order_relaxed) >> level) & 1U; }
    void levelsIs(std::uint32_t mask) { levels_.store(mask); }
    std::uint32_t levels() const { return levels_.load(); }

private:
    std::string name_;
    std::atomic<std::uint32_t> levels_{0};
};

TraceHandle& traceHandle(std::string_view name);
bool traceEnable(std::string_view spec, std::string* error);
void traceSinkIs(std::function<void(std::string_view)> sink);
void traceEmit(TraceHandle const& handle, int level, char const* source, int line,
               char const* function, std::string const& text);

template <class... Args>
std::string traceFormat(char const* format, Args const&... args) {
    std::ostringstream out;
    std::string_view rest(format);
    auto one = [&](auto const& value) {
        auto mark = rest.find("%s");
        out << rest.substr(0, mark);
        out << value;
        rest = mark == std::string_view::npos ? std::string_view() : rest.substr(mark + 2);
    };
    (one(args), ...);
    out << rest;
    return out.str();
}

}  // namespace Kel

#define KEL_TRACE(handle, level, source, format, ...)                                     \
    do {                                                                                  \
        if ((handle).enabled(level)) {                                                    \
            ::Kel::traceEmit((handle), (level), (source), __LINE__, __func__,             \
                             ::Kel::traceFormat((format)__VA_OPT__(, ) __VA_ARGS__));     \
        }                                                                                 \
    } while (false)
#define KEL_TRACE_TEXT(handle, level, source, format, ...) \
    KEL_TRACE(handle, level, source, format __VA_OPT__(, ) __VA_ARGS__)
