#include "Jotter/RingFormat.h"

#include <algorithm>
#include <cstring>

namespace Jotter::RingFormat {

namespace {

// Reads fields from a bounded window; any read past the end fails the cursor
// instead of touching memory outside it.
class Cursor {
  public:
    explicit Cursor(std::span<std::uint8_t const> bytes) : bytes_(bytes) {}

    template <class T>
    bool read(T& value) {
        if (sizeof(T) > bytes_.size() - at_) {
            return false;
        }
        std::memcpy(&value, bytes_.data() + at_, sizeof(T));
        at_ += sizeof(T);
        return true;
    }
    bool readText(std::string& text) {
        std::uint16_t length = 0;
        if (!read(length) || length > bytes_.size() - at_) {
            return false;
        }
        text.assign(reinterpret_cast<char const*>(bytes_.data() + at_), length);
        at_ += length;
        return true;
    }

  private:
    std::span<std::uint8_t const> bytes_;
    std::size_t at_ = 0;
};

// True when [offset, offset + length) lies inside [0, size).
bool inside(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
    return offset <= size && length <= size - offset;
}

std::string checkHeader(FileHeader const& h, std::size_t fileBytes) {
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0) {
        return "not a ring file (bad magic)";
    }
    if (h.version != kVersion) {
        return "unsupported ring file version " + std::to_string(h.version);
    }
    if (h.headerBytes < sizeof(FileHeader) || h.descOffset < h.headerBytes ||
        !inside(h.descOffset, h.descBytes, fileBytes) || h.descUsed > h.descBytes) {
        return "corrupt header: description area out of bounds";
    }
    if (h.ringBytes < kMinRing || h.ringBytes > kMaxRing || h.ringBytes % 8 != 0 ||
        h.ringOffset < h.descOffset + h.descBytes ||
        !inside(h.ringOffset, h.ringBytes, fileBytes)) {
        return "corrupt header: record ring out of bounds";
    }
    if (h.maxRecord < kRecordHeader || h.maxRecord > h.ringBytes / 2 || h.head % 8 != 0 ||
        h.tail % 8 != 0 || h.head >= h.ringBytes || h.tail > h.ringBytes ||
        h.count > h.ringBytes / kRecordHeader) {
        return "corrupt header: ring position out of bounds";
    }
    return {};
}

bool readDesc(Cursor& c, Desc& d) {
    std::uint8_t count = 0;
    if (!c.read(d.id) || !c.read(d.line) || !c.read(count)) {
        return false;
    }
    for (std::uint8_t k = 0; k < count; ++k) {
        std::uint8_t raw = 0;
        if (!c.read(raw) || !codeValid(raw)) {
            return false;
        }
        d.codes.push_back(static_cast<MsgFormatString>(raw));
    }
    return c.readText(d.site) && c.readText(d.source) && c.readText(d.format);
}

std::string parseDescs(std::span<std::uint8_t const> area, Image& out) {
    std::size_t at = 0;
    while (at < area.size()) {
        std::uint32_t length = 0;
        if (area.size() - at < sizeof length) {
            return "corrupt description area: entry header cut off";
        }
        std::memcpy(&length, area.data() + at, sizeof length);
        if (length < sizeof length || length > area.size() - at) {
            return "corrupt description area: entry length out of bounds";
        }
        Cursor c(area.subspan(at + sizeof length, length - sizeof length));
        Desc d;
        if (!readDesc(c, d) || d.id != out.descs.size() + 1) {
            return "corrupt description " + std::to_string(out.descs.size() + 1);
        }
        out.descs.push_back(std::move(d));
        at += length;
    }
    if (out.descs.size() != out.header.descCount) {
        return "corrupt description area: count mismatch";
    }
    return {};
}

std::uint32_t lengthAt(std::span<std::uint8_t const> ring, std::uint64_t at) {
    std::uint32_t length = 0;
    std::memcpy(&length, ring.data() + at, sizeof length);
    return length;
}

std::string parseRecords(std::span<std::uint8_t const> ring, Image& out) {
    FileHeader const& h = out.header;
    std::uint64_t at = h.head;
    for (std::uint64_t n = 0; n < h.count; ++n) {
        if (at + kRecordHeader > ring.size() || lengthAt(ring, at) == 0) {
            at = 0;  // the writer wrapped here
        }
        std::uint32_t length = lengthAt(ring, at);
        std::uint32_t descId = 0;
        std::memcpy(&descId, ring.data() + at + 4, sizeof descId);
        if (length < kRecordHeader || length > h.maxRecord || !inside(at, length, ring.size())) {
            return "corrupt record " + std::to_string(n) + ": length out of bounds";
        }
        if (descId == 0 || descId > out.descs.size()) {
            return "corrupt record " + std::to_string(n) + ": unknown description";
        }
        out.records.push_back(at);
        at += (length + 7) / 8 * 8;
    }
    return {};
}

}  // namespace

std::size_t codeBytes(MsgFormatString code) {
    switch (code) {
        case MsgFormatString::EC:
            return 6;
        case MsgFormatString::i:
            return 4;
        case MsgFormatString::s:
            return 2;
        case MsgFormatString::b:
            return 1;
        case MsgFormatString::u:
            return 1;
        case MsgFormatString::q:
            return 8;
        case MsgFormatString::p:
            return 0;
        case MsgFormatString::x:
            return 0;
    }
    return 0;
}

bool codeValid(std::uint8_t raw) {
    return raw >= static_cast<std::uint8_t>(MsgFormatString::EC) &&
           raw <= static_cast<std::uint8_t>(MsgFormatString::x);
}

std::size_t ringBytesRounded(std::size_t ringBytes) {
    return std::clamp((ringBytes + 7) / 8 * 8, kMinRing, kMaxRing);
}

std::size_t maxRecordFor(std::size_t ringBytes) {
    return std::min(kMaxRecord, ringBytes / 4);
}

FileHeader headerFor(std::size_t ringBytes) {
    FileHeader h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = kVersion;
    h.headerBytes = kHeaderArea;
    h.descOffset = kHeaderArea;
    h.descBytes = kDescArea;
    h.maxRecord = static_cast<std::uint32_t>(maxRecordFor(ringBytes));
    h.ringOffset = kHeaderArea + kDescArea;
    h.ringBytes = ringBytes;
    return h;
}

std::string parse(std::span<std::uint8_t const> bytes, Image& out) {
    if (bytes.empty()) {
        return "empty file";
    }
    if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        return "not a ring file (bad magic)";
    }
    if (bytes.size() < sizeof(FileHeader)) {
        return "truncated: too short for a ring file header";
    }
    out = Image{};
    std::memcpy(&out.header, bytes.data(), sizeof(FileHeader));
    FileHeader const& h = out.header;
    if (bytes.size() < h.ringOffset + h.ringBytes) {
        return "truncated: file is " + std::to_string(bytes.size()) + " bytes, header says " +
               std::to_string(h.ringOffset + h.ringBytes);
    }
    if (std::string error = checkHeader(h, bytes.size()); !error.empty()) {
        return error;
    }
    if (std::string error = parseDescs(bytes.subspan(h.descOffset, h.descUsed), out);
        !error.empty()) {
        return error;
    }
    return parseRecords(bytes.subspan(h.ringOffset, h.ringBytes), out);
}

}  // namespace Jotter::RingFormat
