#include "Jotter/RingBuf.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Duplex/RingReader.h"

namespace {

namespace fs = std::filesystem;
using Code = Jotter::MsgFormatString;

std::string fileText(fs::path const& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void fileIs(fs::path const& path, std::string const& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Records n = from..to-1 from a site printing "n=%s %s", the second value
// `width` characters of text.
void count(Jotter::RingBuf& ring, std::uint32_t from, std::uint32_t to, std::size_t width = 3) {
    Code const codes[] = {Code::i, Code::p};
    std::uint32_t id = ring.describe("count", "Test/Counter", 7, "n=%s %s", codes);
    for (std::uint32_t n = from; n < to; ++n) {
        ring.startMsg(id);
        ring.put(&n, sizeof n);
        ring.putText(std::string(width, 'x'));
        ring.endMsg();
    }
}

// The lines of count(from, to, width) when the first of them was record `seq`.
std::vector<std::string> counted(std::uint32_t from, std::uint32_t to, std::uint32_t seq,
                                 std::size_t width = 3) {
    std::vector<std::string> out;
    for (std::uint32_t n = from; n < to; ++n) {
        out.push_back(std::to_string(seq + n - from) + " Test/Counter:7 n=" + std::to_string(n) +
                      " " + std::string(width, 'x'));
    }
    return out;
}

class RingBufTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("ringbuf-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "ring").string();
    }
    void TearDown() override {
        Jotter::defaultHandleDel();
        fs::remove_all(dir_);
    }

    fs::path dir_;
    std::string path_;
};

TEST_F(RingBufTest, WrapKeepsTheNewestRecordsOldestFirst) {
    {
        Jotter::RingBuf ring(path_, 4096);
        count(ring, 0, 5000, 98);
        count(ring, 5000, 5001, 0);  // shorter than the records it overwrites
    }
    std::vector<std::string> lines = Duplex::ringLines(path_);
    ASSERT_GT(lines.size(), 20U);  // 120-byte records in a 4 KiB ring
    ASSERT_LT(lines.size(), 35U);
    std::uint32_t first = 5001 - lines.size();
    std::vector<std::string> expected = counted(first, 5000, first, 98);
    expected.push_back("5000 Test/Counter:7 n=5000 ");
    EXPECT_EQ(lines, expected);
}

TEST_F(RingBufTest, RecordsSurviveTheProcessDyingAndOneCutShortIsNotRead) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Jotter::defaultHandleIs(path_, 4096);
        Jotter::RingBuf& ring = *Jotter::defaultHandle();
        count(ring, 0, 1000, 98);
        ring.startMsg(1);
        ring.put(&child, sizeof child);
        ::raise(SIGKILL);  // half-way through a record, without any clean-up
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    std::vector<std::string> lines = Duplex::ringLines(path_);
    ASSERT_GT(lines.size(), 20U);
    std::uint32_t first = 1000 - lines.size();
    EXPECT_EQ(lines, counted(first, 1000, first, 98));
}

TEST_F(RingBufTest, ANewRingStartsAfreshAndRefusesToOverwriteOtherFiles) {
    Jotter::defaultHandleIs(path_, 4096);
    count(*Jotter::defaultHandle(), 0, 5);
    Jotter::defaultHandleIs(path_, 4096);
    count(*Jotter::defaultHandle(), 7, 9);
    EXPECT_EQ(Duplex::ringLines(path_), counted(7, 9, 0));

    fileIs(dir_ / "notes", "precious");
    for (auto [path, reason] : {std::pair{dir_ / "notes", "not a ring file"},
                                {dir_, "Is a directory"},
                                {dir_ / "no" / "ring", "cannot open"}}) {
        try {
            Jotter::defaultHandleIs(path, 4096);
            ADD_FAILURE() << "took over " << path;
        } catch (Jotter::RingFileError const& e) {
            EXPECT_NE(std::string(e.what()).find(path.string() + ": "), std::string::npos);
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(fileText(dir_ / "notes"), "precious");
    count(*Jotter::defaultHandle(), 9, 10);  // the earlier ring is still in place
    EXPECT_EQ(Duplex::ringLines(path_), counted(7, 10, 0));
}

// ---- damaged and foreign files ----------------------------------------------

struct Damage {
    char const* name;
    void (*apply)(std::string& bytes);
    char const* reason;
};

template <class T>
void poke(std::string& bytes, std::size_t at, T value) {
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

using Header = Jotter::RingFormat::FileHeader;

// Where the record ring starts in a file of this layout.
std::size_t ringAt(std::string const& bytes) {
    Header h;
    std::memcpy(&h, bytes.data(), sizeof h);
    return sizeof h + h.descBytes;
}

Damage const kDamages[] = {
    {"Empty", [](std::string& b) { b.clear(); }, "empty file"},
    {"Foreign", [](std::string& b) { b.assign(5000, 'A'); }, "bad magic"},
    {"ShortForeign", [](std::string& b) { b.assign(5, 'x'); }, "bad magic"},
    {"ShortHeader", [](std::string& b) { b.resize(20); }, "truncated"},
    {"CutRing", [](std::string& b) { b.resize(b.size() - 100); }, "truncated"},
    {"Version", [](std::string& b) { poke<std::uint64_t>(b, offsetof(Header, version), 99); },
     "version 99"},
    {"DescAreaTooBig",
     [](std::string& b) { poke<std::uint64_t>(b, offsetof(Header, descBytes), ~0ULL); },
     "truncated"},
    {"RingSize", [](std::string& b) { poke<std::uint64_t>(b, offsetof(Header, ringBytes), 100); },
     "ring size 100"},
    {"DescLength", [](std::string& b) { poke<std::uint32_t>(b, sizeof(Header), 0xfffffff0U); },
     "description 1: length"},
    {"DescCode", [](std::string& b) { poke<std::uint8_t>(b, sizeof(Header) + 9, 0); },
     "corrupt description 1"},
    {"RecordLength", [](std::string& b) { poke<std::uint32_t>(b, ringAt(b), 0xfffffff0U); },
     "record at ring offset 0: length"},
    {"RecordDesc", [](std::string& b) { poke<std::uint32_t>(b, ringAt(b) + 4, 77); },
     "unknown description"},
};

class DamagedFileTest : public RingBufTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedFileTest, IsRefusedWithTheFileAndTheFault) {
    {
        Jotter::RingBuf ring(path_, 4096);
        count(ring, 1, 2);
    }
    std::string bytes = fileText(path_);
    GetParam().apply(bytes);
    fileIs(path_, bytes);
    try {
        Duplex::ringLines(path_);
        FAIL() << "read a damaged file";
    } catch (Jotter::RingFileError const& e) {
        std::string what = e.what();
        EXPECT_EQ(what.rfind(path_ + ": ", 0), 0U) << what;
        EXPECT_NE(what.find(GetParam().reason), std::string::npos) << what;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, DamagedFileTest, ::testing::ValuesIn(kDamages),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
