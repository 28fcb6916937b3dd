#pragma once

#include <ostream>
#include <stdexcept>
#include <string>

#include "KernelTranslator.h"

namespace PlinthAgent {

class Applier;

namespace Kernel {

class Netlink;

// What ends following with exit status 2; the message says what and where.
class FollowError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Drives the host from the kernel: every change of links and addresses
// becomes typed commands that go through the Applier, the one way in after
// the scenario files, each printed as a `kernel:` line naming its link.
class Follower {
  public:
    // `applier`, `netlink` and `out` are borrowed and must outlive the
    // follower.
    Follower(Applier& applier, Netlink& netlink, FollowSettings settings, std::ostream& out);

    // Starts the plug-in unless the scenarios did, reads the kernel, checks
    // the settings against it and applies what it holds. Throws FollowError
    // or NetlinkError.
    void start();
    // Applies what the queued notifications changed.
    void notified();

  private:
    void applyOwn(Scenario::Command const& command);
    void applyChanges();
    void catchUp();

    Applier& applier_;
    Netlink& netlink_;
    std::ostream& out_;
    Translator translator_;
    Facts facts_;
};

}  // namespace Kernel
}  // namespace PlinthAgent
