/* The maps the datapath program and its loader share: fixed-width keys and
 * values, laid out the same for the BPF target and the host. A change to any
 * of them is a change of kMapLayout, which names the pins: a pinned map of an
 * older layout is then left alone instead of being refused at load. */
#pragma once

#include <linux/types.h>

#ifdef __cplusplus
#define PLINTH_STATIC_ASSERT static_assert
namespace PlinthAgent::Datapath {
#else
#define PLINTH_STATIC_ASSERT _Static_assert
#endif

enum { kMapLayout = 1 };

/* Ports a datapath holds; a switch has at most a few hundred. */
enum { kMaxPorts = 1024 };

/* A frame's VLAN in a vlan key: the 12-bit id, with this bit set when the
 * frame carried an 802.1Q tag. */
enum { kTaggedFrame = 0x1000 };

/* What a MAC has in the vlans map or here, as bits of mac_value.flags. */
enum { kMacAnyVlan = 1, kMacVlans = 2 };

/* A destination MAC: its six bytes as they are on the wire, then zeros. */
struct mac_key {
    __u8 mac[6];
    __u16 zero;
};
PLINTH_STATIC_ASSERT(sizeof(struct mac_key) == 8, "mac_key is 8 bytes");

/* Per CPU. `hits` counts the frames the MAC's any-VLAN entry terminated;
 * `flags` is the same on every CPU. */
struct mac_value {
    __u64 hits;
    __u32 flags;
    __u32 zero;
};
PLINTH_STATIC_ASSERT(sizeof(struct mac_value) == 16, "mac_value is 16 bytes");

/* A destination MAC on one VLAN of one kind of frame. */
struct vlan_key {
    __u8 mac[6];
    __u16 vlan; /* 12-bit id | kTaggedFrame, host order */
};
PLINTH_STATIC_ASSERT(sizeof(struct vlan_key) == 8, "vlan_key is 8 bytes");

/* Per CPU: the frames this key terminated. */
struct vlan_value {
    __u64 hits;
};
PLINTH_STATIC_ASSERT(sizeof(struct vlan_value) == 8, "vlan_value is 8 bytes");

/* Per CPU, at the port's slot (__u32 from 0 to kMaxPorts - 1), which the
 * port's program has built in. All but the counts are the same on every
 * CPU; a free slot has ifindex 0. */
struct port_value {
    __u64 seen;       /* every frame of the port */
    __u64 for_router; /* unicast frames an entry terminated */
    __u32 ifindex;
    __u16 vlan;         /* the VLAN of the port's untagged frames */
    __u8 created_qdisc; /* the clsact qdisc is ours to remove */
    __u8 zero;
};
PLINTH_STATIC_ASSERT(sizeof(struct port_value) == 24, "port_value is 24 bytes");

#ifdef __cplusplus
}  // namespace PlinthAgent::Datapath
#endif
