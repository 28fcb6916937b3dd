#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "Live.h"

// plinth-agent's command line, parsed into one value before anything runs.
namespace PlinthAgent {

// A command-line error; main prints it as "plinth-agent: error: MESSAGE".
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Options {
    bool help = false;
    bool version = false;
    std::string plugin;    // empty: the one beside the agent
    std::string toggles;   // empty: a fresh temporary directory
    std::string ringFile;  // empty: no ring buffer
    bool keepGoing = false;
    std::vector<std::string> files;
    bool followKernel = false;
    Kernel::FollowOptions follow;  // its VLANs also name the datapath ports' VLANs
    std::string control;           // the control socket's path; empty: none
    // --datapath or --datapath-remove: the ports; --datapath-pin.
    std::vector<std::string> datapathPorts;
    bool datapathRemove = false;
    std::string datapathPin;  // empty: the default

    // Whether commands come after the scenarios, from the kernel or the
    // control socket, until the agent is stopped.
    bool live() const { return followKernel || !control.empty(); }
};

extern char const* const kUsage;

// Throws UsageError naming the option and what is wrong with it.
Options parseOptions(int argc, char** argv);

}  // namespace PlinthAgent
