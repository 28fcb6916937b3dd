#include "Ports.h"

#include <bpf/libbpf.h>
#include <libmnl/libmnl.h>
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "DatapathMaps.h"
#include "DatapathTrace.h"
#include "KernelTranslator.h"
#include "PerCpu.h"
#include "Program.h"

namespace PlinthAgent::Datapath {

namespace {

// Our filter's handle and priority, the same for every agent: a new agent
// replaces its predecessor's filter and nobody else's.
constexpr std::uint32_t kFilterHandle = 0x706c;
constexpr std::uint32_t kFilterPriority = 0x706c;

bpf_tc_hook ingressHook(int ifindex) {
    bpf_tc_hook hook{};
    hook.sz = sizeof hook;
    hook.ifindex = ifindex;
    hook.attach_point = BPF_TC_INGRESS;
    return hook;
}

bpf_tc_opts ourFilter() {
    bpf_tc_opts opts{};
    opts.sz = sizeof opts;
    opts.handle = kFilterHandle;
    opts.priority = kFilterPriority;
    return opts;
}

// Removes the whole clsact qdisc (ingress alone would flush every ingress
// filter instead, others' included).
void qdiscRemove(int ifindex) {
    bpf_tc_hook hook = ingressHook(ifindex);
    hook.attach_point = static_cast<bpf_tc_attach_point>(BPF_TC_INGRESS | BPF_TC_EGRESS);
    bpf_tc_hook_destroy(&hook);
}

struct MnlClose {
    void operator()(mnl_socket* socket) const { mnl_socket_close(socket); }
};

int countMessage(nlmsghdr const* nlh, void* count) {
    if (nlh->nlmsg_type == RTM_NEWTFILTER) {
        ++*static_cast<int*>(count);
    }
    return MNL_CB_OK;
}

// The filters on one side of the port's clsact qdisc; -1 when they cannot
// be listed.
int filterCount(int ifindex, std::uint32_t parent) {
    std::unique_ptr<mnl_socket, MnlClose> socket(mnl_socket_open(NETLINK_ROUTE));
    if (!socket || mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) < 0) {
        return -1;
    }
    std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr* nlh = mnl_nlmsg_put_header(buffer.data());
    nlh->nlmsg_type = RTM_GETTFILTER;
    nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    nlh->nlmsg_seq = static_cast<unsigned>(std::time(nullptr));
    auto* tc = static_cast<tcmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(tcmsg)));
    tc->tcm_family = AF_UNSPEC;
    tc->tcm_ifindex = ifindex;
    tc->tcm_parent = parent;
    unsigned const seq = nlh->nlmsg_seq, portId = mnl_socket_get_portid(socket.get());
    if (mnl_socket_sendto(socket.get(), nlh, nlh->nlmsg_len) < 0) {
        return -1;
    }
    int count = 0;
    for (int status = MNL_CB_OK; status > MNL_CB_STOP;) {
        ssize_t const n = mnl_socket_recvfrom(socket.get(), buffer.data(), buffer.size());
        if (n <= 0) {
            return -1;
        }
        status = mnl_cb_run(buffer.data(), n, seq, portId, countMessage, &count);
        if (status == MNL_CB_ERROR) {
            return -1;
        }
    }
    return count;
}

bool clsactHasFilters(int ifindex) {
    for (std::uint32_t side : {TC_H_MIN_INGRESS, TC_H_MIN_EGRESS}) {
        if (filterCount(ifindex, TC_H_MAKE(TC_H_CLSACT, side)) != 0) {
            return true;  // including "cannot tell": then the qdisc stays
        }
    }
    return false;
}

std::vector<port_value> portRecord(int portsFd, std::uint32_t slot) {
    return portsFd < 0 ? std::vector<port_value>{} : perCpuRead<port_value>(portsFd, &slot);
}

// The slot holding `ifindex`, else (with `orFree`) the first free one; -1
// when there is none.
std::int64_t slotOf(int portsFd, int ifindex, bool orFree) {
    std::int64_t free = -1;
    for (std::uint32_t slot = 0; portsFd >= 0 && slot < kMaxPorts; ++slot) {
        auto const record = portRecord(portsFd, slot);
        auto const holds = record.empty() ? 0 : record[0].ifindex;
        if (holds == static_cast<std::uint32_t>(ifindex)) {
            return slot;
        }
        if (holds == 0 && free < 0) {
            free = slot;
        }
    }
    return orFree ? free : -1;
}

void slotFree(int portsFd, std::uint32_t slot) {
    perCpuWrite(portsFd, &slot, std::vector<port_value>(cpuCount()), BPF_ANY);
}

