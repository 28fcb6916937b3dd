#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "Jotter/RingFormat.h"

// A crash-surviving binary trace: a file mapped shared into the process, so
// records written just before the process dies are in the file without any
// flush. The file carries the message descriptions as well as the records.
namespace Jotter {

// One ring file, written by one thread at a time: recording takes no lock so
// that a record costs a few stores. When the ring is full, the segment with
// the oldest records makes room.
class RingBuf {
  public:
    // Starts `path` afresh: creates it, or empties an earlier ring file.
    // Throws RingFileError, leaving the file as it was, for anything else,
    // a ring file that another ring (in any process) holds included.
    RingBuf(std::string const& path, std::size_t ringBytes);
    ~RingBuf();

    // Distinct for every ring opened in the process, so that a site can tell
    // whether its description id belongs to this ring.
    std::uint64_t generation() const { return generation_; }

    // Adds a message description and returns its id; 0 when the description
    // area is full (the site then records nothing). Any thread may call it.
    std::uint32_t describe(std::string_view site, std::string_view source, std::uint32_t line,
                           std::string_view format, std::span<MsgFormatString const> codes);

    // One record: startMsg, the values by put and putText, endMsg.
    void startMsg(std::uint32_t descId) {
        std::uint8_t* values = recordStart(descId);
        rec_ = {ring_, static_cast<std::size_t>(values - ring_), tail_ + maxRecord_, false};
    }
    // A value that does not fit ends the record: later values would be
    // decoded against the wrong codes.
    void put(void const* data, std::size_t n) { rec_.put(data, n); }
    void putText(std::string_view text) { rec_.putText(text); }
    void endMsg() {
        recordEnd(rec_.at - tail_);
        rec_.full = true;
    }

    // The same for values whose sizes are known where the site is compiled,
    // kMaxFixedValues bytes at most: the caller copies them to the place
    // handed back, with no check per value, and ends the record with the
    // bytes it wrote.
    static constexpr std::size_t kMaxFixedValues = 96;
    std::uint8_t* startFixedMsg(std::uint32_t descId) { return recordStart(descId); }
    void endMsg(std::size_t valueBytes) { recordEnd(RingFormat::kRecordHeader + valueBytes); }

  private:
    static constexpr std::size_t kPrefetchAhead = 1024;

    // Room for the largest record, then its header; where its values go.
    std::uint8_t* recordStart(std::uint32_t descId) {
        if (tail_ + maxRecord_ > segmentEnd_) {
            segmentNext();
        }
        std::uint8_t* record = ring_ + tail_;
        // The ring is written straight through, far more than the caches
        // hold: asking for the line a few records ahead hides its fetch.
        __builtin_prefetch(record + kPrefetchAhead, 1);
        std::memcpy(record + 4, &descId, sizeof descId);
        return record + RingFormat::kRecordHeader;
    }
    // The length goes in last, after the zero that ends the segment behind
    // the record: a reader never sees a record half written.
    void recordEnd(std::size_t bytes) {
        std::uint8_t* const ring = ring_;  // the stores below could alias members
        std::size_t const tail = tail_;
        std::size_t const next = tail + (bytes + 7) / 8 * 8;
        auto const length = static_cast<std::uint32_t>(bytes);
        if (next != segmentEnd_) {
            std::memset(ring + next, 0, sizeof length);
        }
        // Kept after the stores above by the compiler too: a process killed
        // in between leaves the mapping with exactly the stores done so far.
        std::atomic_signal_fence(std::memory_order_release);
        std::memcpy(ring + tail, &length, sizeof length);
        tail_ = next;
        nextSeq_ += 1;  // only for the next segment's first record
    }
    void segmentNext();
    void segmentStart(std::size_t at);

    std::uint64_t const generation_;
    int fd_ = -1;  // owned; holds the file's lock
    std::uint8_t* map_ = nullptr;
    std::size_t mapBytes_ = 0;
    std::uint8_t* ring_ = nullptr;
    std::size_t segmentBytes_ = 0;
    std::size_t maxRecord_ = 0;
    std::size_t tail_ = 0;        // where the next record goes
    std::size_t segmentEnd_ = 0;  // the end of the segment that tail_ is in
    std::uint64_t nextSeq_ = 0;
    RingFormat::Appender rec_;
    std::mutex descMutex_;
    RingFormat::Appender desc_;
    std::uint32_t descCount_ = 0;
};

namespace detail {
extern std::atomic<RingBuf*> defaultRing;
}

// The process-wide ring the trace sites write to. Set up and torn down while
// no trace site runs (agent start and stop). Throws RingFileError and keeps
// the previous ring when `path` cannot be used.
void defaultHandleIs(std::string const& path, std::size_t ringBytes);
inline RingBuf* defaultHandle() {
    return detail::defaultRing.load(std::memory_order_acquire);
}
void defaultHandleDel();

}  // namespace Jotter
