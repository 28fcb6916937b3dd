#include "Duplex/RingReader.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "Duplex/JotterConverter.h"
#include "Jotter/RingFormat.h"
#include "Pakt/EthAddr.h"

namespace Duplex {

namespace {

using Jotter::MsgFormatString;
using Jotter::RingFormat::Cursor;

std::string hex(std::uint64_t value) {
    char text[2 + 16] = {'0', 'x'};
    return {text, std::to_chars(text + 2, std::end(text), value, 16).ptr};
}

// Feeds one value to `out`; false when the record holds no more of them,
// where the writer ran out of room.
bool feed(MsgFormatString code, Cursor& in, JotterConverter& out) {
    auto put = [&](auto const& value) {
        if (in.ok) {
            out << value;
        }
        return in.ok;
    };
    switch (code) {
        case MsgFormatString::EC:
            return put(Pakt::EthAddr::fromBytes(in.read<std::array<std::uint8_t, 6>>().data()));
        case MsgFormatString::i:
            return put(in.read<std::uint32_t>());
        case MsgFormatString::s:
            return put(in.read<std::uint16_t>());
        case MsgFormatString::b:
            return put(in.read<std::uint8_t>() != 0);
        case MsgFormatString::u:
            return put(in.read<std::uint8_t>());
        case MsgFormatString::q:
            return put(hex(in.read<std::uint64_t>()));
        case MsgFormatString::p:
            return put(in.text());
        case MsgFormatString::x:
            out << std::hex;
            return true;
    }
    return false;
}

// The bytes of the ring file at `path`. Only a regular file is read: a FIFO
// would wait for a writer for ever, a device could run on until memory runs
// out.
std::vector<std::uint8_t> ringBytes(std::string const& path) {
    std::error_code unknown;  // then opening it says why
    auto const status = std::filesystem::status(path, unknown);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        throw Jotter::RingFileError(path, "not a regular file");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw Jotter::RingFileError(path, std::string("cannot open: ") + std::strerror(errno));
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> readLines(std::string const& path) {
    std::vector<std::uint8_t> const bytes = ringBytes(path);
    Jotter::RingFormat::Image image;
    if (std::string error = Jotter::RingFormat::parse(bytes, image); !error.empty()) {
        throw Jotter::RingFileError(path, error);
    }
    std::vector<std::string> lines;
    for (auto const& record : image.records) {
        Jotter::RingFormat::Desc const& desc = image.descs[record.descId - 1];
        JotterConverter text;
        text << desc.format;
        Cursor values{record.values};
        for (MsgFormatString code : desc.codes) {
            if (!feed(code, values, text)) {
                break;
            }
        }
        lines.push_back(std::to_string(record.seq) + " " + desc.source + ":" +
                        std::to_string(desc.line) + " " + text.str());
    }
    return lines;
}

}  // namespace

std::vector<std::string> ringLines(std::string const& path) {
    try {
        return readLines(path);
    } catch (Jotter::RingFileError const&) {
        throw;
    } catch (std::exception const& e) {  // a read error, or too little memory
        throw Jotter::RingFileError(path, std::string("cannot read: ") + e.what());
    }
}

}  // namespace Duplex
