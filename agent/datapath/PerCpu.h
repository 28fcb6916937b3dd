#pragma once

#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include <vector>

namespace PlinthAgent::Datapath {

// Reading and writing per-CPU map values: one copy per possible CPU, each
// padded to 8 bytes (the map values here are multiples of 8 already).
inline int cpuCount() {
    static int const count = libbpf_num_possible_cpus();
    return count;
}

// Every CPU's copy of the value under `key`; empty when there is none.
template <class V>
std::vector<V> perCpuRead(int fd, void const* key) {
    static_assert(sizeof(V) % 8 == 0, "per-CPU values are laid out 8-byte aligned");
    std::vector<V> values(cpuCount());
    if (bpf_map_lookup_elem(fd, key, values.data()) != 0) {
        values.clear();
    }
    return values;
}

// Writes one copy per CPU; 0 or a negative errno.
template <class V>
int perCpuWrite(int fd, void const* key, std::vector<V> const& values, unsigned flags) {
    return bpf_map_update_elem(fd, key, values.data(), flags) == 0 ? 0 : -errno;
}

}  // namespace PlinthAgent::Datapath
