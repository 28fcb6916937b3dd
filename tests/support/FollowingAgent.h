#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "AgentProcess.h"
#include "ChildProcess.h"

namespace PlinthTest {

using namespace std::chrono_literals;

// `plinth-agent --follow-kernel` run in the caller's network namespace; the
// test waits on its `kernel:` lines rather than on the clock.
class FollowingAgent {
  public:
    static constexpr auto kWait = 10s;

    // `wrapper` goes before the agent's path, `ip netns exec NAME` for one.
    FollowingAgent(std::string const& args, std::filesystem::path const& dir,
                   std::vector<std::string> const& env = {},
                   std::vector<std::string> const& wrapper = {})
        : errFile_(dir / (wrapper.empty() ? "agent.err" : "agent-" + wrapper.back() + ".err")),
          process_(argv(wrapper, args), errFile_, env) {}

    // Waits for each of `lines` (without the "kernel: " prefix) to be
    // printed after the last mark.
    ::testing::AssertionResult waitFor(std::vector<std::string> const& lines,
                                       std::chrono::milliseconds timeout = kWait) {
        auto seen = [&] {
            return std::all_of(lines.begin(), lines.end(),
                               [&](auto const& l) { return printedSinceMark(l); });
        };
        if (process_.readUntil(seen, timeout)) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "waited for " << ::testing::PrintToString(lines)
                                             << ", got " << ::testing::PrintToString(sinceMark());
    }
    // Reads what the agent prints for `time`.
    void readFor(std::chrono::milliseconds time) {
        process_.readUntil([] { return false; }, time);
    }
    // From here on waitFor() looks only at what comes next.
    void mark() { mark_ = process_.lines().size(); }
    std::vector<std::string> sinceMark() const {
        auto const& all = process_.lines();
        return {all.begin() + static_cast<std::ptrdiff_t>(mark_), all.end()};
    }
    bool printedSinceMark(std::string const& line) const {
        auto const lines = sinceMark();
        return std::find(lines.begin(), lines.end(), "kernel: " + line) != lines.end();
    }
    std::vector<std::string> const& lines() const { return process_.lines(); }
    void signal(int signal) const { process_.signal(signal); }

    // Ends following with SIGTERM: the exit status, and the final dump.
    int stop(int signal = SIGTERM) { return process_.stop(signal, kWait); }
    nlohmann::json finalDump() const {
        return process_.lines().empty() ? nlohmann::json()
                                        : nlohmann::json::parse(process_.lines().back());
    }
    std::string err() const { return slurp(errFile_); }

  private:
    static std::vector<std::string> argv(std::vector<std::string> out, std::string const& args) {
        out.push_back(PLINTH_AGENT_PATH);
        out.push_back("--follow-kernel");
        std::istringstream words(args);
        for (std::string w; words >> w;) {
            out.push_back(w);
        }
        return out;
    }

    std::filesystem::path errFile_;
    ChildProcess process_;
    std::size_t mark_ = 0;
};

// Runs `script` with sh in the current namespaces; fails the test on error.
inline ::testing::AssertionResult sh(std::string const& script) {
    int const status = std::system(script.c_str());
    if (status == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "'" << script << "' failed with status " << status;
}

}  // namespace PlinthTest
