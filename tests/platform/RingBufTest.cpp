#include "Jotter/RingBuf.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "Duplex/RingReader.h"

namespace {

namespace fs = std::filesystem;
using Code = Jotter::MsgFormatString;
using namespace ::testing;

// A RingFileError whose text starts with the file and names the fault.
auto refusal(std::string const& path, char const* reason) {
    return ThrowsMessage<Jotter::RingFileError>(AllOf(StartsWith(path + ": "), HasSubstr(reason)));
}

// Records n = from..to-1 from a site printing "n=%s %s", the second value
// `width` characters of text.
void count(Jotter::RingBuf& ring, std::uint32_t from, std::uint32_t to, std::size_t width) {
    Code const codes[] = {Code::i, Code::p};
    std::uint32_t const id = ring.describe("count", "Test/Counter", 7, "n=%s %s", codes);
    for (std::uint32_t n = from; n < to; ++n) {
        ring.startMsg(id);
        ring.put(&n, sizeof n);
        ring.putText(std::string(width, 'x'));
        ring.endMsg();
    }
}

struct RingBufTest : ::testing::Test {
    void SetUp() override { fs::create_directories(dir_); }
    void TearDown() override {
        Jotter::defaultHandleDel();
        fs::remove_all(dir_);
    }

    fs::path const dir_ = fs::temp_directory_path() / ("ringbuf-" + std::to_string(::getpid()));
    std::string const path_ = (dir_ / "ring").string();
};

// The ring wraps many times over, keeping the newest records oldest first;
// the last one is shorter than what it overwrites. Records written before
// the process dies are in the file, and one cut short is not read: here the
// first of a segment that still holds the records of an earlier lap.
TEST_F(RingBufTest, WrapsAndSurvivesTheProcessDyingWithoutTheRecordCutShort) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Jotter::RingBuf ring(path_, 4096);
        count(ring, 0, 999, 98);
        count(ring, 999, 1000, 30);
        ring.startMsg(1);
        ring.put(&child, sizeof child);
        ::raise(SIGKILL);  // half-way through a record, without any clean-up
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    auto const lines = Duplex::ringLines(path_);
    ASSERT_TRUE(lines.size() > 20U && lines.size() < 35U) << lines.size();  // 112-byte records
    for (std::size_t i = 0, n = 1000 - lines.size(); i < lines.size(); ++i, ++n) {
        EXPECT_EQ(lines[i], std::to_string(n) + " Test/Counter:7 n=" + std::to_string(n) + " " +
                                std::string(n < 999 ? 98 : 30, 'x'));
    }
}

// ---- damaged and foreign files ----------------------------------------------

using Header = Jotter::RingFormat::FileHeader;

template <class T>
void poke(std::string& bytes, std::size_t at, T value) {
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

// Where the record ring starts in a file of this layout.
std::size_t ringAt(std::string const& bytes) {
    Header h;
    std::memcpy(&h, bytes.data(), sizeof h);
    return sizeof h + h.descBytes;
}

struct Damage {
    char const* name;
    char const* reason;
    void (*apply)(std::string& bytes);
};

// clang-format off
Damage const kDamages[] = {
    {.name = "Empty", .reason = "empty file", .apply = [](std::string& b) { b.clear(); }},
    {.name = "Foreign", .reason = "bad magic", .apply = [](std::string& b) { b.assign(5000, 'A'); }},
    {.name = "ShortHeader", .reason = "truncated", .apply = [](std::string& b) { b.resize(20); }},
    {.name = "CutRing", .reason = "truncated", .apply = [](std::string& b) { b.resize(b.size() - 100); }},
    {.name = "Version", .reason = "version 99", .apply = [](std::string& b) { poke<std::uint64_t>(b, offsetof(Header, version), 99); }},
    {.name = "DescLength", .reason = "description 1: length", .apply = [](std::string& b) { poke<std::uint32_t>(b, sizeof(Header), 0xfffffff0U); }},
    {.name = "DescCode", .reason = "corrupt description 1", .apply = [](std::string& b) { poke<std::uint8_t>(b, sizeof(Header) + 9, 0); }},
    {.name = "RecordDesc", .reason = "unknown description", .apply = [](std::string& b) { poke<std::uint32_t>(b, ringAt(b) + 12, 77); }},
};
// clang-format on

TEST_F(RingBufTest, DamagedOrForeignFilesAreRefusedWithTheFileAndTheFault) {
    for (auto [path, writing, reading] : {std::tuple{dir_, "Is a directory", "not a regular file"},
                                          {dir_ / "no" / "ring", "cannot open", "cannot open"}}) {
        EXPECT_THAT([&] { Jotter::defaultHandleIs(path, 4096); }, refusal(path, writing));
        EXPECT_THAT([&] { Duplex::ringLines(path); }, refusal(path, reading));
    }
    {
        Jotter::RingBuf ring(path_, 4096);
        count(ring, 1, 2, 3);
    }
    std::ifstream in(path_, std::ios::binary);
    std::string const good{std::istreambuf_iterator<char>(in), {}};
    for (Damage const& d : kDamages) {
        std::string bytes = good;
        d.apply(bytes);
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << bytes;
        EXPECT_THAT([&] { Duplex::ringLines(path_); }, refusal(path_, d.reason)) << d.name;
    }
}

}  // namespace
