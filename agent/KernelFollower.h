#pragma once

#include <chrono>
#include <fstream>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>

#include "KernelTranslator.h"

namespace PlinthAgent {

class Host;

namespace Kernel {

class Netlink;

// What ends following with exit status 2; the message says what and where.
class FollowError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct FollowOptions {
    FollowSettings settings;
    std::string recordFile;  // empty: no record
    std::optional<std::chrono::milliseconds> duration;
};

// Drives the host from the kernel: every change of links and addresses
// becomes scenario lines that go through the same parser and Host::apply
// as a scenario file's.
class Follower {
  public:
    // `host` and `out` are borrowed and must outlive the follower. Opens
    // the record file; throws FollowError when it cannot.
    Follower(Host& host, FollowOptions options, std::ostream& out);

    // Starts the plug-in unless the scenarios did, reads the kernel and
    // follows it until SIGINT or SIGTERM (which the caller has blocked, see
    // blockStopSignals) or the duration ends. Throws FollowError or
    // NetlinkError.
    void run(Netlink& netlink);

    // Holds SIGINT and SIGTERM back so that run() takes them as events; call
    // before anything else, so that an early signal waits for run().
    static void blockStopSignals();

  private:
    void apply(std::string const& line, bool fromKernel);
    void catchUp(Netlink& netlink, Facts& facts);

    Host& host_;
    FollowOptions options_;
    std::ostream& out_;
    std::ofstream record_;
    Translator translator_;
};

}  // namespace Kernel
}  // namespace PlinthAgent
