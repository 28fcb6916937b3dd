#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "AgentProcess.h"

namespace PlinthTest {

using namespace std::chrono_literals;

// Tests that need the real kernel, each in network and mount namespaces of
// its own: every link it makes, every `ip netns` it names and every file it
// writes in dir_ (a tmpfs on /run) is private to it and goes with it. Where
// those cannot be made the test is skipped saying why, or fails instead when
// PLINTH_REQUIRE_NETNS=1.
class KernelNamespaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
            why = std::string("cannot make a network namespace (unshare: ") + std::strerror(errno) +
                  "); run as root";
        } else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                   ::mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0) {
            why = std::string("cannot make mounts private: ") + std::strerror(errno);
        } else if (std::system("ip link set lo up") != 0) {
            why = "the ip command (iproute2) does not work here";
        } else {
            return;
        }
        char const* required = std::getenv("PLINTH_REQUIRE_NETNS");
        if (required != nullptr && std::string(required) == "1") {
            FAIL() << why << " (PLINTH_REQUIRE_NETNS=1)";
        }
        GTEST_SKIP() << why;
    }

    std::filesystem::path const dir_ = "/run";
};

// A shell command run in a process group of its own, so that it and whatever
// it forks end with this object at the latest. Its standard output comes
// back as lines; redirections in the command send anything else to files.
class ChildProcess {
  public:
    explicit ChildProcess(std::string const& command) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe2 failed");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            ::dup2(fds[1], STDOUT_FILENO);
            ::dup2(::open("/dev/null", O_RDONLY), STDIN_FILENO);
            ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), nullptr);
            ::_exit(127);
        }
        ::setpgid(pid_, pid_);  // the parent may signal the group before the child ran
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }
    ChildProcess(ChildProcess const&) = delete;
    ChildProcess& operator=(ChildProcess const&) = delete;

    std::vector<std::string> const& lines() const { return lines_; }
    void signal(int signal) const {
        if (pid_ > 0) {
            ::kill(pid_, signal);
        }
    }

    // Reads standard output until `done()` holds; false when `timeout`
    // passes or the output ends first.
    bool readUntil(std::function<bool()> const& done, std::chrono::milliseconds timeout) {
        auto const end = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            auto const left = std::chrono::ceil<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            char buffer[4096];
            ssize_t n = 0;
            if (left <= 0ms || ::poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
                (n = ::read(out_, buffer, sizeof(buffer))) <= 0) {
                return done();
            }
            partial_.append(buffer, static_cast<std::size_t>(n));
            for (auto nl = partial_.find('\n'); nl != std::string::npos; nl = partial_.find('\n')) {
                lines_.push_back(partial_.substr(0, nl));
                partial_.erase(0, nl + 1);
            }
        }
        return true;
    }

    // Sends `signal`, reads the rest of the output and reaps the process:
    // its exit status, or -1 when it did not exit by itself within `timeout`
    // (the destructor kills it then).
    int stop(int signal, std::chrono::milliseconds timeout = 10s) {
        if (pid_ <= 0) {
            return -1;
        }
        auto const end = std::chrono::steady_clock::now() + timeout;
        ::kill(pid_, signal);
        readUntil([] { return false; }, timeout);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                return -1;
            }
            std::this_thread::sleep_for(20ms);
        }
        ::kill(-pid_, SIGKILL);  // anything it left behind in its group
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string partial_;
    std::vector<std::string> lines_;
};

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
    // The commands printed since the mark, without "kernel: ".
    std::vector<std::string> sinceMark() const {
        std::vector<std::string> out;
        for (auto i = mark_; i < lines().size(); ++i) {
            if (lines()[i].starts_with("kernel: ")) {
                out.push_back(lines()[i].substr(8));
            }
        }
        return out;
    }
    // Waits for each of `commands` to be printed after the mark.
    ::testing::AssertionResult waitFor(std::vector<std::string> const& commands) {
        auto const seen = [&] {
            auto const since = sinceMark();
            return std::ranges::all_of(commands, [&](auto const& c) {
                return std::ranges::find(since, c) != since.end();
            });
        };
        if (readUntil(seen, 10s)) {
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
