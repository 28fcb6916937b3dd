#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace PlinthTest {

using namespace std::chrono_literals;

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

}  // namespace PlinthTest
