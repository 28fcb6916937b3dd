#include "Jotter/RingBuf.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Jotter/RingFormat.h"
#include "Jotter/RingReader.h"

namespace {

using Code = Jotter::MsgFormatString;
namespace fs = std::filesystem;

std::vector<char> fileBytes(fs::path const& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void fileIs(fs::path const& path, std::vector<char> const& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class RingBufTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto const* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("ringbuf-" + std::to_string(::getpid()) + "-" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path file(char const* name) const { return dir_ / name; }

    // One record per call of a site printing "n=%s".
    static void counter(Jotter::RingBuf& ring, std::uint32_t& id, std::uint32_t n) {
        if (id == 0) {
            id = Jotter::MsgDesc(ring, "count", "Test/Counter", 7)
                     .codeAdd(Code::i)
                     .formatIs("n=%s")
                     .finish();
        }
        ring.startMsg(id);
        ring.writeU32(n);
        ring.endMsg();
    }

    fs::path dir_;
};

TEST_F(RingBufTest, EveryCodeRoundTrips) {
    auto path = file("all");
    {
        Jotter::RingBuf ring(path, 8192);
        std::uint32_t id = Jotter::MsgDesc(ring, "site", "Src/Unit", 42)
                               .codeAdd(Code::EC)
                               .codeAdd(Code::i)
                               .codeAdd(Code::s)
                               .codeAdd(Code::b)
                               .codeAdd(Code::u)
                               .codeAdd(Code::q)
                               .codeAdd(Code::p)
                               .codeAdd(Code::x)
                               .codeAdd(Code::i)
                               .formatIs("m=%s i=%s s=%s b=%s u=%s q=%s p=%s%s h=%s.")
                               .finish();
        ASSERT_NE(id, 0U);
        ring.startMsg(id);
        ring.writeEthAddr(Pakt::EthAddr(0x00005e000101));
        ring.writeU32(4000000000U);
        ring.writeU16(65535);
        ring.writeBool(true);
        ring.writeU8(200);
        ring.writeU64(0xdeadbeef12ULL);
        ring.writeText("hello world");
        ring.writeU32(255);
        ring.endMsg();
    }
    Jotter::RingReader reader(path);
    ASSERT_EQ(reader.lines().size(), 1U);
    EXPECT_EQ(reader.lines()[0],
              "0 Src/Unit:42 m=00:00:5e:00:01:01 i=4000000000 s=65535 b=1 u=200 "
              "q=0xdeadbeef12 p=hello world h=ff.");
}

TEST_F(RingBufTest, ValueThatDoesNotFitEndsTheRecord) {
    auto path = file("big");
    {
        Jotter::RingBuf ring(path, 8192);
        std::uint32_t id = Jotter::MsgDesc(ring, "site", "Src/Unit", 1)
                               .codeAdd(Code::i)
                               .codeAdd(Code::p)
                               .codeAdd(Code::i)
                               .formatIs("a=%s t=%s b=%s")
                               .finish();
        ring.startMsg(id);
        ring.writeU32(1);
        ring.writeText(std::string(ring.maxRecordBytes(), 'z'));
        ring.writeU32(2);  // would fit, but must not follow a dropped value
        ring.endMsg();
    }
    EXPECT_EQ(Jotter::RingReader(path).lines().at(0), "0 Src/Unit:1 a=1 t=%s b=%s");
}

TEST_F(RingBufTest, WrapKeepsNewestWholeRecordsInOrder) {
    auto path = file("wrap");
    constexpr std::uint32_t kWritten = 5000;
    {
        Jotter::RingBuf ring(path, 4096);
        std::uint32_t id = 0;
        for (std::uint32_t n = 0; n < kWritten; ++n) {
            counter(ring, id, n);
        }
    }
    Jotter::RingReader reader(path);
    auto const& records = reader.records();
    ASSERT_GT(records.size(), 50U);  // a 24-byte record in a 4 KiB ring
    ASSERT_LT(records.size(), kWritten);
    for (std::size_t k = 0; k < records.size(); ++k) {
        std::uint64_t seq = kWritten - records.size() + k;
        EXPECT_EQ(records[k].seq, seq);
        EXPECT_EQ(records[k].text, "n=" + std::to_string(seq));
    }
}

TEST_F(RingBufTest, ReopenContinuesAfterNewestRecordAndReusesDescriptions) {
    auto path = file("again");
    for (std::uint32_t run = 0; run < 3; ++run) {
        Jotter::RingBuf ring(path, 4096);
        std::uint32_t id = 0;
        counter(ring, id, run * 2);
        counter(ring, id, run * 2 + 1);
        EXPECT_EQ(id, 1U);
    }
    Jotter::RingReader reader(path);
    ASSERT_EQ(reader.records().size(), 6U);
    EXPECT_EQ(reader.lines().front(), "0 Test/Counter:7 n=0");
    EXPECT_EQ(reader.lines().back(), "5 Test/Counter:7 n=5");
}

TEST_F(RingBufTest, DefaultHandleLifecycle) {
    EXPECT_EQ(Jotter::defaultHandle(), nullptr);
    Jotter::flushDefault();  // harmless without a ring
    Jotter::defaultHandleIs(file("default"), 4096);
    ASSERT_NE(Jotter::defaultHandle(), nullptr);
    EXPECT_EQ(Jotter::defaultHandle()->path(), file("default"));
    Jotter::flushDefault();
    EXPECT_THROW(Jotter::defaultHandleIs(dir_, 4096), Jotter::RingFileError);
    EXPECT_NE(Jotter::defaultHandle(), nullptr);  // a failed switch keeps the old ring
    Jotter::defaultHandleDel();
    EXPECT_EQ(Jotter::defaultHandle(), nullptr);
}

// ---- damaged and foreign files ----------------------------------------------

struct Damage {
    char const* name;
    void (*apply)(std::vector<char>& bytes);
    char const* reason;
};

template <class T>
void poke(std::vector<char>& bytes, std::size_t at, T value) {
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

Damage const kDamages[] = {
    {"Empty", [](std::vector<char>& b) { b.clear(); }, "empty file"},
    {"Foreign", [](std::vector<char>& b) { b.assign(5000, 'A'); }, "bad magic"},
    {"ShortForeign", [](std::vector<char>& b) { b.assign(5, 'x'); }, "bad magic"},
    {"ShortHeader", [](std::vector<char>& b) { b.resize(20); }, "truncated"},
    {"CutRing", [](std::vector<char>& b) { b.resize(b.size() - 100); }, "truncated"},
    {"Version", [](std::vector<char>& b) { poke<std::uint32_t>(b, 8, 99); }, "version 99"},
    {"DescOutOfFile",
     [](std::vector<char>& b) {
         poke<std::uint64_t>(b, offsetof(Jotter::RingFormat::FileHeader, descBytes), ~0ULL);
     },
     "description area"},
    {"HeadOutOfRing",
     [](std::vector<char>& b) {
         poke<std::uint64_t>(b, offsetof(Jotter::RingFormat::FileHeader, head), 1ULL << 40);
     },
     "ring position"},
    {"CountTooLarge",
     [](std::vector<char>& b) {
         poke<std::uint64_t>(b, offsetof(Jotter::RingFormat::FileHeader, count), 1ULL << 40);
     },
     "ring position"},
    {"DescLength",
     [](std::vector<char>& b) {
         poke<std::uint32_t>(b, Jotter::RingFormat::kHeaderArea, 0xfffffff0U);
     },
     "entry length"},
    {"RecordLength",
     [](std::vector<char>& b) {
         poke<std::uint32_t>(b, Jotter::RingFormat::kHeaderArea + Jotter::RingFormat::kDescArea,
                             0xfffffff0U);
     },
     "record 0: length"},
    {"RecordDesc",
     [](std::vector<char>& b) {
         poke<std::uint32_t>(b, Jotter::RingFormat::kHeaderArea + Jotter::RingFormat::kDescArea + 4,
                             77);
     },
     "unknown description"},
};

class DamagedFileTest : public RingBufTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedFileTest, RejectedWithReasonAndLeftAlone) {
    auto path = file("damaged");
    {
        Jotter::RingBuf ring(path, 4096);
        std::uint32_t id = 0;
        counter(ring, id, 1);
    }
    std::vector<char> bytes = fileBytes(path);
    GetParam().apply(bytes);
    fileIs(path, bytes);
    try {
        Jotter::RingReader reader(path);
        FAIL() << "read a damaged file";
    } catch (Jotter::RingFileError const& e) {
        EXPECT_EQ(e.path(), path.string());
        EXPECT_NE(e.reason().find(GetParam().reason), std::string::npos) << e.reason();
    }
    if (!bytes.empty()) {  // an empty file is simply taken over by a writer
        EXPECT_THROW(Jotter::RingBuf(path, 4096), Jotter::RingFileError);
        EXPECT_EQ(fileBytes(path), bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, DamagedFileTest, ::testing::ValuesIn(kDamages),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(RingBufTest, OtherSizeAndMissingFileAreRefused) {
    auto path = file("sized");
    { Jotter::RingBuf ring(path, 4096); }
    EXPECT_THROW(Jotter::RingBuf(path, 8192), Jotter::RingFileError);
    try {
        Jotter::RingReader reader(file("absent"));
        FAIL() << "read a missing file";
    } catch (Jotter::RingFileError const& e) {
        EXPECT_NE(std::string(e.what()).find("absent"), std::string::npos);
    }
}

}  // namespace
