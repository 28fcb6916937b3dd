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

/* The loader sizes both before it loads the program. */
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(map_flags, BPF_F_MMAPABLE);
    __type(key, __u32);
    __type(value, struct table_slot);
    __uint(max_entries, 1);
} table SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(map_flags, BPF_F_MMAPABLE);
    __type(key, __u32);
    __type(value, __u64);
    __uint(max_entries, 1);
} hits SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __type(key, __u32);
    __type(value, struct port_value);
    __uint(max_entries, kMaxPorts);
} ports SEC(".maps");

/* Each port has a program of its own with its slot in the ports map built
 * in: cheaper for every frame than looking the port up by its ifindex. */
const volatile __u32 port_slot = 0;
/* The table's slot count less one, and the CPUs the hits map counts for. */
const volatile __u32 slot_mask = 0;
const volatile __u32 cpu_count = 1;

struct vlan_hdr {
    __be16 tci;
    __be16 proto;
};

/* The frame's VLAN bits of a key, or -1 when it is too short to read. The
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

/* The slot holding `key`, or null. */
static __always_inline struct table_slot *slot_of(__u64 key, __u32 *at)
{
    __u32 const home = table_home(key, slot_mask);
    for (__u32 i = 0; i < kMaxProbes; i++) {
        *at = (home + i) & slot_mask;
        struct table_slot *slot = bpf_map_lookup_elem(&table, at);
        if (!slot || slot->key == kNeverUsed)
            return 0;
        if (slot->key == key)
            return slot;
    }
    return 0;
}

static __always_inline void count(__u32 at)
{
    __u32 const cpu = bpf_get_smp_processor_id();
    if (cpu >= cpu_count)
        return;
    __u32 index = cpu * (slot_mask + 1) + at;
    __u64 *n = bpf_map_lookup_elem(&hits, &index);
    if (n)
        (*n)++;
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

    __u64 const mac = (__u64)bpf_ntohl(*(__u32 *)eth->h_dest) << 16 |
                      bpf_ntohs(*(__u16 *)(eth->h_dest + 4));
    __u32 at;
    struct table_slot *own = slot_of(table_key(mac, kAnyVlan), &at);
    if (!own)
        return TC_ACT_OK;
    __u32 const flags = own->flags;
    int matched = 0;
    if (flags & kMacVlans) {
        int vlan = frame_vlan(skb, eth, end, port->vlan);
        __u32 exact;
        if (vlan >= 0 && slot_of(table_key(mac, vlan), &exact)) {
            at = exact;
            matched = 1;
        }
    }
    if (!matched && !(flags & kMacAnyVlan))
        return TC_ACT_OK;
    count(at);
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
