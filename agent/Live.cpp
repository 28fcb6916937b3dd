#include "Live.h"

#include <signal.h>

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

}  // namespace

int runLive(Host& host, LiveOptions const& options, std::function<bool()> const& runScenarios) {
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
        if (!runScenarios()) {
            return 2;
        }
        std::optional<K::Follower> follower;
        if (netlink) {
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
        loop.run(options.follow.duration);
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