std::uint32_t freeSlot(int portsFd, PortInfo const& info) {
    std::int64_t const slot = slotOf(portsFd, info.ifindex, true);
    if (slot < 0) {
        throw Error("no room for " + info.name + ": a datapath holds at most " +
                    std::to_string(kMaxPorts) + " ports");
    }
    return static_cast<std::uint32_t>(slot);
}

}  // namespace

std::vector<PortInfo> portsNamed(std::vector<std::string> const& names,
                                 std::map<std::string, std::uint16_t> const& vlans) {
    std::vector<PortInfo> ports;
    for (auto const& name : names) {
        unsigned const ifindex = if_nametoindex(name.c_str());
        if (ifindex == 0) {
            throw Error("no port named '" + name + "'");
        }
        std::uint16_t vlan = 0;
        if (auto it = vlans.find(name); it != vlans.end()) {
            vlan = it->second;
        } else if (auto named = Kernel::vlanFromName(name)) {
            vlan = *named;
        }
        ports.push_back({name, static_cast<int>(ifindex), vlan});
    }
    return ports;
}

Attachment::Attachment(PortInfo info, Program const& maps)
    : info_(std::move(info)),
      portsFd_(maps.portsFd()),
      slot_(freeSlot(portsFd_, info_)),
      program_(maps, slot_) {
    bpf_tc_hook hook = ingressHook(info_.ifindex);
    int const made = bpf_tc_hook_create(&hook);
    if (made != 0 && made != -EEXIST) {
        throw Error("cannot add a clsact qdisc to " + info_.name + ": " + std::strerror(-made));
    }
    auto record = portRecord(portsFd_, slot_);
    bool const existed = !record.empty() && record[0].ifindex != 0;
    bool const ours = made == 0 || (existed && record[0].created_qdisc != 0);
    record.resize(cpuCount());
    for (auto& r : record) {
        r.ifindex = static_cast<std::uint32_t>(info_.ifindex);
        r.vlan = info_.vlan;
        r.created_qdisc = ours ? 1 : 0;
    }
    bpf_tc_opts opts = ourFilter();
    opts.prog_fd = program_.programFd();
    opts.flags = BPF_TC_F_REPLACE;
    int error = perCpuWrite(portsFd_, &slot_, record, BPF_ANY);
    if (error == 0) {
        error = bpf_tc_attach(&hook, &opts);
    }
    if (error != 0) {
        if (made == 0) {
            qdiscRemove(info_.ifindex);
        }
        if (!existed) {
            slotFree(portsFd_, slot_);
        }
        throw Error("cannot attach to " + info_.name + ": " + std::strerror(-error));
    }
    KEL_TRACE(trace(), 0, kSource, "attached to %s (ifindex %s, VLAN %s)", info_.name,
              info_.ifindex, info_.vlan);
}

Attachment::~Attachment() {
    if (!keep_ && info_.ifindex > 0) {
        detach(info_.ifindex, portsFd_);
    }
}

bool Attachment::present() const {
    return info_.ifindex > 0 &&
           if_nametoindex(info_.name.c_str()) == static_cast<unsigned>(info_.ifindex);
}

void Attachment::keep() {
    program_.pin(info_.name);
    keep_ = true;
}

void Attachment::forget() {
    if (info_.ifindex > 0) {
        slotFree(portsFd_, slot_);
    }
    info_.ifindex = 0;
}

std::pair<std::uint64_t, std::uint64_t> Attachment::counts() const {
    std::pair<std::uint64_t, std::uint64_t> sum{};
    for (auto const& r : portRecord(portsFd_, slot_)) {
        sum.first += r.seen;
        sum.second += r.for_router;
    }
    return sum;
}

int detach(int ifindex, int portsFd) {
    bpf_tc_hook hook = ingressHook(ifindex);
    bpf_tc_opts opts = ourFilter();
    int const detached = bpf_tc_detach(&hook, &opts);
    std::int64_t const slot = slotOf(portsFd, ifindex, false);
    if (slot >= 0) {
        auto const record = portRecord(portsFd, static_cast<std::uint32_t>(slot));
        if (record[0].created_qdisc != 0 && !clsactHasFilters(ifindex)) {
            qdiscRemove(ifindex);
        }
        slotFree(portsFd, static_cast<std::uint32_t>(slot));
    }
    KEL_TRACE(trace(), 0, kSource, "detached from ifindex %s (%s)", ifindex,
              detached == 0 ? "was attached" : "was not attached");
    return detached == -ENOENT ? 0 : detached;
}

}  // namespace PlinthAgent::Datapath
