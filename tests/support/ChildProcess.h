#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace PlinthTest {

// A program run in a process group of its own, so that it and whatever it
// forks end with this object. Standard output comes back as lines through
// a pipe, or goes to a file with standard error.
class ChildProcess {
  public:
    using Clock = std::chrono::steady_clock;

    // `outFile` empty: standard output is read through lines().
    ChildProcess(std::vector<std::string> const& argv, std::filesystem::path const& errFile,
                 std::vector<std::string> const& env = {},
                 std::filesystem::path const& outFile = {}) {
        int fds[2] = {-1, -1};
        if (outFile.empty() && ::pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(err, STDERR_FILENO);
            ::dup2(outFile.empty() ? fds[1] : ::open(outFile.c_str(), O_WRONLY | O_CREAT, 0644),
                   STDOUT_FILENO);
            int in = ::open("/dev/null", O_RDONLY);
            ::dup2(in, STDIN_FILENO);
            for (auto const& e : env) {
                ::putenv(const_cast<char*>(e.c_str()));
            }
            std::vector<char*> args;
            for (auto const& a : argv) {
                args.push_back(const_cast<char*>(a.c_str()));
            }
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        // Set here too: the parent may signal the group before the child ran.
        ::setpgid(pid_, pid_);
        if (outFile.empty()) {
            ::close(fds[1]);
            out_ = fds[0];
        }
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) {
            ::close(out_);
        }
    }
    ChildProcess(ChildProcess const&) = delete;
    ChildProcess& operator=(ChildProcess const&) = delete;

    pid_t pid() const { return pid_; }
    std::vector<std::string> const& lines() const { return lines_; }

    // Reads standard output until `done()` holds; false when `timeout`
    // passes or the output ends first.
    bool readUntil(std::function<bool()> const& done, std::chrono::milliseconds timeout) {
        auto const end = Clock::now() + timeout;
        while (!done()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) {
                return done();
            }
        }
        return true;
    }

    void signal(int signal) const { ::kill(pid_, signal); }

    // Sends `signal`, reads the rest of the output and reaps the process:
    // its exit status, or -1 when it did not exit by itself within `timeout`.
    int stop(int signal, std::chrono::milliseconds timeout) {
        ::kill(pid_, signal);
        if (out_ >= 0) {
            readUntil([] { return false; }, timeout);
        }
        auto const end = Clock::now() + timeout;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > end) {
                return -1;  // the destructor kills it
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(-pid_, SIGKILL);  // anything it left behind in its group
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    // False at the end of the output or when nothing came in `timeoutMs`.
    bool readSome(int timeoutMs) {
        pollfd p{out_, POLLIN, 0};
        if (out_ < 0 || ::poll(&p, 1, timeoutMs) <= 0) {
            return false;
        }
        char buffer[4096];
        ssize_t n = ::read(out_, buffer, sizeof(buffer));
        if (n <= 0) {
            return false;
        }
        partial_.append(buffer, static_cast<std::size_t>(n));
        for (auto nl = partial_.find('\n'); nl != std::string::npos; nl = partial_.find('\n')) {
            lines_.push_back(partial_.substr(0, nl));
            partial_.erase(0, nl + 1);
        }
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string partial_;
    std::vector<std::string> lines_;
};

}  // namespace PlinthTest
