#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The layout of a ring file, written by RingBuf and read back by tools that
// need nothing but the file. Host byte order: it is read on the box that
// wrote it.
//
//   [FileHeader][description area: descBytes][record ring: ringBytes]
//
// A description: u32 entry length, u32 line, u8 code count, the codes, then
// site, source and format, each as u16 length + characters. Ids count from 1
// in the order of the area. The ring is kSegments equal segments, each filled
// from its start: the u64 sequence number of its first record, then records
// of u32 length (unpadded), u32 description id and the values, each on an
// 8-byte boundary; a record's sequence number is the segment's plus its
// place in the segment. In both areas an entry's length is written last and
// a zero length ends the area or segment, so an entry cut short by a crash
// is never read.
namespace Jotter {

// How one argument is stored. The enumerator names are the codes as they
// appear in a description.
enum class MsgFormatString : std::uint8_t {
    EC = 1,  // Ethernet address, 6 bytes
    i,       // 32-bit integer
    s,       // 16-bit integer
    b,       // bool, 1 byte
    u,       // 8-bit integer
    q,       // 64-bit integer or pointer
    p,       // text: u16 length, then the characters
    x,       // the std::hex switch; nothing stored
};
std::string_view codeText(MsgFormatString code);

// A ring file that cannot be created or read; what() is "PATH: REASON".
class RingFileError : public std::runtime_error {
  public:
    RingFileError(std::string const& path, std::string const& reason)
        : std::runtime_error(path + ": " + reason) {}
};

namespace RingFormat {

inline constexpr char kMagic[8] = {'P', 'L', 'N', 'J', 'R', 'I', 'N', 'G'};
inline constexpr std::uint32_t kVersion = 3;
inline constexpr std::size_t kSegments = 8;
inline constexpr std::size_t kSegmentHeader = 8;
inline constexpr std::size_t kRecordHeader = 8;

struct FileHeader {
    char magic[8];
    std::uint64_t version;
    std::uint64_t descBytes;
    std::uint64_t ringBytes;
};

struct Desc {
    std::uint32_t line = 0;
    std::vector<MsgFormatString> codes;
    std::string site;
    std::string source;
    std::string format;
};

struct Record {
    std::uint64_t seq;
    std::uint32_t descId;
    std::span<std::uint8_t const> values;  // a view into the parsed bytes
};

struct Image {
    std::vector<Desc> descs;      // descs[id - 1]
    std::vector<Record> records;  // oldest first
};

// Empty when `bytes` hold a well-formed ring file (filling `out`), else a
// sentence saying what is wrong. Every offset and length is checked before
// it is used.
std::string parse(std::span<std::uint8_t const> bytes, Image& out);

// Reads fields from a bounded window; a read past its end clears `ok` and
// yields zeros instead of touching memory outside it.
struct Cursor {
    std::span<std::uint8_t const> bytes;
    bool ok = true;

    template <class T>
    T read() {
        T value{};
        if (!ok || sizeof value > bytes.size()) {
            ok = false;
            return value;
        }
        std::memcpy(&value, bytes.data(), sizeof value);
        bytes = bytes.subspan(sizeof value);
        return value;
    }
    std::string_view text() {
        auto length = read<std::uint16_t>();
        if (!ok || length > bytes.size()) {
            ok = false;
            return {};
        }
        std::string_view out(reinterpret_cast<char const*>(bytes.data()), length);
        bytes = bytes.subspan(length);
        return out;
    }
};

// Writes fields into [at, end) of `base`; the first one that does not fit
// sets `full` and nothing after it lands either.
struct Appender {
    std::uint8_t* base = nullptr;
    std::size_t at = 0;
    std::size_t end = 0;
    bool full = true;

    void put(void const* data, std::size_t n) {
        full = full || n > end - at;
        if (!full) {
            std::copy_n(static_cast<std::uint8_t const*>(data), n, base + at);  // data may be null
            at += n;
        }
    }
    void putText(std::string_view text) {
        auto length = static_cast<std::uint16_t>(text.size());
        full = full || text.size() > 0xffff || sizeof length + text.size() > end - at;
        put(&length, sizeof length);
        put(text.data(), text.size());
    }
};

}  // namespace RingFormat
}  // namespace Jotter
