#pragma once

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "AgentProcess.h"
#include "ChildProcess.h"

namespace PlinthTest {

// Moves this test process into network and mount namespaces of its own, so
// that every link it makes, and every `ip netns` it names, is private to it
// and goes with it. Empty on success, else why it cannot.
inline std::string enterPrivateNamespaces() {
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        return std::string("cannot make a network namespace (unshare: ") + std::strerror(errno) +
               "); run as root";
    }
    // Mounts made from here on stay in this namespace, /run/netns included.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0) {
        return std::string("cannot make mounts private: ") + std::strerror(errno);
    }
    if (std::system("ip link set lo up") != 0) {
        return "the ip command (iproute2) does not work here";
    }
    return "";
}

// Tests that need the real kernel: skipped with the reason where namespaces
// cannot be made, failed instead when PLINTH_REQUIRE_NETNS=1.
class KernelNamespaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::string const why = enterPrivateNamespaces(); !why.empty()) {
            char const* required = std::getenv("PLINTH_REQUIRE_NETNS");
            if (required != nullptr && std::string(required) == "1") {
                FAIL() << why << " (PLINTH_REQUIRE_NETNS=1)";
            }
            GTEST_SKIP() << why;
        }
        dir_ = std::filesystem::temp_directory_path() /
               ("plinth-kernel-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        if (!dir_.empty()) {
            std::filesystem::remove_all(dir_);
        }
    }

    std::filesystem::path dir_;
};

// Runs `script` with sh; a failure names it.
inline ::testing::AssertionResult sh(std::string const& script) {
    if (int const status = std::system(script.c_str()); status != 0) {
        return ::testing::AssertionFailure() << "'" << script << "' failed with status " << status;
    }
    return ::testing::AssertionSuccess();
}

// `plinth-agent --follow-kernel`; the test waits on its `kernel:` lines
// rather than on the clock.
class FollowingAgent : public ChildProcess {
  public:
    // `prefix` goes before the agent: `ip netns exec NAME`, `env VAR=VALUE`.
    FollowingAgent(std::string const& args, std::filesystem::path const& errFile,
                   std::string const& prefix = "")
        : ChildProcess(prefix + " " + PLINTH_AGENT_PATH + " --follow-kernel " + args + " 2>" +
                       errFile.string()),
          errFile_(errFile) {}

    // From here on waitFor() and sinceMark() look only at what comes next.
    void mark() { mark_ = lines().size(); }
    std::vector<std::string> sinceMark() const {
        return {lines().begin() + static_cast<std::ptrdiff_t>(mark_), lines().end()};
    }
    bool printedSinceMark(std::string const& command) const {
        auto const since = sinceMark();
        return std::find(since.begin(), since.end(), "kernel: " + command) != since.end();
    }
    // Waits for each of `commands` to be printed after the mark.
    ::testing::AssertionResult waitFor(std::vector<std::string> const& commands) {
        if (readUntil(
                [&] {
                    return std::ranges::all_of(commands,
                                               [&](auto const& c) { return printedSinceMark(c); });
                },
                10s)) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "waited for " << ::testing::PrintToString(commands)
                                             << ", got " << ::testing::PrintToString(sinceMark());
    }
    // After stop(): what the final dump printed.
    nlohmann::json finalDump() const {
        return lines().empty() ? nlohmann::json()
                               : nlohmann::json::parse(lines().back(), nullptr, false);
    }
    std::string err() const { return slurp(errFile_); }

  private:
    std::filesystem::path errFile_;
    std::size_t mark_ = 0;
};

}  // namespace PlinthTest
