#pragma once

#include <cstddef>
#include <stdexcept>
#include <vector>

#include "KernelFacts.h"

struct mnl_socket;

// The rtnetlink side of following the kernel: reads links and addresses,
// and applies their change notifications to Facts. Reads only.
namespace PlinthAgent::Kernel {

// The kernel cannot be read (no netlink, no permission, a broken reply).
class NetlinkError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Netlink {
  public:
    // Subscribes to link and address notifications at once, so that a change
    // made while the caller dumps is queued rather than missed.
    // `receiveBuffer` sizes the notification socket (0: a large default).
    explicit Netlink(std::size_t receiveBuffer = 0);
    ~Netlink();
    Netlink(Netlink const&) = delete;
    Netlink& operator=(Netlink const&) = delete;

    // The notification socket, to poll for reading.
    int fd() const;
    // Every link and address as they stand, read on a socket of its own.
    Facts dump();
    // Applies every queued notification to `facts` without blocking. False
    // when the kernel dropped some because the socket overflowed: what was
    // still queued is thrown away too, and the caller starts again from
    // dump().
    bool drain(Facts& facts);

  private:
    void discardQueued(std::vector<char>& buffer);
    // False when the kernel marked the reply interrupted.
    bool dumpRequest(int type, Facts& facts);

    mnl_socket* events_ = nullptr;
    mnl_socket* queries_ = nullptr;
    unsigned sequence_ = 0;
};

}  // namespace PlinthAgent::Kernel
