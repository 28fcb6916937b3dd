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
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ControlServer.h"
#include "Datapath.h"
#include "Host.h"
#include "Jotter/RingBuf.h"
#include "Live.h"
#include "Options.h"
#include "Signals.h"
#include "Toggle/Toggle.h"

namespace {

using PlinthAgent::Options;

constexpr std::size_t kRingBytes = 4U << 20;

// The status for an error that ends the run.
int error(std::string const& message) {
    std::cout.flush();
    std::cerr << "plinth-agent: error: " << message << std::endl;
    return 2;
}

[[noreturn]] void fatal(std::string const& message) {
    std::exit(error(message));
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
            fatal(std::string("cannot make a toggle directory: ") + std::strerror(errno));
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

// A scenario file, opened before any runs; `in` stays closed for "-"
// (standard input).
struct ScenarioFile {
    std::string name;
    std::ifstream in;
};

// Opens every scenario file before any runs, so that a bad one ends the run
// before anything is applied and before --record empties a file; the error
// that names the file when one cannot be used (a directory would otherwise
// read as an empty file).
std::optional<std::string> scenariosOpen(Options const& options,
                                         std::vector<ScenarioFile>& opened) {
    std::string const& record = options.follow.recordFile;
    for (auto const& file : options.files) {
        std::ifstream& in = opened.emplace_back(ScenarioFile{file, std::ifstream()}).in;
        if (file == "-") {
            continue;
        }
        std::error_code ec;
        if (std::filesystem::is_directory(file, ec)) {
            errno = EISDIR;
        } else {
            in.open(file);
        }
        if (!in.is_open()) {
            return file + ": cannot open: " + std::strerror(errno);
        }
        if (!record.empty() && std::filesystem::equivalent(record, file, ec)) {
            return "--record: " + record + " is also a scenario file";
        }
    }
    return std::nullopt;
}

// Runs the scenario files in order, until a bad line stops the run.
void runFiles(Session& session, std::vector<ScenarioFile>& files, std::istream& standardInput) {
    for (auto& [name, in] : files) {
        if (!(name == "-" ? session.run(standardInput, "<stdin>", false)
                          : session.run(in, name, false))) {
            break;
        }
    }
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

int runLive(PlinthAgent::Host& host, Options const& options, std::vector<ScenarioFile>& files) {
    PlinthAgent::LiveOptions live{options.followKernel, options.follow, options.control,
                                  options.followKernel ? netlinkReceiveBuffer() : 0};
    Session session(host, options.keepGoing);
    int status = PlinthAgent::runLive(host, live, [&](std::istream& standardInput) {
        runFiles(session, files, standardInput);
        return !session.hadError() || options.keepGoing;
    });
    return status == 0 && session.hadError() ? 2 : status;
}

int runScenarios(PlinthAgent::Host& host, Options const& options,
                 std::vector<ScenarioFile>& files) {
    Session session(host, options.keepGoing);
    if (options.files.empty()) {
        // At a terminal a bad line does not end the session, but it still
        // counts in the exit status.
        session.run(std::cin, "<stdin>", isatty(STDIN_FILENO) != 0);
    } else {
        runFiles(session, files, std::cin);
    }
    return session.hadError() ? 2 : 0;
}

// --datapath: attached before any scenario runs, so that a port it cannot
// use ends the run before anything is applied. Null without --datapath.
std::unique_ptr<PlinthAgent::TableDatapath> datapathMade(Options const& options) {
    namespace D = PlinthAgent::Datapath;
    if (options.datapathPorts.empty()) {
        return nullptr;
    }
    D::Options const made{options.datapathPorts,
                          options.datapathPin.empty() ? D::kDefaultPinDir : options.datapathPin,
                          options.follow.settings.vlans};
    if (options.datapathRemove) {
        D::remove(made);
        return nullptr;
    }
    return std::make_unique<D::EbpfDatapath>(made, [](std::string const& warning) {
        std::cerr << "plinth-agent: warning: " << warning << std::endl;
    });
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = PlinthAgent::parseOptions(argc, argv);
    } catch (PlinthAgent::UsageError const& e) {
        return error(e.what());
    }
    if (options.help) {
        std::cout << PlinthAgent::kUsage;
        return 0;
    }
    if (options.version) {
        std::cout << "plinth-agent 0.1.0\n";
        return 0;
    }
    if (options.live()) {
        PlinthAgent::Signals::block();
    }
    std::optional<TempToggleDir> tempToggles;
    if (options.toggles.empty()) {
        options.toggles = tempToggles.emplace().path();
    } else if (!std::filesystem::is_directory(options.toggles)) {
        return error("--toggles: '" + options.toggles + "' is not a directory");
    }
    std::vector<ScenarioFile> scenarios;
    if (auto refused = scenariosOpen(options, scenarios)) {
        return error(*refused);
    }
    if (!options.control.empty()) {
        try {
            PlinthAgent::ControlServer::refuseIfInUse(options.control);
        } catch (PlinthAgent::ControlError const& e) {
            return error(e.what());
        }
    }
    // Restarting the ring empties it: only after the checks above.
    if (!options.ringFile.empty()) {
        try {
            Jotter::defaultHandleIs(options.ringFile, kRingBytes);
        } catch (std::exception const& e) {
            return error(std::string("--ring-file: ") + e.what());
        }
    }
    if (options.plugin.empty()) {
        options.plugin = besideThisProgram("libPlinthL3MyStationMounter.so");
    }

    std::unique_ptr<PlinthAgent::TableDatapath> datapath;
    try {
        datapath = datapathMade(options);
    } catch (PlinthAgent::Datapath::Error const& e) {
        return error(std::string(options.datapathRemove ? "--datapath-remove: " : "--datapath: ") +
                     e.what());
    }
    if (options.datapathRemove) {
        return 0;
    }
    int status = 0;
    {
        PlinthAgent::Host host(options.plugin, options.toggles);
        host.datapathIs(datapath.get());
        status = options.live() ? runLive(host, options, scenarios)
                                : runScenarios(host, options, scenarios);
    }
    Jotter::defaultHandleDel();
    return status;
}
