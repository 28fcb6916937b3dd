#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <istream>
#include <optional>
#include <string>

#include "KernelFollower.h"

namespace PlinthAgent {

class Host;

namespace Kernel {

struct FollowOptions {
    FollowSettings settings;
    std::string recordFile;  // empty: no record; commands of control clients too
    std::optional<std::chrono::milliseconds> duration;
};

}  // namespace Kernel

// How a long-running agent runs: following the kernel, serving a control
// socket, or both.
struct LiveOptions {
    bool followKernel = false;
    Kernel::FollowOptions follow;
    std::string control;                   // the control socket's path; empty: none
    std::size_t netlinkReceiveBuffer = 0;  // 0: the default
};

// Makes the control socket and subscribes to the kernel, runs the scenario
// files (`runScenarios`, given the standard input to read `-` from; false
// when a bad line stops the run), then follows and serves until SIGINT or
// SIGTERM or the end of the duration, and prints the dump. A SIGINT or
// SIGTERM while the scenarios wait on the standard input ends that input
// and the run. Returns the exit status; errors are printed as
// `plinth-agent: error: MESSAGE`. Signals::block() must have run first.
int runLive(Host& host, LiveOptions const& options,
            std::function<bool(std::istream& standardInput)> const& runScenarios);

}  // namespace PlinthAgent
