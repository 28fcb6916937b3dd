// plinth-ctl: sends scenario lines to a running plinth-agent's control
// socket and prints its answers.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

#include "UniqueFd.h"

namespace {

constexpr char const* kDefaultPath = "/run/plinth-agent.sock";
constexpr char const* kUsage =
    "usage: plinth-ctl [--control PATH] [COMMAND ...]\n"
    "Sends COMMAND as one scenario line to a running plinth-agent (with none, each\n"
    "line of standard input) and prints the answers. Exit status: 0 when every\n"
    "line was ok, 2 when one was an error, 1 when the agent cannot be reached.\n"
    "  --control PATH  the agent's control socket (default /run/plinth-agent.sock)\n";

enum Status { kOk = 0, kUnreachable = 1, kError = 2 };

class Connection {
  public:
    explicit Connection(std::string const& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof(address.sun_path)) {
            errno = ENAMETOOLONG;
            return;
        }
        std::memcpy(address.sun_path, path.data(), path.size());
        fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd_ &&
            ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            fd_.reset();
        }
    }
    bool connected() const { return static_cast<bool>(fd_); }

    // Sends `line` and prints the answer up to its last line, `ok` or
    // `error: ...`, the error on standard error.
    Status ask(std::string line) {
        line += '\n';
        for (std::size_t sent = 0; sent < line.size();) {
            ssize_t n = ::send(fd_.get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
            if (n < 0) {
                break;  // a refusal may already wait to be read
            }
            sent += static_cast<std::size_t>(n);
        }
        for (std::string answer; readLine(answer);) {
            if (answer == "ok") {
                return kOk;
            }
            if (answer.starts_with("error: ")) {
                std::cerr << "plinth-ctl: " << answer << std::endl;
                return kError;
            }
            std::cout << answer << '\n';
        }
        // Connected, the line got no `ok`: the agent refused the client (a
        // line too long, answers left unread) or went away.
        std::cerr << "plinth-ctl: the agent closed the connection" << std::endl;
        fd_.reset();
        return kError;
    }

  private:
    bool readLine(std::string& line) {
        while (true) {
            if (auto end = buffer_.find('\n'); end != std::string::npos) {
                line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return true;
            }
            char chunk[4096];
            ssize_t n = ::recv(fd_.get(), chunk, sizeof(chunk), 0);
            if (n <= 0 && !(n < 0 && errno == EINTR)) {
                return false;
            }
            buffer_.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
    }

    PlinthAgent::UniqueFd fd_;
    std::string buffer_;
};

}  // namespace

int main(int argc, char** argv) {
    std::string path = kDefaultPath;
    std::string command;
    int i = 1;
    for (; i < argc; ++i) {
        std::string const arg = argv[i];
        if (arg == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--control") {
            if (i + 1 == argc) {
                std::cerr << "plinth-ctl: error: --control needs a value\n" << kUsage;
                return kError;
            }
            path = argv[++i];
        } else if (arg.starts_with("--control=")) {
            path = arg.substr(10);
        } else if (arg == "--") {
            ++i;
            break;
        } else if (arg.starts_with("--")) {
            std::cerr << "plinth-ctl: error: unknown option '" << arg << "'\n" << kUsage;
            return kError;
        } else {
            break;
        }
    }
    for (; i < argc; ++i) {
        // Sent as it is, a newline would make several lines of one command,
        // and the exit status would speak of the first only.
        if (std::strchr(argv[i], '\n') != nullptr) {
            std::cerr << "plinth-ctl: error: argument " << i
                      << " holds a newline: a command is one line\n";
            return kError;
        }
        command += (command.empty() ? "" : " ") + std::string(argv[i]);
    }
    Connection agent(path);
    if (!agent.connected()) {
        std::cerr << "plinth-ctl: cannot reach the agent at " << path << ": "
                  << std::strerror(errno) << std::endl;
        return kUnreachable;
    }
    if (!command.empty()) {
        return agent.ask(command);
    }
    bool const tty = isatty(STDIN_FILENO) != 0;
    int status = kOk;
    std::string line;
    while ((!tty || std::cout << "plinth> " << std::flush) && std::getline(std::cin, line)) {
        status = std::max<int>(status, agent.ask(line));
        if (!agent.connected()) {
            break;
        }
    }
    if (tty) {
        std::cout << '\n';
    }
    return status;
}
