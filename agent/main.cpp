// plinth-agent: stands in for the switch's forwarding agent. Loads the My
// Station plug-in and drives it from scenario files.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "Host.h"
#include "Jotter/RingBuf.h"
#include "Live.h"
#include "Signals.h"
#include "Toggle/Toggle.h"

namespace {

constexpr char const* kUsage =
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
    "  --for SECONDS       stop following after SECONDS\n";

constexpr std::size_t kRingBytes = 4U << 20;

struct Options {
    std::string plugin;
    std::string toggles;
    std::string ringFile;
    bool keepGoing = false;
    std::vector<std::string> files;
    bool followKernel = false;
    PlinthAgent::Kernel::FollowOptions follow;
    std::string followFlag;  // the first follow-only flag given, to name it
    std::string control;     // the control socket's path; empty: none
};

[[noreturn]] void usageError(std::string const& message) {
    std::cerr << "plinth-agent: " << message << "\n" << kUsage;
    std::exit(2);
}

// The status for an error that ends the run.
int error(std::string const& message) {
    std::cout.flush();
    std::cerr << "plinth-agent: error: " << message << std::endl;
    return 2;
}

[[noreturn]] void fatal(std::string const& message) {
    std::exit(error(message));
}

std::chrono::milliseconds parseDuration(std::string const& text) {
    // Up to a year, in seconds with an optional fraction.
    constexpr double kMaxSeconds = 366.0 * 24 * 3600;
    char* end = nullptr;
    errno = 0;
    double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !(seconds >= 0) ||
        seconds > kMaxSeconds || !std::isdigit(static_cast<unsigned char>(text[0]))) {
        fatal("--for: bad value '" + text + "' (seconds, a number from 0)");
    }
    return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
}

// A follow-only flag: remembered so that using it without --follow-kernel
// can be named.
bool followFlag(Options& o, int& i, int argc, char** argv) {
    std::string const arg = argv[i];
    if (arg != "--vlan" && arg != "--system-mac" && arg != "--record" && arg != "--for") {
        return false;
    }
    if (i + 1 >= argc) {
        fatal(arg + " needs a value");
    }
    std::string const value = argv[++i];
    if (o.followFlag.empty()) {
        o.followFlag = arg;
    }
    auto& follow = o.follow;
    try {
        if (arg == "--vlan") {
            auto [name, vlan] = PlinthAgent::Kernel::parseVlanOption(value);
            if (!follow.settings.vlans.emplace(name, vlan).second) {
                fatal("--vlan: " + name + " is given twice");
            }
        } else if (arg == "--system-mac") {
            if (value.empty()) {
                fatal("--system-mac: empty interface name");
            }
            follow.settings.systemMacLink = value;
        } else if (arg == "--record") {
            follow.recordFile = value;
        } else {
            follow.duration = parseDuration(value);
        }
    } catch (PlinthAgent::Kernel::OptionError const& e) {
        fatal(e.what());
    }
    return true;
}

Options parseOptions(int argc, char** argv) {
    Options o;
    auto value = [&](int& i, char const* flag) -> std::string {
        if (i + 1 >= argc) {
            usageError(std::string(flag) + " needs a value");
        }
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help") {
            std::cout << kUsage;
            std::exit(0);
        } else if (arg == "--version") {
            std::cout << "plinth-agent 0.1.0\n";
            std::exit(0);
        } else if (arg == "--plugin") {
            o.plugin = value(i, "--plugin");
        } else if (arg == "--toggles") {
            o.toggles = value(i, "--toggles");
        } else if (arg == "--ring-file") {
            o.ringFile = value(i, "--ring-file");
        } else if (arg == "--keep-going") {
            o.keepGoing = true;
        } else if (arg == "--control") {
            o.control = value(i, "--control");
        } else if (arg == "--follow-kernel") {
            o.followKernel = true;
        } else if (followFlag(o, i, argc, argv)) {
            continue;
        } else if (arg.size() > 1 && arg[0] == '-') {
            usageError("unknown option '" + arg + "'");
        } else {
            o.files.push_back(arg);
        }
    }
    if (!o.followKernel && !o.followFlag.empty()) {
        fatal(o.followFlag + " needs --follow-kernel");
    }
    return o;
}

std::string besideThisProgram(char const* file) {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return (ec ? std::filesystem::path(".") : self.parent_path()) / file;
}

// A fresh toggle directory, removed when the agent ends.
class TempToggleDir {
  public:
    TempToggleDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "plinth-toggles-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) {
            usageError(std::string("cannot make a toggle directory: ") + std::strerror(errno));
        }
        path_ = pattern;
    }
    ~TempToggleDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string const& path() const { return path_; }

  private:
    std::string path_;
};

