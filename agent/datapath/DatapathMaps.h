/* The maps the datapath program and its loader share: fixed-width slots and
 * counts, laid out the same for the BPF target and the host. A change to any
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

enum { kMapLayout = 2 };

/* Ports a datapath holds; a switch has at most a few hundred. */
enum { kMaxPorts = 1024 };

/* The low 16 bits of a key: what VLAN the frames it matches are on. A frame
 * on VLAN N is looked up as N, with kTaggedFrame when it carried an 802.1Q
 * tag; a MAC's own key, which says whether it has entries on any VLAN or on
 * some, is kAnyVlan. kLiveKey is in every key, so no key is a free slot. */
enum { kTaggedFrame = 0x1000, kAnyVlan = 0x2000, kLiveKey = 0x8000 };

/* What a MAC has, as bits of the flags of its own key. */
enum { kMacAnyVlan = 1, kMacVlans = 2 };

/* A slot that never held a key ends a look-up; one whose key went does not,
 * as keys placed after it may have probed past it. */
enum { kNeverUsed = 0, kFreed = 1 };

/* A key sits at most this many slots after the one its hash names. */
enum { kMaxProbes = 32 };

/* The table is open-addressed and memory-mapped, so the loader changes it
 * with plain stores, without a system call: each key is one aligned 8-byte
 * word, written after the flags it publishes. */
struct table_slot {
    __u64 key; /* (MAC << 16) | VLAN bits | kLiveKey, or kNeverUsed, kFreed */
    __u32 flags;
    __u32 zero;
};
PLINTH_STATIC_ASSERT(sizeof(struct table_slot) == 16, "table_slot is 16 bytes");

static inline __u64 table_key(__u64 mac, __u16 vlan) {
    return mac << 16 | vlan | kLiveKey;
}

/* The slot a key's probe starts at; `mask` is the slot count less one (a
 * power of two). The MAC's bytes differ mostly at its end, so the bits are
 * mixed before the mask takes the low ones. */
static inline __u32 table_home(__u64 key, __u32 mask) {
    key ^= key >> 33;
    key *= 0xff51afd7ed558ccdULL;
    key ^= key >> 29;
    return (__u32)key & mask;
}

/* The frames each slot's key matched, one count per CPU: CPU c's count of
 * slot s is at c * slots + s, so each CPU writes a block of its own. */

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
