#include "Kel/Trace.h"

#include <iostream>
#include <map>
#include <memory>
#include <mutex>

namespace Kel {

namespace {
std::mutex mutex;
std::map<std::string, std::unique_ptr<TraceHandle>, std::less<>> handles;
std::function<void(std::string_view)> sink;
}  // namespace

TraceHandle& traceHandle(std::string_view name) {
    std::lock_guard lock(mutex);
    auto it = handles.find(name);
    if (it == handles.end()) {
        it = handles.emplace(std::string(name), std::make_unique<TraceHandle>(std::string(name))).first;
    }
    return *it->second;
}

bool traceEnable(std::string_view, std::string*) { return true; }

void traceSinkIs(std::function<void(std::string_view)> s) { sink = std::move(s); }

void traceEmit(TraceHandle const& handle, int level, char const* source, int line,
               char const* function, std::string const& text) {
    std::string out = handle.name() + "/" + std::to_string(level) + " " + source + ":" +
                      std::to_string(line) + " " + function + ": " + text;
    if (sink) {
        sink(out);
    } else {
        std::cerr << out << '\n';
    }
}

}  // namespace Kel
