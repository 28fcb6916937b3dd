#include "Options.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace PlinthAgent {

char const* const kUsage =
    "usage: plinth-agent [options] [SCENARIO ...]\n"
    "Runs scenario files in order as one session ('-' is standard input; with no\n"
    "file, reads standard input, prompting when it is a terminal).\n"
    "  --plugin PATH     the plug-in library to load (default: beside the agent)\n"
    "  --toggles DIR     the directory holding PlinthLib.json (default: a fresh one)\n"
    "  --ring-file PATH  keep the trace ring buffer in this file\n"
    "  --keep-going      report a bad line and go on with the next\n"
    "  --help, --version\n"
    "\n"
    "plinth-agent --follow-kernel [--vlan IFNAME=N]... [--system-mac IFNAME]\n"
    "             [--record FILE] [--for SECONDS] [SCENARIO ...]\n"
    "Runs the scenarios, then follows this network namespace's links and addresses\n"
    "until SIGINT, SIGTERM or the end of --for, and prints the dump.\n"
    "  --vlan IFNAME=N     VRRP links on lower link IFNAME are on VLAN N (1 to 4094)\n"
    "  --system-mac IFNAME the MAC of link IFNAME is the system router MAC\n"
    "  --record FILE       write every command applied after the scenarios to FILE\n"
    "  --for SECONDS       stop following after SECONDS\n"
    "\n"
    "plinth-agent --control PATH [options] [SCENARIO ...]\n"
    "Also listens on the Unix socket PATH (plinth-ctl's default is\n"
    "/run/plinth-agent.sock) for scenario lines from plinth-ctl; without\n"
    "--follow-kernel, keeps running after the scenarios until SIGINT or SIGTERM.\n"
    "  --record FILE       works here too: commands from the socket are recorded\n"
    "\n"
    "plinth-agent --datapath IFNAME[,IFNAME...] [--datapath-pin DIR] [--vlan IFNAME=N]...\n"
    "plinth-agent --datapath-remove IFNAME[,IFNAME...] [--datapath-pin DIR]\n"
    "Terminates the table's MACs on these ports with an eBPF program at their ingress,\n"
    "pinned under DIR (default /sys/fs/bpf/plinth) so that it outlives the agent;\n"
    "--datapath-remove takes it off the ports and removes the pins.\n"
    "  --vlan IFNAME=N     untagged frames of port IFNAME are on VLAN N\n";

namespace {

std::chrono::milliseconds parseDuration(std::string const& text) {
    // Up to a year, in seconds with an optional fraction.
    constexpr double kMaxSeconds = 366.0 * 24 * 3600;
    char* end = nullptr;
    errno = 0;
    double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !(seconds >= 0) ||
        seconds > kMaxSeconds || !std::isdigit(static_cast<unsigned char>(text[0]))) {
        throw UsageError("--for: bad value '" + text + "' (seconds, a number from 0)");
    }
    return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
}

void addVlan(Options& o, std::string const& value) {
    try {
        auto [name, vlan] = Kernel::parseVlanOption(value);
        if (!o.follow.settings.vlans.emplace(name, vlan).second) {
            throw UsageError("--vlan: " + name + " is given twice");
        }
    } catch (Kernel::OptionError const& e) {
        throw UsageError(e.what());
    }
}

bool following(Options const& o) {
    return o.followKernel;
}

bool live(Options const& o) {
    return o.live();
}

bool followingOrDatapath(Options const& o) {
    return o.followKernel || (!o.datapathPorts.empty() && !o.datapathRemove);
}

bool datapath(Options const& o) {
    return !o.datapathPorts.empty();
}

void datapathPorts(Options& o, std::string const& flag, std::string const& value) {
    if (!o.datapathPorts.empty()) {
        throw UsageError(flag + ": the ports are given once (IFNAME[,IFNAME...])");
    }
    for (std::size_t at = 0; at <= value.size();) {
        std::size_t const comma = std::min(value.find(',', at), value.size());
        std::string const name = value.substr(at, comma - at);
        if (name.empty()) {
            throw UsageError(flag + ": empty port name in '" + value + "'");
        }
        if (std::ranges::count(o.datapathPorts, name) > 0) {
            throw UsageError(flag + ": " + name + " is given twice");
        }
        o.datapathPorts.push_back(name);
        at = comma + 1;
    }
}

