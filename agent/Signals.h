#pragma once

#include "UniqueFd.h"

namespace PlinthAgent {

// The signals a long-running agent takes as events, through a descriptor
// polled with its other inputs, so that one acts between two commands and
// never inside one: SIGINT and SIGTERM end it, SIGHUP reopens its record,
// SIGUSR1 is taken and ignored rather than killing it.
class Signals {
  public:
    // Holds the signals back; call before anything else, so that an early
    // signal waits for the loop instead of killing the agent.
    static void block();

    // Throws std::runtime_error when the descriptor cannot be made.
    Signals();
    int fd() const { return fd_.get(); }
    // The next pending signal's number, 0 when none is pending.
    int next();

  private:
    UniqueFd fd_;
};

}  // namespace PlinthAgent
