#include "Jotter/RingFormat.h"

#include <algorithm>

namespace Jotter {

std::string_view codeText(MsgFormatString code) {
    constexpr std::string_view names[] = {"?", "EC", "i", "s", "b", "u", "q", "p", "x"};
    auto k = static_cast<std::size_t>(code);
    return k < std::size(names) ? names[k] : "?";
}

namespace RingFormat {

namespace {

std::string parseDescs(Cursor area, Image& out) {
    for (auto length = area.read<std::uint32_t>(); length != 0;
         length = area.read<std::uint32_t>()) {
        std::string what = "corrupt description " + std::to_string(out.descs.size() + 1);
        if (length < 4 || length - 4 > area.bytes.size()) {
            return what + ": length out of bounds";
        }
        Cursor c{area.bytes.first(length - 4)};
        area.bytes = area.bytes.subspan(length - 4);
        Desc& d = out.descs.emplace_back();
        d.line = c.read<std::uint32_t>();
        for (auto n = c.read<std::uint8_t>(); c.ok && n > 0; --n) {
            auto raw = c.read<std::uint8_t>();
            c.ok = c.ok && raw >= 1 && raw <= static_cast<std::uint8_t>(MsgFormatString::x);
            d.codes.push_back(static_cast<MsgFormatString>(raw));
        }
        d.site = c.text();
        d.source = c.text();
        d.format = c.text();
        if (!c.ok) {
            return what;
        }
    }
    return {};
}

// `base` is where the segment starts in the ring, for the messages.
std::string parseSegment(std::span<std::uint8_t const> segment, std::size_t base, Image& out) {
    std::uint64_t seq = Cursor{segment}.read<std::uint64_t>();
    for (std::size_t at = kSegmentHeader; at + kRecordHeader <= segment.size(); ++seq) {
        Cursor c{segment.subspan(at)};
        auto length = c.read<std::uint32_t>();
        auto descId = c.read<std::uint32_t>();
        std::string what = "corrupt record at ring offset " + std::to_string(base + at);
        if (length == 0) {
            break;
        }
        if (length < kRecordHeader || length > segment.size() - at) {
            return what + ": length out of bounds";
        }
        if (descId == 0 || descId > out.descs.size()) {
            return what + ": unknown description";
        }
        out.records.push_back(
            {seq, descId, segment.subspan(at + kRecordHeader, length - kRecordHeader)});
        at += (length + 7) / 8 * 8;
    }
    return {};
}

}  // namespace

std::string parse(std::span<std::uint8_t const> bytes, Image& out) {
    out = Image{};
    FileHeader h{};
    if (bytes.empty()) {
        return "empty file";
    }
    if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        return "not a ring file (bad magic)";
    }
    if (bytes.size() < sizeof h) {
        return "truncated: too short for a ring file header";
    }
    std::memcpy(&h, bytes.data(), sizeof h);
    if (h.version != kVersion) {
        return "unsupported ring file version " + std::to_string(h.version);
    }
    std::uint64_t room = bytes.size() - sizeof h;
    if (h.descBytes > room || h.ringBytes > room - h.descBytes) {
        return "truncated: the header's areas do not fit in the file's " +
               std::to_string(bytes.size()) + " bytes";
    }
    if (h.ringBytes == 0 || h.ringBytes % (8 * kSegments) != 0) {
        return "corrupt header: ring size " + std::to_string(h.ringBytes);
    }
    std::string error = parseDescs(Cursor{bytes.subspan(sizeof h, h.descBytes)}, out);
    std::size_t const segmentBytes = h.ringBytes / kSegments;
    for (std::size_t k = 0; k < kSegments && error.empty(); ++k) {
        auto segment = bytes.subspan(sizeof h + h.descBytes + k * segmentBytes, segmentBytes);
        error = parseSegment(segment, k * segmentBytes, out);
    }
    std::sort(out.records.begin(), out.records.end(),
              [](Record const& a, Record const& b) { return a.seq < b.seq; });
    return error;
}

}  // namespace RingFormat
}  // namespace Jotter