class Session {
  public:
    Session(PlinthAgent::Host& host, bool keepGoing) : host_(host), keepGoing_(keepGoing) {}

    // False when a bad line stopped the run.
    bool run(std::istream& in, std::string const& name, bool interactive) {
        std::string line;
        int number = 0;
        while (true) {
            if (interactive) {
                std::cout << "plinth> " << std::flush;
            }
            if (!std::getline(in, line)) {
                break;
            }
            ++number;
            if (!runLine(line, name, number) && !interactive && !keepGoing_) {
                return false;
            }
        }
        if (interactive) {
            std::cout << '\n';
        }
        return true;
    }
    bool hadError() const { return errors_ > 0; }

  private:
    bool runLine(std::string const& line, std::string const& name, int number) {
        try {
            if (auto command = PlinthAgent::Scenario::parseLine(line)) {
                host_.apply(*command, std::cout);
                warnAboutToggles();
                for (auto const& failure : host_.warningsTake()) {
                    std::cout.flush();
                    std::cerr << name << ':' << number
                              << ": warning: mount completion failed: " << failure << std::endl;
                }
            }
            return true;
        } catch (std::exception const& e) {
            ++errors_;
            std::cout.flush();
            std::cerr << name << ':' << number << ": error: " << e.what() << std::endl;
            return false;
        }
    }
    void warnAboutToggles() {
        std::string error = Toggle::lastError();
        if (!error.empty() && error != toggleWarning_) {
            toggleWarning_ = error;
            std::cerr << "plinth-agent: warning: " << error << "; the toggles take their defaults"
                      << std::endl;
        }
    }

    PlinthAgent::Host& host_;
    bool keepGoing_;
    int errors_ = 0;
    std::string toggleWarning_;
};

// Runs the scenario files in order; false when one could not be opened.
bool runFiles(Session& session, std::vector<std::string> const& files) {
    for (auto const& file : files) {
        bool ok;
        if (file == "-") {
            ok = session.run(std::cin, "<stdin>", false);
        } else {
            std::ifstream in(file);
            if (!in) {
                std::cerr << "plinth-agent: " << file << ": cannot open: " << std::strerror(errno)
                          << std::endl;
                return false;
            }
            ok = session.run(in, file, false);
        }
        if (!ok) {
            break;
        }
    }
    return true;
}

// For tests that make the notification socket overflow on purpose.
std::size_t netlinkReceiveBuffer() {
    char const* text = std::getenv("PLINTH_NETLINK_RCVBUF");
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    auto bytes = PlinthAgent::Scenario::parseNumber(text, 1U << 30);
    if (!bytes) {
        fatal(std::string("PLINTH_NETLINK_RCVBUF: bad size '") + text + "'");
    }
    return *bytes;
}

int runLive(PlinthAgent::Host& host, Options const& options) {
    PlinthAgent::LiveOptions live{options.followKernel, options.follow, options.control,
                                  options.followKernel ? netlinkReceiveBuffer() : 0};
    Session session(host, options.keepGoing);
    int status = PlinthAgent::runLive(host, live, [&] {
        return runFiles(session, options.files) && (!session.hadError() || options.keepGoing);
    });
    return status == 0 && session.hadError() ? 2 : status;
}

int runScenarios(PlinthAgent::Host& host, Options const& options) {
    Session session(host, options.keepGoing);
    if (options.files.empty()) {
        bool const tty = isatty(STDIN_FILENO) != 0;
        session.run(std::cin, "<stdin>", tty);
        return session.hadError() && !tty ? 2 : 0;
    }
    if (!runFiles(session, options.files)) {
        return 2;
    }
    return session.hadError() ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = parseOptions(argc, argv);
    bool const live = options.followKernel || !options.control.empty();
    if (live) {
        PlinthAgent::Signals::block();
    }
    if (!options.ringFile.empty()) {
        try {
            Jotter::defaultHandleIs(options.ringFile, kRingBytes);
        } catch (std::exception const& e) {
            usageError(std::string("--ring-file: ") + e.what());
        }
    }
    std::optional<TempToggleDir> tempToggles;
    if (options.toggles.empty()) {
        options.toggles = tempToggles.emplace().path();
    } else if (!std::filesystem::is_directory(options.toggles)) {
        usageError("--toggles: '" + options.toggles + "' is not a directory");
    }
    if (options.plugin.empty()) {
        options.plugin = besideThisProgram("libPlinthL3MyStationMounter.so");
    }

    int status = 0;
    {
        PlinthAgent::Host host(options.plugin, options.toggles);
        status = live ? runLive(host, options) : runScenarios(host, options);
    }
    Jotter::defaultHandleDel();
    return status;
}
