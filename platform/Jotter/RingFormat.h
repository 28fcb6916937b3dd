#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "Jotter/RingBuf.h"

// The layout of a ring file, shared by the writer (which checks an existing
// file before continuing it) and the reader. Everything is in host byte
// order: the file is read back on the box that wrote it.
//
//   [header area][description area][record ring]
//
// A description entry: u32 entry length, u32 id, u32 line, u8 code count,
// the codes, then site, source and format, each as u16 length + characters.
// A record: u32 length (unpadded), u32 description id, u64 sequence number,
// then the values; records start on 8-byte boundaries. A length of zero, or
// too little room left for a record header, means "continue at offset 0".
namespace Jotter::RingFormat {

inline constexpr char kMagic[8] = {'P', 'L', 'N', 'J', 'R', 'I', 'N', 'G'};
inline constexpr std::uint32_t kVersion = 1;
inline constexpr std::size_t kHeaderArea = 4096;
inline constexpr std::size_t kDescArea = 256 * 1024;
inline constexpr std::size_t kRecordHeader = 16;
inline constexpr std::size_t kMinRing = 4096;
inline constexpr std::size_t kMaxRing = std::size_t{1} << 30;
inline constexpr std::size_t kMaxRecord = 1024;
inline constexpr std::size_t kMaxArgs = 255;

struct FileHeader {
    char magic[8];
    std::uint32_t version;
    std::uint32_t headerBytes;
    std::uint64_t descOffset;
    std::uint64_t descBytes;
    std::uint64_t descUsed;
    std::uint32_t descCount;
    std::uint32_t maxRecord;
    std::uint64_t ringOffset;
    std::uint64_t ringBytes;
    std::uint64_t head;   // offset of the oldest record
    std::uint64_t tail;   // offset where the next record goes
    std::uint64_t count;  // records held
    std::uint64_t nextSeq;
};

struct Desc {
    std::uint32_t id = 0;
    std::uint32_t line = 0;
    std::vector<MsgFormatString> codes;
    std::string site;
    std::string source;
    std::string format;
};

struct Image {
    FileHeader header{};
    std::vector<Desc> descs;             // descs[id - 1]
    std::vector<std::uint64_t> records;  // ring offsets, oldest first
};

// Fixed encoded size of a value, or 0 for text (length-prefixed) and hex.
std::size_t codeBytes(MsgFormatString code);
bool codeValid(std::uint8_t raw);
std::size_t ringBytesRounded(std::size_t ringBytes);
std::size_t maxRecordFor(std::size_t ringBytes);
FileHeader headerFor(std::size_t ringBytes);

// Empty when `bytes` hold a well-formed ring file (filling `out`), else a
// sentence saying what is wrong. Every offset and length is checked against
// the buffer before it is used.
std::string parse(std::span<std::uint8_t const> bytes, Image& out);

}  // namespace Jotter::RingFormat
