#include "Jotter/RingBuf.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace Jotter {

namespace {

using RingFormat::FileHeader;

constexpr std::size_t kDescBytes = 256 * 1024;
constexpr std::size_t kMaxRecord = 1024;
constexpr std::size_t kMinRing = 4096;
constexpr std::size_t kMaxRing = std::size_t{1} << 30;
// The smallest ring still takes the largest record of fixed-size values.
static_assert(kMinRing / RingFormat::kSegments / 4 >=
              RingFormat::kRecordHeader + RingBuf::kMaxFixedValues);

std::atomic<std::uint64_t> nextGeneration{1};

std::string errnoText(char const* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

RingBuf::RingBuf(std::string const& path, std::size_t ringBytes)
    : generation_(nextGeneration.fetch_add(1)) {
    std::size_t const unit = 8 * RingFormat::kSegments;
    FileHeader h{{},
                 RingFormat::kVersion,
                 kDescBytes,
                 std::clamp((ringBytes + unit - 1) / unit * unit, kMinRing, kMaxRing)};
    std::memcpy(h.magic, RingFormat::kMagic, sizeof h.magic);
    mapBytes_ = sizeof h + h.descBytes + h.ringBytes;

    // A mistyped path must not cost someone their file: only an empty file
    // or an earlier ring file is emptied and sized, and never one that a
    // running process still writes (the lock lasts as long as the ring).
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    char magic[sizeof h.magic] = {};
    ssize_t got = fd < 0 ? -1 : ::pread(fd, magic, sizeof magic, 0);
    std::string error = got < 0 ? errnoText(fd < 0 ? "cannot open" : "cannot read") : "";
    if (error.empty() && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? "in use by another process" : errnoText("cannot lock");
    }
    if (got > 0 && std::memcmp(magic, h.magic, sizeof magic) != 0) {
        error = "refusing to overwrite: not a ring file";
    }
    if (error.empty() && (::ftruncate(fd, 0) != 0 || ::ftruncate(fd, off_t(mapBytes_)) != 0)) {
        error = errnoText("cannot size");
    }
    void* p = MAP_FAILED;
    if (error.empty()) {
        p = ::mmap(nullptr, mapBytes_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        error = p == MAP_FAILED ? errnoText("cannot map") : "";
    }
    if (!error.empty()) {
        if (fd >= 0) {
            ::close(fd);
        }
        throw RingFileError(path, error);
    }
    fd_ = fd;
    map_ = static_cast<std::uint8_t*>(p);
    std::memcpy(map_, &h, sizeof h);
    desc_ = {map_ + sizeof h, 0, h.descBytes, false};
    ring_ = map_ + sizeof h + h.descBytes;
    segmentBytes_ = h.ringBytes / RingFormat::kSegments;
    maxRecord_ = std::min(kMaxRecord, segmentBytes_ / 4 / 8 * 8);
    // Every page touched now, while the agent sets up, rather than faulted
    // in one by one by the first records of a busy moment.
    std::memset(ring_, 0, h.ringBytes);
    segmentStart(0);
}

RingBuf::~RingBuf() {
    ::munmap(map_, mapBytes_);
    ::close(fd_);
}

std::uint32_t RingBuf::describe(std::string_view site, std::string_view source, std::uint32_t line,
                                std::string_view format, std::span<MsgFormatString const> codes) {
    std::lock_guard lock(descMutex_);
    RingFormat::Appender entry = desc_;
    auto count = static_cast<std::uint8_t>(codes.size());
    entry.at += sizeof(std::uint32_t);  // the length, written last
    entry.put(&line, sizeof line);
    entry.put(&count, sizeof count);
    entry.put(codes.data(), count);
    entry.putText(site);
    entry.putText(source);
    entry.putText(format);
    // Room for the zero length that ends the area.
    if (entry.full || entry.end - entry.at < sizeof(std::uint32_t)) {
        return 0;
    }
    auto length = static_cast<std::uint32_t>(entry.at - desc_.at);
    std::memcpy(desc_.base + desc_.at, &length, sizeof length);
    desc_.at = entry.at;
    return ++descCount_;
}

// Records never straddle segments; moving on to the next segment drops its
// old records all at once. (No division: a record costs a few stores, and
// one division would cost more than all of them.)
void RingBuf::segmentNext() {
    segmentStart(segmentEnd_ == segmentBytes_ * RingFormat::kSegments ? 0 : segmentEnd_);
}

// The old records go first (a zero length ends the segment at once), then
// the sequence number that the new ones count from.
void RingBuf::segmentStart(std::size_t at) {
    std::uint8_t* const segment = ring_ + at;
    std::memset(segment + RingFormat::kSegmentHeader, 0, sizeof(std::uint32_t));
    std::atomic_signal_fence(std::memory_order_release);
    std::memcpy(segment, &nextSeq_, sizeof nextSeq_);
    tail_ = at + RingFormat::kSegmentHeader;
    segmentEnd_ = at + segmentBytes_;
}

namespace detail {
std::atomic<RingBuf*> defaultRing{nullptr};
}

void defaultHandleIs(std::string const& path, std::size_t ringBytes) {
    delete detail::defaultRing.exchange(new RingBuf(path, ringBytes));
}

void defaultHandleDel() {
    delete detail::defaultRing.exchange(nullptr);
}

}  // namespace Jotter
