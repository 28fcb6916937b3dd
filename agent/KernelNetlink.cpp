#include "KernelNetlink.h"

#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace PlinthAgent::Kernel {

namespace {

// Big enough that a burst of some thousand links fits without loss; root
// may exceed the system's cap with SO_RCVBUFFORCE.
constexpr int kDefaultReceiveBuffer = 16 << 20;
// Dump replies fill at most this much per read.
constexpr std::size_t kReadBuffer = 64 << 10;

std::string systemError(std::string const& what) {
    return what + ": " + std::strerror(errno);
}

// Attributes of one message or nest, by type; unknown types are skipped.
template <std::size_t N>
struct Attributes {
    std::array<nlattr const*, N + 1> at{};

    static int collect(nlattr const* attr, void* data) {
        auto* self = static_cast<Attributes*>(data);
        auto const type = mnl_attr_get_type(attr);
        if (type <= N && mnl_attr_type_valid(attr, N) > 0) {
            self->at[type] = attr;
        }
        return MNL_CB_OK;
    }
    nlattr const* operator[](std::size_t type) const { return at[type]; }
};

bool payloadHas(nlattr const* attr, std::size_t size) {
    return attr != nullptr && mnl_attr_get_payload_len(attr) >= size;
}

std::optional<std::uint16_t> vlanIdOf(nlattr const* linkInfo) {
    Attributes<IFLA_INFO_MAX> info;
    mnl_attr_parse_nested(linkInfo, &Attributes<IFLA_INFO_MAX>::collect, &info);
    if (info[IFLA_INFO_KIND] == nullptr || info[IFLA_INFO_DATA] == nullptr ||
        std::strcmp(mnl_attr_get_str(info[IFLA_INFO_KIND]), "vlan") != 0) {
        return std::nullopt;
    }
    Attributes<IFLA_VLAN_MAX> data;
    mnl_attr_parse_nested(info[IFLA_INFO_DATA], &Attributes<IFLA_VLAN_MAX>::collect, &data);
    if (!payloadHas(data[IFLA_VLAN_ID], sizeof(std::uint16_t))) {
        return std::nullopt;
    }
    return mnl_attr_get_u16(data[IFLA_VLAN_ID]);
}

Link linkOf(nlmsghdr const* nlh, ifinfomsg const* ifi) {
    Attributes<IFLA_MAX> a;
    mnl_attr_parse(nlh, sizeof(*ifi), &Attributes<IFLA_MAX>::collect, &a);
    Link link;
    link.index = ifi->ifi_index;
    link.loopback = (ifi->ifi_flags & IFF_LOOPBACK) != 0 || ifi->ifi_type == ARPHRD_LOOPBACK;
    link.adminUp = (ifi->ifi_flags & IFF_UP) != 0;
    if (a[IFLA_IFNAME] != nullptr) {
        auto const* name = static_cast<char const*>(mnl_attr_get_payload(a[IFLA_IFNAME]));
        link.name.assign(name, strnlen(name, mnl_attr_get_payload_len(a[IFLA_IFNAME])));
    }
    if (a[IFLA_ADDRESS] != nullptr && mnl_attr_get_payload_len(a[IFLA_ADDRESS]) == 6) {
        link.mac = Pakt::EthAddr::fromBytes(
            static_cast<std::uint8_t const*>(mnl_attr_get_payload(a[IFLA_ADDRESS])));
    }
    if (payloadHas(a[IFLA_OPERSTATE], 1)) {
        link.operState = static_cast<OperState>(mnl_attr_get_u8(a[IFLA_OPERSTATE]));
    }
    link.protodown = payloadHas(a[IFLA_PROTO_DOWN], 1) && mnl_attr_get_u8(a[IFLA_PROTO_DOWN]) != 0;
    // A lower link in another namespace has an index that means nothing here.
    if (payloadHas(a[IFLA_LINK], 4) && a[IFLA_LINK_NETNSID] == nullptr) {
        link.lowerIndex = static_cast<int>(mnl_attr_get_u32(a[IFLA_LINK]));
    }
    if (a[IFLA_LINKINFO] != nullptr) {
        link.vlanId = vlanIdOf(a[IFLA_LINKINFO]);
    }
    return link;
}

std::optional<Address> addressOf(nlmsghdr const* nlh, ifaddrmsg const* ifa) {
    Attributes<IFA_MAX> a;
    mnl_attr_parse(nlh, sizeof(*ifa), &Attributes<IFA_MAX>::collect, &a);
    // IFA_LOCAL is the interface's own address; IFA_ADDRESS is the peer's on
    // point-to-point links and the same otherwise.
    nlattr const* attr = a[IFA_LOCAL] != nullptr ? a[IFA_LOCAL] : a[IFA_ADDRESS];
    if (attr == nullptr) {
        return std::nullopt;
    }
    Address address{static_cast<int>(ifa->ifa_index), ifa->ifa_family, ifa->ifa_prefixlen, {}};
    std::memcpy(address.bytes.data(), mnl_attr_get_payload(attr),
                std::min<std::size_t>(mnl_attr_get_payload_len(attr), address.bytes.size()));
    return address;
}

int applyMessage(nlmsghdr const* nlh, void* data) {
    auto& facts = *static_cast<Facts*>(data);
    switch (nlh->nlmsg_type) {
        case RTM_NEWLINK:
        case RTM_DELLINK: {
            if (nlh->nlmsg_len < mnl_nlmsg_size(sizeof(ifinfomsg))) {
                break;
            }
            auto const* ifi = static_cast<ifinfomsg const*>(mnl_nlmsg_get_payload(nlh));
            // Bridge port messages come with AF_BRIDGE; a DELLINK among them
            // means the port left its bridge, not that the link went away.
            if (ifi->ifi_family != AF_UNSPEC) {
                break;
            }
            if (nlh->nlmsg_type == RTM_DELLINK) {
                facts.linkDel(ifi->ifi_index);
            } else {
                facts.linkIs(linkOf(nlh, ifi));
            }
            break;
        }
        case RTM_NEWADDR:
        case RTM_DELADDR: {
            if (nlh->nlmsg_len < mnl_nlmsg_size(sizeof(ifaddrmsg))) {
                break;
            }
            auto const* ifa = static_cast<ifaddrmsg const*>(mnl_nlmsg_get_payload(nlh));
            if (auto address = addressOf(nlh, ifa)) {
                nlh->nlmsg_type == RTM_NEWADDR ? facts.addressIs(std::move(*address))
                                               : facts.addressDel(*address);
            }
            break;
        }
        default:
            break;
    }
    return MNL_CB_OK;
}

mnl_socket* openSocket(unsigned groups) {
    mnl_socket* nl = mnl_socket_open2(NETLINK_ROUTE, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (nl == nullptr) {
        throw NetlinkError(systemError("cannot open a netlink socket"));
    }
    if (mnl_socket_bind(nl, groups, MNL_SOCKET_AUTOPID) < 0) {
        std::string message = systemError("cannot bind a netlink socket");
        mnl_socket_close(nl);
        throw NetlinkError(message);
    }
    return nl;
}

void sizeReceiveBuffer(mnl_socket* nl, std::size_t bytes) {
    int size = bytes == 0 ? kDefaultReceiveBuffer : static_cast<int>(bytes);
    if (setsockopt(mnl_socket_get_fd(nl), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) < 0) {
        // Without CAP_NET_ADMIN the system's cap applies; lost notifications
        // are recovered by a full re-read anyway.
        setsockopt(mnl_socket_get_fd(nl), SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
}

// Reads from a non-blocking socket, waiting for data when there is none.
ssize_t receive(mnl_socket* nl, void* buffer, std::size_t size) {
    while (true) {
        ssize_t n = mnl_socket_recvfrom(nl, buffer, size);
        if (n >= 0 || (errno != EAGAIN && errno != EINTR)) {
            return n;
        }
        pollfd p{mnl_socket_get_fd(nl), POLLIN, 0};
        ::poll(&p, 1, 1000);
    }
}

}  // namespace

Netlink::Netlink(std::size_t receiveBuffer) {
    events_ = openSocket(RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR);
    try {
        sizeReceiveBuffer(events_, receiveBuffer);
        queries_ = openSocket(0);
    } catch (...) {
        mnl_socket_close(events_);
        throw;
    }
}

Netlink::~Netlink() {
    if (queries_ != nullptr) {
        mnl_socket_close(queries_);
    }
    mnl_socket_close(events_);
}

int Netlink::fd() const {
    return mnl_socket_get_fd(events_);
}

Facts Netlink::dump() {
    // A dump that the kernel marks interrupted may have missed entries that
    // did not change (and so will not be notified): read it again, on a
    // fresh socket so that the rest of the broken reply goes with the old.
    while (true) {
        Facts facts;
        if (dumpRequest(RTM_GETLINK, facts) && dumpRequest(RTM_GETADDR, facts)) {
            return facts;
        }
        mnl_socket_close(queries_);
        queries_ = nullptr;
        queries_ = openSocket(0);
    }
}

bool Netlink::dumpRequest(int type, Facts& facts) {
    std::vector<char> buffer(kReadBuffer);
    nlmsghdr* nlh = mnl_nlmsg_put_header(buffer.data());
    nlh->nlmsg_type = static_cast<std::uint16_t>(type);
    nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    nlh->nlmsg_seq = ++sequence_;
    // Both requests start with the family byte; AF_UNSPEC asks for all.
    auto* family = static_cast<rtgenmsg*>(mnl_nlmsg_put_extra_header(
        nlh, type == RTM_GETLINK ? sizeof(ifinfomsg) : sizeof(ifaddrmsg)));
    family->rtgen_family = AF_UNSPEC;
    if (mnl_socket_sendto(queries_, nlh, nlh->nlmsg_len) < 0) {
        throw NetlinkError(systemError("cannot ask the kernel for its links and addresses"));
    }
    unsigned const portId = mnl_socket_get_portid(queries_);
    int status = MNL_CB_OK;
    while (status > MNL_CB_STOP) {
        ssize_t n = receive(queries_, buffer.data(), buffer.size());
        if (n < 0) {
            throw NetlinkError(systemError("cannot read the kernel's links and addresses"));
        }
        status = mnl_cb_run(buffer.data(), static_cast<std::size_t>(n), sequence_, portId,
                            applyMessage, &facts);
        if (status == MNL_CB_ERROR) {
            if (errno == EINTR) {
                return false;
            }
            throw NetlinkError(systemError("the kernel refused to list its links and addresses"));
        }
    }
    return true;
}

// The kernel reports lost notifications before what is still queued, and
// that predates the loss: applied after the full read that follows, a queued
// arrival would bring back a link whose removal was among the lost.
void Netlink::discardQueued(std::vector<char>& buffer) {
    while (mnl_socket_recvfrom(events_, buffer.data(), buffer.size()) >= 0 || errno == EINTR ||
           errno == ENOBUFS) {
    }
}

bool Netlink::drain(Facts& facts) {
    std::vector<char> buffer(kReadBuffer);
    while (true) {
        ssize_t n = mnl_socket_recvfrom(events_, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                return true;
            }
            if (errno == ENOBUFS) {
                discardQueued(buffer);
                return false;
            }
            throw NetlinkError(systemError("cannot read kernel notifications"));
        }
        mnl_cb_run(buffer.data(), static_cast<std::size_t>(n), 0, 0, applyMessage, &facts);
    }
}

}  // namespace PlinthAgent::Kernel
