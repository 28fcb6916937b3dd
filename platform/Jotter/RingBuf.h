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
    // Throws RingFileError, leaving the file as it was, for anything else.
    RingBuf(std::string const& path, std::size_t ringBytes);
    ~RingBuf();

    // Distinct for every ring opened in the process, so that a site can tell
    // whether its description id belongs to this ring.
    std::uint64_t generation() const { return generation_; }

    // Adds a message description and returns its id; 0 when the description
    // area is full (the site then records nothing). Any thread may call it.
    std::uint32_t describe(std::string_view site, std::string_view source, std::uint32_t line,
                           std::string_view format, std::span<MsgFormatString const> codes);

    // One record: startMsg, the values, endMsg. The values go in by put and
    // putText, or, when their sizes are known where the site is compiled
    // (kMaxFixedValues bytes at most), are copied by the caller straight to
    // the place startMsg hands back and ended with endMsg(bytes written).
    static constexpr std::size_t kMaxFixedValues = 96;
    std::uint8_t* startMsg(std::uint32_t descId) {
        if (tail_ + maxRecord_ > segmentEnd_) {
            segmentNext();
        }
        std::uint8_t* record = ring_ + tail_;
        std::memcpy(record + 4, &descId, sizeof descId);
        std::memcpy(record + 8, &nextSeq_, sizeof nextSeq_);
        rec_ = {ring_, tail_ + RingFormat::kRecordHeader, tail_ + maxRecord_, false};
        return record + RingFormat::kRecordHeader;
    }
    // A value that does not fit ends the record: later values would be
    // decoded against the wrong codes.
    void put(void const* data, std::size_t n) { rec_.put(data, n); }
    void putText(std::string_view text) { rec_.putText(text); }
    void endMsg() { recordEnd(rec_.at - tail_); }
    void endMsg(std::size_t valueBytes) { recordEnd(RingFormat::kRecordHeader + valueBytes); }

  private:
    // The length goes in last, after the zero that ends the segment behind
    // the record: a reader never sees a record half written.
    void recordEnd(std::size_t bytes) {
        auto length = static_cast<std::uint32_t>(bytes);
        std::size_t next = tail_ + (bytes + 7) / 8 * 8;
        if (next != segmentEnd_) {
            std::memset(ring_ + next, 0, sizeof length);
        }
        // Kept after the stores above by the compiler too: a process killed
        // in between leaves the mapping with exactly the stores done so far.
        std::atomic_signal_fence(std::memory_order_release);
        std::memcpy(ring_ + tail_, &length, sizeof length);
        tail_ = next;
        nextSeq_ += 1;
        rec_.full = true;
    }
    void segmentNext();

    std::uint64_t const generation_;
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
