#pragma once

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

#include "UniqueFd.h"

namespace PlinthAgent {

class Applier;
class EventLoop;

// The control socket cannot be made; the message names the path.
class ControlError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Serves the control socket: each client line is a scenario line, applied
// through the Applier, answered with its output and `ok` or `error: ...`.
// Every descriptor is one more entry in the agent's one loop; no client is
// ever waited on.
class ControlServer {
  public:
    // Enough for a few operators and their scripts; the next is told so.
    static constexpr std::size_t kMaxClients = 16;
    // Far longer than any command; a longer line is not one.
    static constexpr std::size_t kMaxLine = 4096;
    // Answers a client leaves unread beyond this mean it is not reading;
    // holding more would let it grow the agent without bound.
    static constexpr std::size_t kMaxUnread = 1 << 20;

    // Listens at `path`, created 0600, replacing a socket file that no
    // agent answers. `applier` and `loop` are borrowed and must outlive
    // the server. Throws ControlError.
    ControlServer(std::string path, Applier& applier, EventLoop& loop);
    // Closes every client and removes the socket file.
    ~ControlServer();
    // Throws ControlError when an agent answers at `path`: checked before
    // anything else is set up, so that a refused agent touches nothing.
    static void refuseIfInUse(std::string const& path);
    ControlServer(ControlServer const&) = delete;
    ControlServer& operator=(ControlServer const&) = delete;

  private:
    struct Client {
        UniqueFd fd;
        std::string in, out;
        bool closing = false;  // asks nothing more: goes once its answers are sent
    };

    void bindListener();
    void accept();
    bool admit(int fd);
    void service(Client& client, short revents);
    void readable(Client& client);
    void answer(Client& client, std::string_view line);
    void drop(Client& client, char const* why);

    std::string path_;
    Applier& applier_;
    EventLoop& loop_;
    UniqueFd listener_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::map<int, Client> clients_;
};

}  // namespace PlinthAgent
