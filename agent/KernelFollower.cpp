#include "KernelFollower.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "Host.h"
#include "KernelNetlink.h"
#include "Scenario.h"

namespace PlinthAgent::Kernel {

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// SIGINT and SIGTERM as a descriptor that polls with the netlink socket,
// so a signal ends following between two commands, never inside one.
class StopSignals {
  public:
    StopSignals() {
        sigset_t set = stopSignals();
        fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
        if (fd_ < 0) {
            throw FollowError(std::string("cannot watch for signals: ") + std::strerror(errno));
        }
    }
    ~StopSignals() { ::close(fd_); }
    StopSignals(StopSignals const&) = delete;
    StopSignals& operator=(StopSignals const&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

class Deadline {
  public:
    explicit Deadline(std::optional<std::chrono::milliseconds> duration) {
        if (duration) {
            end_ = std::chrono::steady_clock::now() + *duration;
        }
    }
    // For poll: -1 waits for ever.
    int timeoutMs() const {
        if (!end_) {
            return -1;
        }
        auto left =
            std::chrono::ceil<std::chrono::milliseconds>(*end_ - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<std::int64_t>(0, left.count()));
    }
    bool passed() const { return end_ && std::chrono::steady_clock::now() >= *end_; }

  private:
    std::optional<std::chrono::steady_clock::time_point> end_;
};

}  // namespace

void Follower::blockStopSignals() {
    sigset_t set = stopSignals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

Follower::Follower(Host& host, FollowOptions options, std::ostream& out)
    : host_(host), options_(std::move(options)), out_(out), translator_(options_.settings) {
    if (!options_.recordFile.empty()) {
        record_.open(options_.recordFile, std::ios::trunc);
        if (!record_) {
            throw FollowError("--record: cannot open '" + options_.recordFile +
                              "': " + std::strerror(errno));
        }
    }
}

void Follower::apply(std::string const& line, bool fromKernel) {
    // The line goes the way a scenario's does, so the kernel can reach the
    // switch only through commands a scenario could also write.
    try {
        host_.apply(*Scenario::parseLine(line), out_);
    } catch (std::exception const& e) {
        if (!fromKernel) {
            throw FollowError(e.what());  // which names the command
        }
        out_.flush();
        std::cerr << "plinth-agent: warning: kernel: " << line << ": " << e.what() << std::endl;
    }
    // Its own start has no scenario line to name: the warning names the agent.
    for (auto const& failure : host_.warningsTake()) {
        out_.flush();
        std::cerr << "plinth-agent: warning: mount completion failed: " << failure << std::endl;
    }
    if (fromKernel) {
        out_ << "kernel: " << line << std::endl;
    }
    if (record_.is_open()) {
        record_ << line << std::endl;
    }
}

// Applies every queued notification; when the kernel dropped some, starts
// again from a full read and keeps what arrived after it.
void Follower::catchUp(Netlink& netlink, Facts& facts) {
    while (!netlink.drain(facts)) {
        std::cerr << "plinth-agent: note: kernel notifications were lost; reading links and "
                     "addresses again"
                  << std::endl;
        facts = netlink.dump();
    }
}

void Follower::run(Netlink& netlink) {
    StopSignals signals;
    if (!host_.started()) {
        apply("start", false);
        apply("fap add 0", false);
    }
    Facts facts = netlink.dump();
    catchUp(netlink, facts);
    std::string const& systemLink = options_.settings.systemMacLink;
    if (!systemLink.empty() && facts.linkNamed(systemLink) == nullptr) {
        throw FollowError("--system-mac: no link named '" + systemLink + "'");
    }
    Deadline deadline(options_.duration);
    while (true) {
        for (auto const& line : translator_.commands(facts)) {
            apply(line, true);
        }
        if (deadline.passed()) {
            return;
        }
        pollfd fds[] = {{netlink.fd(), POLLIN, 0}, {signals.fd(), POLLIN, 0}};
        if (::poll(fds, 2, deadline.timeoutMs()) < 0 && errno != EINTR) {
            throw FollowError(std::string("cannot wait for the kernel: ") + std::strerror(errno));
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (fds[0].revents != 0) {
            catchUp(netlink, facts);
        }
    }
}

}  // namespace PlinthAgent::Kernel
