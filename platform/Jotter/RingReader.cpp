#include "Jotter/RingReader.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <span>
#include <sstream>

#include "Duplex/JotterConverter.h"
#include "Jotter/RingBuf.h"
#include "Jotter/RingFormat.h"

namespace Jotter {

namespace {

using RingFormat::Desc;

std::vector<std::uint8_t> readAll(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw RingFileError(path, std::string("cannot open: ") + std::strerror(errno));
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <class T>
T take(std::span<std::uint8_t const> bytes, std::size_t at) {
    T value{};
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

std::string hex64(std::uint64_t value) {
    std::ostringstream os;
    os << "0x" << std::hex << value;
    return os.str();
}

// Feeds one value to the converter; false when the record holds no more.
bool decodeValue(MsgFormatString code, std::span<std::uint8_t const> values, std::size_t& at,
                 Duplex::JotterConverter& out) {
    std::size_t size = RingFormat::codeBytes(code);
    if (code == MsgFormatString::p) {
        if (values.size() - at < 2) {
            return false;
        }
        size = 2 + take<std::uint16_t>(values, at);
    }
    if (size > values.size() - at) {
        return false;
    }
    switch (code) {
        case MsgFormatString::EC:
            out << Pakt::EthAddr::fromBytes(values.data() + at);
            break;
        case MsgFormatString::i:
            out << take<std::uint32_t>(values, at);
            break;
        case MsgFormatString::s:
            out << take<std::uint16_t>(values, at);
            break;
        case MsgFormatString::b:
            out << (values[at] != 0);
            break;
        case MsgFormatString::u:
            out << unsigned{values[at]};
            break;
        case MsgFormatString::q:
            out << hex64(take<std::uint64_t>(values, at));
            break;
        case MsgFormatString::p:
            out << std::string(reinterpret_cast<char const*>(values.data() + at + 2), size - 2);
            break;
        case MsgFormatString::x:
            out << std::hex;
            break;
    }
    at += size;
    return true;
}

RingRecord decodeRecord(std::span<std::uint8_t const> ring, std::uint64_t at,
                        std::vector<Desc> const& descs) {
    auto length = take<std::uint32_t>(ring, at);
    Desc const& d = descs[take<std::uint32_t>(ring, at + 4) - 1];
    RingRecord r{take<std::uint64_t>(ring, at + 8), d.source, d.line, {}};
    auto values = ring.subspan(at + RingFormat::kRecordHeader, length - RingFormat::kRecordHeader);
    Duplex::JotterConverter text;
    text << d.format;
    std::size_t pos = 0;
    for (MsgFormatString code : d.codes) {
        if (!decodeValue(code, values, pos, text)) {
            break;  // the writer ran out of room here
        }
    }
    r.text = text.str();
    return r;
}

}  // namespace

std::string RingRecord::rendered() const {
    return std::to_string(seq) + " " + source + ":" + std::to_string(line) + " " + text;
}

RingReader::RingReader(std::string path) : path_(std::move(path)) {
    std::vector<std::uint8_t> bytes = readAll(path_);
    RingFormat::Image image;
    if (std::string error = RingFormat::parse(bytes, image); !error.empty()) {
        throw RingFileError(path_, error);
    }
    auto ring = std::span<std::uint8_t const>(bytes).subspan(image.header.ringOffset,
                                                             image.header.ringBytes);
    for (std::uint64_t at : image.records) {
        records_.push_back(decodeRecord(ring, at, image.descs));
    }
}

std::vector<std::string> RingReader::lines() const {
    std::vector<std::string> out;
    for (RingRecord const& r : records_) {
        out.push_back(r.rendered());
    }
    return out;
}

}  // namespace Jotter
