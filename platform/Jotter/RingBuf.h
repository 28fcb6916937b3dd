#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Pakt/EthAddr.h"

// A crash-surviving binary trace: a file mapped shared into the process, so
// records written just before an abort are on disk without any flush. The
// file holds the descriptions of the messages as well as the records, so a
// reader needs nothing but the file.
namespace Jotter {

// What a trace site writes when it has no arguments at all.
struct QNullType {};
inline constexpr QNullType QNull{};
inline std::ostream& operator<<(std::ostream& os, QNullType) {
    return os;
}

// How one argument is encoded in a record. The enumerator names are the
// codes as they appear in a description.
enum class MsgFormatString : std::uint8_t {
    EC = 1,  // Ethernet address, 6 bytes
    i,       // 32-bit unsigned
    s,       // 16-bit unsigned
    b,       // bool, 1 byte
    u,       // one-byte value or enumeration
    q,       // 64-bit value
    p,       // text: u16 length, then the characters
    x,       // the std::hex switch; nothing stored
};
std::string_view codeText(MsgFormatString code);

// A ring file that cannot be opened, created or read.
class RingFileError : public std::runtime_error {
  public:
    RingFileError(std::string path, std::string reason);
    std::string const& path() const { return path_; }
    std::string const& reason() const { return reason_; }

  private:
    std::string path_;
    std::string reason_;
};

class RingBuf;
namespace RingFormat {
struct FileHeader;
}

// The description of one trace site's message, registered once in the file.
class MsgDesc {
  public:
    MsgDesc(RingBuf& ring, std::string_view site, std::string_view source, std::uint32_t line);

    MsgDesc& codeAdd(MsgFormatString code);
    MsgDesc& formatIs(std::string_view format);
    // Registers the description and returns its id; a description equal to
    // one already in the file (from this run or an earlier one) reuses that
    // id. 0 when the description area is full: the site then records nothing.
    std::uint32_t finish();
    std::uint32_t id() const { return id_; }

    std::string_view site() const { return site_; }
    std::string_view source() const { return source_; }
    std::uint32_t line() const { return line_; }
    std::vector<MsgFormatString> const& codes() const { return codes_; }
    std::string_view format() const { return format_; }

  private:
    RingBuf& ring_;
    std::string_view site_;
    std::string_view source_;
    std::uint32_t line_;
    std::vector<MsgFormatString> codes_;
    std::string_view format_;
    std::uint32_t id_ = 0;
};

// One ring file, written by one thread at a time: the writing paths take no
// lock so that a record costs a few stores. When the ring is full the oldest
// whole records make room.
class RingBuf {
  public:
    // Opens `path`, continuing after its newest record, or creates it (an
    // existing empty file counts as new). Throws RingFileError for a file
    // that is not a ring file of this layout and size; such a file is left
    // untouched.
    RingBuf(std::string path, std::size_t ringBytes);
    ~RingBuf();
    RingBuf(RingBuf const&) = delete;
    RingBuf& operator=(RingBuf const&) = delete;

    std::string const& path() const { return path_; }
    // Distinct for every ring opened in the process, so that a site can tell
    // whether its description id belongs to the current ring.
    std::uint64_t generation() const { return generation_; }
    std::size_t ringBytes() const { return ringBytes_; }
    std::size_t maxRecordBytes() const { return maxRecord_; }

    void startMsg(std::uint32_t descId);
    void writeEthAddr(Pakt::EthAddr value) {
        auto bytes = value.bytes();
        put(bytes.data(), bytes.size());
    }
    void writeBool(bool value) { writeU8(value ? 1 : 0); }
    void writeU8(std::uint8_t value) { put(&value, sizeof value); }
    void writeU16(std::uint16_t value) { put(&value, sizeof value); }
    void writeU32(std::uint32_t value) { put(&value, sizeof value); }
    void writeU64(std::uint64_t value) { put(&value, sizeof value); }
    void writeText(std::string_view text);
    void endMsg();

    void flush();

  private:
    friend class MsgDesc;
    std::uint32_t descAdd(MsgDesc const& desc);

    // A value that does not fit ends the record: later values would be
    // decoded against the wrong codes.
    void put(void const* data, std::size_t n) {
        if (full_ || n > limit_ - cur_) {
            full_ = true;
            return;
        }
        std::memcpy(ring_ + cur_, data, n);
        cur_ += n;
    }
    void mapFile(int fd, std::size_t bytes);
    void layoutFromHeader();
    void adoptExisting(int fd, std::size_t fileBytes, std::size_t ringBytes);
    void evictOldest();
    void wrapIfNeeded();

    std::string path_;
    std::uint64_t generation_;
    std::uint8_t* map_ = nullptr;
    std::size_t mapBytes_ = 0;
    RingFormat::FileHeader* header_ = nullptr;
    std::uint8_t* desc_ = nullptr;
    std::uint8_t* ring_ = nullptr;
    std::size_t ringBytes_ = 0;
    std::size_t maxRecord_ = 0;
    std::size_t recStart_ = 0;
    std::size_t cur_ = 0;
    std::size_t limit_ = 0;
    bool full_ = true;
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
// Pushes the mapped pages to the file; called before a fatal abort.
void flushDefault();

}  // namespace Jotter
