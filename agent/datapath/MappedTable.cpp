#include "MappedTable.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "Program.h"

namespace PlinthAgent::Datapath {

namespace {

std::size_t pageRounded(std::size_t bytes) {
    auto const page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

void* mapped(int fd, std::size_t bytes, char const* what) {
    void* at = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (at == MAP_FAILED) {
        throw Error(std::string("cannot map the ") + what + " map: " + std::strerror(errno));
    }
    return at;
}

}  // namespace

MappedTable::MappedTable(int tableFd, int hitsFd, std::uint32_t slots, std::uint32_t cpus)
    : tableBytes_(pageRounded(sizeof(table_slot) * slots)),
      hitsBytes_(pageRounded(sizeof(std::uint64_t) * slots * cpus)),
      mask_(slots - 1),
      cpus_(cpus) {
    table_ = static_cast<table_slot*>(mapped(tableFd, tableBytes_, "table"));
    try {
        hits_ = static_cast<std::uint64_t*>(mapped(hitsFd, hitsBytes_, "hits"));
    } catch (Error const&) {
        ::munmap(table_, tableBytes_);
        throw;
    }
}

MappedTable::~MappedTable() {
    ::munmap(hits_, hitsBytes_);
    ::munmap(table_, tableBytes_);
}

// The program reads a key while we write it: each is one aligned word,
// stored after the flags and counts it makes valid.
std::uint64_t MappedTable::keyAt(std::uint32_t at) const {
    return std::atomic_ref(table_[at].key).load(std::memory_order_acquire);
}

void MappedTable::keyIs(std::uint32_t at, std::uint64_t key) {
    std::atomic_ref(table_[at].key).store(key, std::memory_order_release);
}

MappedTable::Probe MappedTable::probe(std::uint64_t key) const {
    Probe probe;
    std::uint32_t const home = table_home(key, mask_);
    for (std::uint32_t i = 0; i < kMaxProbes; ++i) {
        std::uint32_t const at = (home + i) & mask_;
        std::uint64_t const held = keyAt(at);
        if (held == key) {
            probe.at = at;
            break;
        }
        if ((held == kNeverUsed || held == kFreed) && probe.free == kNone) {
            probe.free = at;
        }
        if (held == kNeverUsed) {
            break;
        }
    }
    return probe;
}

bool MappedTable::write(std::uint64_t key, std::uint32_t flags, bool countFromZero) {
    auto const [held, free] = probe(key);
    bool const isNew = held == kNone;
    std::int64_t const at = isNew ? free : held;
    if (at == kNone) {
        return false;
    }
    if (isNew || countFromZero) {
        for (std::uint32_t cpu = 0; cpu < cpus_; ++cpu) {
            std::atomic_ref(count(cpu, at)).store(0, std::memory_order_relaxed);
        }
    }
    std::atomic_ref(table_[at].flags).store(flags, std::memory_order_release);
    if (isNew) {
        keyIs(at, key);
    }
    return true;
}

void MappedTable::erase(std::uint64_t key) {
    std::int64_t at = probe(key).at;
    if (at == kNone) {
        return;
    }
    keyIs(at, kFreed);
    // A key placed after a freed slot probed past it; once the slot after
    // it was never used, none did, and the run of freed slots ending here
    // can be never-used again.
    if (keyAt((at + 1) & mask_) != kNeverUsed) {
        return;
    }
    for (std::uint32_t n = 0; n <= mask_ && keyAt(at) == kFreed; ++n) {
        keyIs(at, kNeverUsed);
        at = (at + mask_) & mask_;
    }
}

std::uint64_t MappedTable::hits(std::uint64_t key) const {
    std::int64_t const at = probe(key).at;
    std::uint64_t sum = 0;
    for (std::uint32_t cpu = 0; at != kNone && cpu < cpus_; ++cpu) {
        sum += std::atomic_ref(count(cpu, at)).load(std::memory_order_relaxed);
    }
    return sum;
}

void MappedTable::forEach(
    std::function<void(std::uint64_t key, std::uint32_t flags)> const& each) const {
    for (std::uint32_t at = 0; at <= mask_; ++at) {
        if (std::uint64_t const key = keyAt(at); key != kNeverUsed && key != kFreed) {
            each(key, table_[at].flags);
        }
    }
}

}  // namespace PlinthAgent::Datapath
