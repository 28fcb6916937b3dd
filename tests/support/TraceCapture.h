#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Kel/Trace.h"

namespace PlinthTest {

// Collects the text trace lines of one handle while it lives, with every
// level enabled, and puts the handle's levels and the sink back afterwards.
class TraceCapture {
  public:
    explicit TraceCapture(std::string_view handleName)
        : handle_(Kel::traceHandle(handleName)), savedLevels_(handle_.levels()) {
        handle_.levelsIs(~0U);
        Kel::traceSinkIs([this](std::string_view line) { lines_.emplace_back(line); });
    }
    ~TraceCapture() {
        Kel::traceSinkIs({});
        handle_.levelsIs(savedLevels_);
    }
    TraceCapture(TraceCapture const&) = delete;
    TraceCapture& operator=(TraceCapture const&) = delete;

    // Each line's text, after the "HANDLE/LEVEL SOURCE:LINE FUNCTION: " prefix.
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (auto const& line : lines_) {
            auto at = line.find(": ");
            out.push_back(at == std::string::npos ? line : line.substr(at + 2));
        }
        return out;
    }
    std::vector<std::string> const& lines() const { return lines_; }
    void clear() { lines_.clear(); }

  private:
    Kel::TraceHandle& handle_;
    std::uint32_t savedLevels_;
    std::vector<std::string> lines_;
};

}  // namespace PlinthTest
