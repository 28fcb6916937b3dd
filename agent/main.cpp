// plinth-agent: stands in for the switch's forwarding agent. Loads the My
// Station plug-in and drives it from scenario files.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "Host.h"
#include "Jotter/RingBuf.h"
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
    "  --help, --version\n";

constexpr std::size_t kRingBytes = 4U << 20;

struct Options {
    std::string plugin;
    std::string toggles;
    std::string ringFile;
    bool keepGoing = false;
    std::vector<std::string> files;
};

[[noreturn]] void usageError(std::string const& message) {
    std::cerr << "plinth-agent: " << message << "\n" << kUsage;
    std::exit(2);
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
        } else if (arg.size() > 1 && arg[0] == '-') {
            usageError("unknown option '" + arg + "'");
        } else {
            o.files.push_back(arg);
        }
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

}  // namespace

int main(int argc, char** argv) {
    Options options = parseOptions(argc, argv);
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
        Session session(host, options.keepGoing);
        if (options.files.empty()) {
            bool const tty = isatty(STDIN_FILENO) != 0;
            session.run(std::cin, "<stdin>", tty);
            status = session.hadError() && !tty ? 2 : 0;
        } else {
            for (auto const& file : options.files) {
                bool ok;
                if (file == "-") {
                    ok = session.run(std::cin, "<stdin>", false);
                } else {
                    std::ifstream in(file);
                    if (!in) {
                        std::cerr << "plinth-agent: " << file
                                  << ": cannot open: " << std::strerror(errno) << std::endl;
                        status = 2;
                        break;
                    }
                    ok = session.run(in, file, false);
                }
                if (!ok) {
                    break;
                }
            }
            if (session.hadError()) {
                status = 2;
            }
        }
    }
    Jotter::defaultHandleDel();
    return status;
}