// One row per option. `needs`, when set, says which mode the option belongs
// to; giving it outside that mode is an error that names the mode.
struct Flag {
    char const* name;
    bool hasValue;
    void (*apply)(Options&, std::string const& value);
    bool (*needs)(Options const&) = nullptr;
    char const* needsText = nullptr;
};

Flag const kFlags[] = {
    {"help", false, [](Options& o, std::string const&) { o.help = true; }},
    {"version", false, [](Options& o, std::string const&) { o.version = true; }},
    {"plugin", true, [](Options& o, std::string const& v) { o.plugin = v; }},
    {"toggles", true, [](Options& o, std::string const& v) { o.toggles = v; }},
    {"ring-file", true, [](Options& o, std::string const& v) { o.ringFile = v; }},
    {"keep-going", false, [](Options& o, std::string const&) { o.keepGoing = true; }},
    {"follow-kernel", false, [](Options& o, std::string const&) { o.followKernel = true; }},
    {"vlan", true, addVlan, followingOrDatapath, "--follow-kernel or --datapath"},
    {"system-mac", true,
     [](Options& o, std::string const& v) { o.follow.settings.systemMacLink = v; }, following,
     "--follow-kernel"},
    {"record", true, [](Options& o, std::string const& v) { o.follow.recordFile = v; }, live,
     "--follow-kernel or --control"},
    {"control", true, [](Options& o, std::string const& v) { o.control = v; }},
    {"for", true, [](Options& o, std::string const& v) { o.follow.duration = parseDuration(v); },
     following, "--follow-kernel"},
    {"datapath", true, [](Options& o, std::string const& v) { datapathPorts(o, "--datapath", v); }},
    {"datapath-remove", true,
     [](Options& o, std::string const& v) {
         datapathPorts(o, "--datapath-remove", v);
         o.datapathRemove = true;
     }},
    {"datapath-pin", true, [](Options& o, std::string const& v) { o.datapathPin = v; }, datapath,
     "--datapath or --datapath-remove"},
};
constexpr int kFirstFlag = 256;  // getopt_long's value of kFlags[0], clear of short options

std::vector<option> longOptions() {
    std::vector<option> options;
    for (int i = 0; auto const& flag : kFlags) {
        options.push_back({flag.name, flag.hasValue ? required_argument : no_argument, nullptr,
                           kFirstFlag + i++});
    }
    options.push_back({nullptr, 0, nullptr, 0});
    return options;
}

}  // namespace

Options parseOptions(int argc, char** argv) {
    Options o;
    std::vector<Flag const*> given;
    auto const options = longOptions();
    opterr = 0;  // errors are ours to word
    optind = 0;  // a fresh scan, also when called more than once
    for (int c; (c = getopt_long(argc, argv, ":", options.data(), nullptr)) != -1;) {
        std::string const arg = argv[optind - 1];
        if (c == ':') {
            throw UsageError(arg + " needs a value");
        }
        if (c < kFirstFlag) {
            // In a cluster (-xy) the argument is not yet behind optind: name
            // the option getopt stopped at.
            bool const isShort = optopt > 0 && optopt < kFirstFlag;
            throw UsageError("unknown option '" + (isShort ? std::string{'-', char(optopt)} : arg) +
                             "'");
        }
        Flag const& flag = kFlags[c - kFirstFlag];
        // An empty value (--plugin=) would otherwise quietly mean the default.
        if (flag.hasValue && *optarg == '\0') {
            throw UsageError(std::string("--") + flag.name + " needs a value");
        }
        flag.apply(o, optarg != nullptr ? optarg : "");
        given.push_back(&flag);
    }
    for (Flag const* flag : given) {
        if (flag->needs != nullptr && !flag->needs(o)) {
            throw UsageError(std::string("--") + flag->name + " needs " + flag->needsText);
        }
    }
    o.files.assign(argv + optind, argv + argc);
    if (o.datapathRemove && !o.files.empty()) {
        throw UsageError("--datapath-remove takes no scenario files");
    }
    return o;
}

}  // namespace PlinthAgent
