#pragma once

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "Scenario.h"

namespace PlinthAgent {

class Host;

// Where a command applied after the scenario files comes from.
enum class Origin { agent, kernel, control };

// After the scenario files, the agent's own start, the kernel and control
// clients all change the host through here, so that whatever changes it is
// also written to the record file.
class Applier {
  public:
    // `host` is borrowed; `recordFile` (empty: no record) is left alone
    // until recordStart.
    Applier(Host& host, std::string recordFile);
    // Opens the record file, emptying it: only once every start-up check
    // has passed, so that a refused start keeps an earlier record. Throws
    // std::runtime_error naming it when it cannot.
    void recordStart();

    // Applies `command` as Host::apply does (throwing CommandError as it
    // does, or for a life-cycle command from a client while following, and
    // nothing recorded then) and returns the failures that mount completion
    // raised, which leave the plug-in wired as far as it got.
    std::vector<std::string> apply(Scenario::Command const& command, Origin origin,
                                   std::ostream& out);
    // Opens the record file again, appending, for log rotation; false when
    // it cannot be opened (nothing is recorded until the next reopen).
    bool reopenRecord();

    // From here on the kernel drives the plug-in's life: control clients may
    // no longer start, stop or remount it.
    void followingIs(bool following) { following_ = following; }

    Host& host() const { return host_; }

  private:
    Host& host_;
    std::string recordFile_;
    std::ofstream record_;
    bool following_ = false;
};

}  // namespace PlinthAgent
