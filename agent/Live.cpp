#include "Live.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <optional>

#include "Applier.h"
#include "ControlServer.h"
#include "EventLoop.h"
#include "Host.h"
#include "KernelNetlink.h"
#include "Signals.h"

namespace PlinthAgent {

namespace {

int error(std::string const& message) {
    std::cout.flush();
    std::cerr << "plinth-agent: error: " << message << std::endl;
    return 2;
}

// Takes every pending signal: true when one of them ends the run.
bool takeSignals(Signals& signals, EventLoop& loop, Applier& applier) {
    bool ending = false;
    while (int const signal = signals.next()) {
        if (signal == SIGINT || signal == SIGTERM) {
            loop.stop();
            ending = true;
        } else if (signal == SIGHUP && !applier.reopenRecord()) {
            std::cerr << "plinth-agent: warning: --record: cannot reopen the record file; nothing "
                         "is recorded until the next SIGHUP"
                      << std::endl;
        }
    }
    return ending;
}

// The standard input, read with the signals polled beside it: a scenario
// piped in from a source that stays open must not hold back SIGINT or
// SIGTERM, which end the input. Other signals are taken as in the loop.
class SignalAwareInput : public std::streambuf {
  public:
    SignalAwareInput(int signalFd, std::function<bool()> takeSignals)
        : signalFd_(signalFd), takeSignals_(std::move(takeSignals)) {}
    bool ended() const { return ended_; }

  protected:
    int_type underflow() override {
        while (!ended_) {
            pollfd fds[] = {{STDIN_FILENO, POLLIN, 0}, {signalFd_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            ended_ = takeSignals_() || ended_;
            if (ended_ || fds[0].revents == 0) {
                continue;
            }
            ssize_t const n = ::read(STDIN_FILENO, buffer_, sizeof(buffer_));
            if (n > 0) {
                setg(buffer_, buffer_, buffer_ + n);
                return traits_type::to_int_type(buffer_[0]);
            }
            if (n == 0 || errno != EINTR) {
                break;
            }
        }
        return traits_type::eof();
    }

  private:
    int signalFd_;
    std::function<bool()> takeSignals_;
    bool ended_ = false;
    char buffer_[4096];
};

}  // namespace

int runLive(Host& host, LiveOptions const& options,
            std::function<bool(std::istream& standardInput)> const& runScenarios) {
    namespace K = Kernel;
    try {
        EventLoop loop;
        Signals signals;
        // The socket and the subscription come before the scenarios and the
        // record, so that an agent that cannot serve or follow stops before
        // it applied or emptied anything; a kernel change made meanwhile
        // waits in the queue.
        Applier applier(host, options.follow.recordFile);
        std::optional<ControlServer> control;
        if (!options.control.empty()) {
            control.emplace(options.control, applier, loop);
        }
        std::optional<K::Netlink> netlink;
        if (options.followKernel) {
            netlink.emplace(options.netlinkReceiveBuffer);
        }
        applier.recordStart();
        auto const takeAll = [&] { return takeSignals(signals, loop, applier); };
        SignalAwareInput input(signals.fd(), takeAll);
        std::istream standardInput(&input);
        if (!runScenarios(standardInput)) {
            return 2;
        }
        std::optional<K::Follower> follower;
        if (netlink && !input.ended()) {
            follower.emplace(applier, *netlink, options.follow.settings, std::cout);
            follower->start();
            applier.followingIs(true);
            loop.add(netlink->fd(), POLLIN, [&](short) { follower->notified(); });
        }
        loop.add(signals.fd(), POLLIN, [&](short) { takeAll(); });
        if (!input.ended()) {
            loop.run(options.follow.duration);
        }
    } catch (K::NetlinkError const& e) {
        return error(std::string("cannot follow the kernel: ") + e.what());
    } catch (std::exception const& e) {
        return error(e.what());
    }
    host.apply(Scenario::Dump{}, std::cout);
    std::cout.flush();
    return 0;
}

}  // namespace PlinthAgent
