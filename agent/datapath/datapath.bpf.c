/* The chip's My Station table on a Linux port: at ingress, a unicast frame
 * whose destination MAC and VLAN match an entry is marked for this host, so
 * the kernel routes it as if it were sent to the port's own MAC. Every other
 * frame passes untouched. */
#include <linux/bpf.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/pkt_cls.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "DatapathMaps.h"

/* The loader sizes every map before it loads the program. */
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_HASH);
    __type(key, struct mac_key);
    __type(value, struct mac_value);
    __uint(max_entries, 1);
} macs SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_HASH);
    __type(key, struct vlan_key);
    __type(value, struct vlan_value);
    __uint(max_entries, 1);
} vlans SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __type(key, __u32);
    __type(value, struct port_value);
    __uint(max_entries, kMaxPorts);
} ports SEC(".maps");

/* Each port has a program of its own with its slot in the ports map built
 * in: cheaper for every frame than looking the port up by its ifindex. */
const volatile __u32 port_slot = 0;

struct vlan_hdr {
    __be16 tci;
    __be16 proto;
};

/* The frame's VLAN in a vlan key, or -1 when it is too short to read. The
 * kernel has usually moved a received tag out of the frame by now; a frame
 * handed in whole (a test run) still carries it. */
static __always_inline int frame_vlan(struct __sk_buff *skb, struct ethhdr *eth, void *end,
                                      __u16 port_vlan)
{
    if (skb->vlan_present)
        return (skb->vlan_tci & 0xfff) | kTaggedFrame;
    if (eth->h_proto == bpf_htons(ETH_P_8021Q)) {
        struct vlan_hdr *tag = (void *)(eth + 1);
        if ((void *)(tag + 1) > end)
            return -1;
        return (bpf_ntohs(tag->tci) & 0xfff) | kTaggedFrame;
    }
    return port_vlan;
}

SEC("tc")
int my_station(struct __sk_buff *skb)
{
    void *data = (void *)(long)skb->data;
    void *end = (void *)(long)skb->data_end;
    struct ethhdr *eth = data;
    __u32 slot = port_slot;

    struct port_value *port = bpf_map_lookup_elem(&ports, &slot);
    if (!port)
        return TC_ACT_OK;
    port->seen++;
    if ((void *)(eth + 1) > end || (eth->h_dest[0] & 1))
        return TC_ACT_OK;

    struct mac_key mk = {};
    __builtin_memcpy(mk.mac, eth->h_dest, ETH_ALEN);
    struct mac_value *mac = bpf_map_lookup_elem(&macs, &mk);
    if (!mac)
        return TC_ACT_OK;

    __u64 *hits = 0;
    if (mac->flags & kMacVlans) {
        int vlan = frame_vlan(skb, eth, end, port->vlan);
        if (vlan < 0)
            return TC_ACT_OK;
        struct vlan_key vk = {.vlan = vlan};
        __builtin_memcpy(vk.mac, eth->h_dest, ETH_ALEN);
        struct vlan_value *exact = bpf_map_lookup_elem(&vlans, &vk);
        if (exact)
            hits = &exact->hits;
    }
    if (!hits && (mac->flags & kMacAnyVlan))
        hits = &mac->hits;
    if (!hits)
        return TC_ACT_OK;
    (*hits)++;
    port->for_router++;
    bpf_skb_change_type(skb, PACKET_HOST);
    return TC_ACT_OK;
}

/* The same path with nothing to do: the floor the benchmarks compare with. */
SEC("tc")
int pass(struct __sk_buff *skb)
{
    return TC_ACT_OK;
}

char LICENSE[] SEC("license") = "GPL";
