#pragma once

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace PlinthTest {

inline std::string slurp(std::filesystem::path const& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Every line of `out` that is JSON: what the `dump`s printed, in order.
inline std::vector<nlohmann::json> jsonLines(std::string const& out) {
    std::vector<nlohmann::json> dumps;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("{")) {
            dumps.push_back(nlohmann::json::parse(line));
        }
    }
    return dumps;
}

// What the last `dump` in `out` printed (null when none did).
inline nlohmann::json lastDump(std::string const& out) {
    return jsonLines(out).empty() ? nlohmann::json() : jsonLines(out).back();
}

// What one run of plinth-agent left behind.
struct AgentRun {
    int status;  // -1 when the agent did not exit normally (a crash)
    std::string out, err;
};

// A test with a scratch directory of its own for the agent's files. Each
// test runs in a process of its own, so the process id names it.
class AgentDirTest : public ::testing::Test {
  protected:
    // The agents a test starts make their temporary files (a fresh toggle
    // directory) in its scratch directory, so that one it kills leaves none.
    void SetUp() override {
        std::filesystem::create_directories(dir_);
        ::setenv("TMPDIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("TMPDIR");
        std::filesystem::remove_all(dir_);
    }

    // Runs the built agent (or `program`) with `args`, `input` on standard input.
    AgentRun run(std::string const& args, std::string const& input = "",
                 std::string const& program = PLINTH_AGENT_PATH) {
        std::string const in = file("in", input), out = dir_ / "out", err = dir_ / "err";
        int const raw =
            std::system((program + " " + args + " <" + in + " >" + out + " 2>" + err).c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
    }
    std::string file(std::string const& name, std::string const& text) {
        std::ofstream(dir_ / name) << text;
        return dir_ / name;
    }

    std::filesystem::path const dir_ =
        std::filesystem::temp_directory_path() / ("plinth-agent-" + std::to_string(::getpid()));
};

using namespace std::chrono_literals;

// Tests that need the real kernel, each in network and mount namespaces of
// its own: every link it makes, every `ip netns` it names and every file it
// writes in /run (a tmpfs) is private to it and goes with it. Where those
// cannot be made the test is skipped saying why, or fails instead when
// PLINTH_REQUIRE_NETNS=1.
class KernelNamespaceTest : public AgentDirTest {
  protected:
    void SetUp() override {
        AgentDirTest::SetUp();
        if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0 ||
            std::system("ip link set lo up")) {
            std::string const why = std::string("no private network and mount namespaces (") +
                                    std::strerror(errno) + "); run as root, with iproute2";
            ASSERT_STRNE(std::getenv("PLINTH_REQUIRE_NETNS"), "1") << why;
            GTEST_SKIP() << why;
        }
    }
};

// Waits until `done()` holds, looking again every 10 ms; false when
// `timeout` passes first.
inline bool waitUntil(std::function<bool()> const& done, std::chrono::milliseconds timeout = 10s) {
    for (auto const end = std::chrono::steady_clock::now() + timeout; !done();) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// A shell command run in a process group of its own, so that it and whatever
// it forks end with this object at the latest.
class ChildProcess {
  public:
    explicit ChildProcess(std::string const& command) : pid_(::fork()) {
        if (pid_ == 0) {
            ::setpgid(0, 0);
            ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), nullptr);
            ::_exit(127);
        }
        ::setpgid(pid_, pid_);  // the parent may signal the group before the child ran
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(ChildProcess const&) = delete;
    ChildProcess& operator=(ChildProcess const&) = delete;

    void signal(int signal) const { pid_ > 0 && ::kill(pid_, signal); }  // never -1: everyone
    // Sends `signal` and reaps the process: its exit status, or -1 when it
    // did not exit by itself within `timeout` (the destructor kills it then).
    int stop(int signal, std::chrono::milliseconds timeout = 10s) {
        this->signal(signal);
        int status = 0;
        if (pid_ <= 0 ||
            !waitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout)) {
            return -1;
        }
        ::kill(-pid_, SIGKILL);  // anything it left behind in its group
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_;
};

// plinth-agent ARGS in the background, `prefix` before it (`ip netns exec
// NAME`, `env VAR=VALUE`), serving its control socket at DIR/NAME.sock and
// writing to DIR/NAME.out and DIR/NAME.err; tests wait on its `kernel:`
// lines or on its answers rather than on the clock.
class BackgroundAgent : public ChildProcess {
  public:
    BackgroundAgent(std::string const& name, std::string const& args,
                    std::string const& prefix = "", std::string const& dir = "/run")
        : ChildProcess(prefix + " " PLINTH_AGENT_PATH " --control " + dir + "/" + name + ".sock " +
                       args + " >" + dir + "/" + name + ".out 2>" + dir + "/" + name + ".err"),
          name_(dir + "/" + name) {
        waitUntil([&] { return std::filesystem::exists(socket()); });
    }

    std::string socket() const { return name_ + ".sock"; }
    std::string out() const { return slurp(name_ + ".out"); }
    std::string err() const { return slurp(name_ + ".err"); }
    // Applies `lines` through plinth-ctl, then a dump: what they showed, and
    // the dump (null when the agent did not get that far).
    std::pair<std::string, nlohmann::json> apply(std::string const& lines) const {
        std::ofstream(name_ + ".in") << (lines.empty() ? "" : lines + "\n") << "dump\n";
        std::system(
            (PLINTH_CTL_PATH " --control " + socket() + " <" + name_ + ".in >" + name_ + ".shown")
                .c_str());
        std::string const shown = slurp(name_ + ".shown");
        return {shown.substr(0, shown.find('{')), lastDump(shown)};
    }
    // The commands it printed (its `kernel:` lines without that prefix and
    // the comment that names the link and the time), all
    // or those after the mark; an unfinished last line waits for its end.
    std::vector<std::string> said(bool sinceMark = true) const {
        std::istringstream lines(out());
        std::vector<std::string> said;
        for (std::string line; std::getline(lines, line) && !lines.eof();) {
            if (line.starts_with("kernel: ")) {
                said.push_back(line.substr(8, line.find("  # ") - 8));
            }
        }
        return {said.begin() + (sinceMark ? mark_ : 0), said.end()};
    }
    // From here on waitFor() and said() look only at what comes next.
    void mark() { mark_ = said(false).size(); }
    // Waits for each of `commands` to be printed after the mark.
    ::testing::AssertionResult waitFor(std::vector<std::string> const& commands) const {
        auto const all = [&] {
            return std::ranges::all_of(commands,
                                       [s = said()](auto& c) { return std::ranges::count(s, c); });
        };
        return waitUntil(all) ? ::testing::AssertionSuccess()
                              : ::testing::AssertionFailure()
                                    << "waited for " << ::testing::PrintToString(commands)
                                    << ", got " << ::testing::PrintToString(said());
    }
    // After stop(): what the final dump printed.
    nlohmann::json finalDump() const { return lastDump(out()); }

  private:
    std::string name_;
    std::size_t mark_ = 0;
};

}  // namespace PlinthTest
