#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "DatapathMaps.h"

namespace PlinthAgent::Datapath {

// The program's table and its counts, mapped into our memory: a change is
// a few stores, with no system call, and the program sees it at its next
// frame. Keys are open-addressed (linear probing, at most kMaxProbes from
// their home slot) and never move once written, so a frame looking up a key
// that is not changing always finds it. A freed slot becomes never-used
// again once no key can have probed past it, which keeps misses short.
class MappedTable {
  public:
    // Maps the table (`slots`, a power of two) and the hits map (`slots`
    // counts for each of `cpus`). Throws Error.
    MappedTable(int tableFd, int hitsFd, std::uint32_t slots, std::uint32_t cpus);
    ~MappedTable();
    MappedTable(MappedTable const&) = delete;
    MappedTable& operator=(MappedTable const&) = delete;

    // Writes `key` with `flags`; a new key, or with `countFromZero` one the
    // table holds, counts from zero. False when the key is new and no slot
    // within reach of its home is free.
    bool write(std::uint64_t key, std::uint32_t flags, bool countFromZero);
    void erase(std::uint64_t key);
    // The frames `key` matched on every CPU; 0 when the table does not hold it.
    std::uint64_t hits(std::uint64_t key) const;
    // Every key the table holds, with its flags.
    void forEach(std::function<void(std::uint64_t key, std::uint32_t flags)> const& each) const;

  private:
    static constexpr std::int64_t kNone = -1;
    // Where `key` sits, and the first slot of its probe it could go to.
    struct Probe {
        std::int64_t at = kNone;
        std::int64_t free = kNone;
    };
    Probe probe(std::uint64_t key) const;
    std::uint64_t keyAt(std::uint32_t at) const;
    void keyIs(std::uint32_t at, std::uint64_t key);
    std::uint64_t& count(std::uint32_t cpu, std::uint32_t at) const {
        return hits_[cpu * (mask_ + 1) + at];
    }

    table_slot* table_;
    std::uint64_t* hits_;
    std::size_t tableBytes_;
    std::size_t hitsBytes_;
    std::uint32_t mask_;
    std::uint32_t cpus_;
};

}  // namespace PlinthAgent::Datapath
