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

void takeSignal(int signal, EventLoop& loop, Applier& applier) {
    if (signal == SIGINT || signal == SIGTERM) {
        loop.stop();
    } else if (signal == SIGHUP && !applier.reopenRecord()) {
        std::cerr << "plinth-agent: warning: --record: cannot reopen the record file; nothing is "
                     "recorded until the next SIGHUP"
                  << std::endl;
    }
}

// The standard input, read with the signals polled beside it: a scenario
// piped in from a source that stays open must not hold back SIGINT or
// SIGTERM, which end the input. Other signals are taken as in the loop.
class SignalAwareInput : public std::streambuf {
  public:
    SignalAwareInput(Signals& signals, std::function<void(int)> take)
        : signals_(signals), take_(std::move(take)) {}
    bool ended() const { return ended_; }

  protected:
    int_type underflow() override {
        while (!ended_) {
            pollfd fds[] = {{STDIN_FILENO, POLLIN, 0}, {signals_.fd(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            while (int const signal = signals_.next()) {
                ended_ = ended_ || signal == SIGINT || signal == SIGTERM;
                take_(signal);
            }
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
    Signals& signals_;
    std::function<void(int)> take_;
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
        SignalAwareInput input(signals, [&](int signal) { takeSignal(signal, loop, applier); });
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
        loop.add(signals.fd(), POLLIN, [&](short) {
            while (int signal = signals.next()) {
                takeSignal(signal, loop, applier);
            }
        });
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
