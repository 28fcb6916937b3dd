#include "ControlServer.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>

#include "Applier.h"
#include "EventLoop.h"
#include "Scenario.h"

namespace PlinthAgent {

namespace {

// Connections the kernel may queue while the agent is busy with one command.
constexpr int kBacklog = 32;
constexpr std::size_t kReadChunk = 64 << 10;

sockaddr_un addressOf(std::string const& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        throw ControlError("--control: '" + path + "' is not a usable socket path (1 to " +
                           std::to_string(sizeof(address.sun_path) - 1) + " bytes)");
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

std::string failure(std::string const& path, char const* what) {
    return "--control: " + path + ": " + what + ": " + std::strerror(errno);
}

// Whether an agent answers at `path`: a socket file whose agent ended
// refuses the connection; one whose agent is busy may have a full queue.
bool answered(sockaddr_un const& address) {
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    return probe && (::connect(probe.get(), reinterpret_cast<sockaddr const*>(&address),
                               sizeof(address)) == 0 ||
                     errno == EAGAIN);
}

// Sends without waiting and without SIGPIPE; what does not fit stays.
// False when the peer is gone.
bool sendSome(int fd, std::string& data) {
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) {
            return n < 0 && (errno == EAGAIN || errno == EINTR);
        }
        data.erase(0, static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

ControlServer::ControlServer(std::string path, Applier& applier, EventLoop& loop)
    : path_(std::move(path)), applier_(applier), loop_(loop) {
    bindListener();
    loop_.add(listener_.get(), POLLIN, [this](short) { accept(); });
}

ControlServer::~ControlServer() {
    for (auto& [fd, client] : clients_) {
        loop_.remove(fd);
    }
    loop_.remove(listener_.get());
    struct stat st {};
    // Only the file this agent made: another may have replaced it since.
    if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_) {
        ::unlink(path_.c_str());
    }
}

void ControlServer::refuseIfInUse(std::string const& path) {
    if (answered(addressOf(path))) {
        throw ControlError("--control: " + path + " is already in use by a running agent");
    }
}

void ControlServer::bindListener() {
    sockaddr_un const address = addressOf(path_);
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener_) {
        throw ControlError(failure(path_, "cannot make a socket"));
    }
    auto const bindPrivate = [&] {
        // Made 0600 from the start: no moment in which others may connect.
        mode_t const old = ::umask(0177);
        int rc =
            ::bind(listener_.get(), reinterpret_cast<sockaddr const*>(&address), sizeof(address));
        ::umask(old);
        return rc == 0;
    };
    if (!bindPrivate()) {
        struct stat st {};
        if (errno != EADDRINUSE) {
            throw ControlError(failure(path_, "cannot bind"));
        }
        refuseIfInUse(path_);
        if (::lstat(path_.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
            throw ControlError("--control: " + path_ + " exists and is not a socket");
        }
        if (::unlink(path_.c_str()) != 0 || !bindPrivate()) {
            throw ControlError(failure(path_, "cannot replace the stale socket"));
        }
    }
    struct stat st {};
    ::lstat(path_.c_str(), &st);
    device_ = st.st_dev;
    inode_ = st.st_ino;
    if (::listen(listener_.get(), kBacklog) != 0) {
        std::string const message = failure(path_, "cannot listen");
        ::unlink(path_.c_str());
        throw ControlError(message);
    }
}

void ControlServer::accept() {
    while (true) {
        int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors: stop watching rather than spin until
                // a client leaves.
                loop_.watch(listener_.get(), 0);
            }
            return;
        }
        if (admit(fd)) {
            auto& client = clients_[fd];
            client.fd.reset(fd);
            loop_.add(fd, POLLIN, [this, &client](short revents) { service(client, revents); });
        }
    }
}

// Refuses, with a word, a peer of another user or one client too many.
bool ControlServer::admit(int fd) {
    UniqueFd owned(fd);
    std::string refusal;
    ucred peer{};
    socklen_t size = sizeof(peer);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
        (peer.uid != 0 && peer.uid != ::geteuid())) {
        std::cerr << "plinth-agent: warning: control: refused a client of user " << peer.uid
                  << " (process " << peer.pid << ")" << std::endl;
        refusal = "error: permission denied\n";
    } else if (clients_.size() >= kMaxClients) {
        refusal = "error: too many clients\n";
    } else {
        owned.release();
        return true;
    }
    sendSome(fd, refusal);
    return false;
}

void ControlServer::service(Client& client, short revents) {
    if (!client.closing && (revents & ~POLLOUT) != 0) {
        readable(client);
    }
    bool const there = sendSome(client.fd.get(), client.out) && (revents & POLLHUP) == 0;
    if (client.closing && (client.out.empty() || !there)) {
        drop(client, nullptr);
    } else if (client.out.size() > kMaxUnread) {
        drop(client, "left more than 1 MiB of answers unread");
    } else {
        // Watched for output only while output waits, and for input only
        // while it may still ask.
        loop_.watch(client.fd.get(), static_cast<short>((client.closing ? 0 : POLLIN) |
                                                        (client.out.empty() ? 0 : POLLOUT)));
    }
}

void ControlServer::readable(Client& client) {
    char chunk[kReadChunk];
    // Read no more than one line's worth past the limit: a client that
    // never ends its line cannot make the agent hold more.
    bool ended = false;
    while (client.in.size() <= kMaxLine) {
        ssize_t n = ::recv(client.fd.get(), chunk, sizeof(chunk), MSG_DONTWAIT);
        if (n > 0) {
            client.in.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            client.closing = true;  // gone, or half-closed: it asks nothing more
            ended = n == 0;
        }
        break;
    }
    std::size_t start = 0;
    for (std::size_t end; (end = client.in.find('\n', start)) != client.in.npos; start = end + 1) {
        if (end - start > kMaxLine) {
            break;
        }
        answer(client, std::string_view(client.in).substr(start, end - start));
    }
    client.in.erase(0, start);
    if (client.in.size() > kMaxLine) {
        client.out += "error: line too long\n";
        client.closing = true;
    } else if (ended && !client.in.empty()) {
        // A last line without its newline, as a file's last line may be.
        answer(client, client.in);
        client.in.clear();
    }
}

void ControlServer::answer(Client& client, std::string_view line) {
    std::ostringstream shown;
    try {
        if (auto command = Scenario::parseLine(line)) {
            for (auto const& failure : applier_.apply(*command, Origin::control, shown)) {
                shown << "warning: mount completion failed: " << failure << '\n';
            }
        }
        client.out += shown.str();
        client.out += "ok\n";
    } catch (std::exception const& e) {
        client.out += "error: ";
        client.out += e.what();
        client.out += '\n';
    }
}

void ControlServer::drop(Client& client, char const* why) {
    int const fd = client.fd.get();
    if (why != nullptr) {
        std::cerr << "plinth-agent: warning: control: dropped a client that " << why << std::endl;
    }
    loop_.remove(fd);
    clients_.erase(fd);
    loop_.watch(listener_.get(), POLLIN);  // a descriptor is free again
}

}  // namespace PlinthAgent
