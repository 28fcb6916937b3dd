#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Kel/Trace.h"

namespace PlinthTest {

// Collects the trace lines of one handle while it lives, with every level
// enabled, and puts the handle's levels and the sink back afterwards. A line
// "HANDLE/LEVEL SOURCE:LINE FUNCTION: TEXT" is kept as "LEVEL TEXT".
class TraceCapture {
  public:
    explicit TraceCapture(std::string_view handleName)
        : handle_(Kel::traceHandle(handleName)), savedLevels_(handle_.levels()) {
        handle_.levelsIs(~0U);
        Kel::traceSinkIs([this](std::string_view line) {
            auto const slash = line.find('/');
            lines.emplace_back(line.substr(slash + 1, line.find(' ') - slash));
            lines.back() += line.substr(line.find(": ") + 2);
        });
    }
    ~TraceCapture() {
        Kel::traceSinkIs({});
        handle_.levelsIs(savedLevels_);
    }

    std::vector<std::string> lines;

  private:
    Kel::TraceHandle& handle_;
    std::uint32_t savedLevels_;
};

}  // namespace PlinthTest
