#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>

// The agent's one thread waits here: on the kernel's notifications, its
// signals, the control socket and each control client, in one poll.
namespace PlinthAgent {

class EventLoop {
  public:
    // Called with the poll events that came; may add, watch or remove any
    // descriptor, its own included, and may stop the loop.
    using Handler = std::function<void(short revents)>;

    // Watches `fd` (borrowed: the caller closes it after remove()).
    void add(int fd, short events, Handler handler);
    void watch(int fd, short events);
    void remove(int fd);

    // Runs until stop() or until `duration` has passed.
    void run(std::optional<std::chrono::milliseconds> duration = std::nullopt);
    void stop() { stopped_ = true; }

  private:
    struct Entry {
        short events;
        Handler handler;
        // Tells a descriptor number reused within one pass from the one polled.
        std::uint64_t serial;
    };
    std::map<int, Entry> entries_;
    std::uint64_t serial_ = 0;
    bool stopped_ = false;
};

}  // namespace PlinthAgent
