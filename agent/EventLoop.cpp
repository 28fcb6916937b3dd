#include "EventLoop.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace PlinthAgent {

void EventLoop::add(int fd, short events, Handler handler) {
    entries_.insert_or_assign(fd, Entry{events, std::move(handler), ++serial_});
}

void EventLoop::watch(int fd, short events) {
    if (auto it = entries_.find(fd); it != entries_.end()) {
        it->second.events = events;
    }
}

void EventLoop::remove(int fd) {
    entries_.erase(fd);
}

void EventLoop::run(std::optional<std::chrono::milliseconds> duration) {
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> const end =
        duration ? std::optional(Clock::now() + *duration) : std::nullopt;
    stopped_ = false;
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> serials;
    while (!stopped_) {
        int timeout = -1;
        if (end) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*end - Clock::now());
            if (left.count() <= 0) {
                return;
            }
            timeout = static_cast<int>(left.count());
        }
        // Built afresh each pass: handlers change the set as they run.
        fds.clear();
        serials.clear();
        for (auto const& [fd, entry] : entries_) {
            fds.push_back({fd, entry.events, 0});
            serials.push_back(entry.serial);
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error(std::string("cannot wait for events: ") +
                                     std::strerror(errno));
        }
        for (std::size_t i = 0; i < fds.size() && !stopped_; ++i) {
            auto it = entries_.find(fds[i].fd);
            if (fds[i].revents == 0 || it == entries_.end() || it->second.serial != serials[i]) {
                continue;
            }
            // A copy: the handler may remove its own entry.
            Handler handler = it->second.handler;
            handler(fds[i].revents);
        }
    }
}

}  // namespace PlinthAgent
