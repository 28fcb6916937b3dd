// The open-addressed table the program reads, on plain shared memory: the
// probing and freeing rules do not need a kernel, and the test sees every
// slot as the program would.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <set>

#include "MapMirror.h"

namespace {

namespace D = PlinthAgent::Datapath;

constexpr std::uint32_t kCpus = 2, kSlots = 8;

// A page of shared memory, as a map the program reads would be.
struct Page {
    Page() : fd(::memfd_create("mapped-table-test", 0)) {
        EXPECT_EQ(::ftruncate(fd, 4096), 0);
        at = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    ~Page() {
        ::munmap(at, 4096);
        ::close(fd);
    }
    int fd;
    void* at;
};

// A table of eight slots, with a view of its memory as the program sees it.
class MappedTableTest : public ::testing::Test {
  protected:
    // Keys whose probes all start at slot `home`.
    static std::vector<std::uint64_t> keysAt(std::uint32_t home, std::size_t n) {
        std::vector<std::uint64_t> keys;
        for (std::uint64_t mac = 1; keys.size() < n; ++mac) {
            if (D::table_home(D::table_key(mac, D::kAnyVlan), kSlots - 1) == home) {
                keys.push_back(D::table_key(mac, D::kAnyVlan));
            }
        }
        return keys;
    }
    // What slots 2 to 4 hold.
    std::vector<std::uint64_t> run() const { return {view_[2].key, view_[3].key, view_[4].key}; }
    std::uint64_t& count(std::uint32_t cpu, std::uint32_t at) {
        return static_cast<std::uint64_t*>(counts_.at)[cpu * kSlots + at];
    }
    std::set<std::uint64_t> held() const {
        std::set<std::uint64_t> keys;
        table_.forEach([&](std::uint64_t key, std::uint32_t) { keys.insert(key); });
        return keys;
    }

    Page slots_, counts_;
    D::MappedTable table_{slots_.fd, counts_.fd, kSlots, kCpus};
    D::table_slot const* view_ = static_cast<D::table_slot const*>(slots_.at);
};

TEST_F(MappedTableTest, KeysPastAFreedSlotStayFoundUntilTheRunIsNeverUsedAgain) {
    auto const keys = keysAt(2, 4);
    auto const [a, b, c, d] = std::array{keys[0], keys[1], keys[2], keys[3]};
    for (auto key : {a, b, c}) {
        ASSERT_TRUE(table_.write(key, D::kMacAnyVlan, false));
    }
    EXPECT_EQ(run(), (std::vector{a, b, c}));
    count(1, 4) = 5;
    EXPECT_EQ(table_.hits(c), 5U);

    table_.erase(b);  // c was placed past it
    EXPECT_EQ(view_[3].key, std::uint64_t(D::kFreed));
    EXPECT_EQ(table_.hits(c), 5U);

    count(0, 3) = 7;  // left by b's frames
    ASSERT_TRUE(table_.write(d, D::kMacVlans, false));
    EXPECT_EQ(view_[3].key, d);
    EXPECT_EQ(view_[3].flags, std::uint32_t(D::kMacVlans));
    EXPECT_EQ(table_.hits(d), 0U) << "a new key counts from zero";
    count(0, 3) = 7;
    ASSERT_TRUE(table_.write(d, D::kMacAnyVlan, false));
    EXPECT_EQ(table_.hits(d), 7U) << "a flags change keeps the count";
    ASSERT_TRUE(table_.write(d, D::kMacAnyVlan, true));
    EXPECT_EQ(table_.hits(d), 0U);

    table_.erase(d);
    EXPECT_EQ(view_[3].key, std::uint64_t(D::kFreed));
    table_.erase(c);  // the last of the run: it and the freed slot before it
    EXPECT_EQ(run(), (std::vector<std::uint64_t>{a, D::kNeverUsed, D::kNeverUsed}));
    EXPECT_EQ(held(), std::set{a});
}

TEST_F(MappedTableTest, AFullTableRefusesANewKeyButNotAChange) {
    auto const keys = keysAt(1, kSlots + 1);
    for (std::size_t i = 0; i < kSlots; ++i) {
        ASSERT_TRUE(table_.write(keys[i], D::kMacAnyVlan, false));
    }
    EXPECT_FALSE(table_.write(keys[kSlots], D::kMacAnyVlan, false));
    EXPECT_TRUE(table_.write(keys[0], D::kMacVlans, false));
    EXPECT_EQ(held().size(), kSlots);
}

// The entry the plug-in commits for a MAC on any VLAN (0) or on one.
std::pair<PlinthL3Unicast::MacVlanTagged, PlinthL3Unicast::MyStationTable::Entry> entry(
    std::uint64_t mac, std::uint16_t vlan) {
    PlinthL3Unicast::MyStationTable::Entry e;
    e.macAddr = Pakt::EthAddr(mac);
    e.macAddrMask = Pakt::EthAddr::broadcast();
    e.vlanId = Kel::U12(vlan);
    e.vlanIdMask = Kel::U12(vlan != 0 ? 0xfff : 0);
    return {{e.macAddr, vlan, e.vlanIdMask.value(), e.macAddrMask, false}, e};
}

TEST_F(MappedTableTest, AnEntryWithoutRoomForAllItsKeysLeavesNoneAndWaits) {
    D::MapMirror mirror(table_, {.macs = 16, .vlans = 16});
    mirror.tableIs(nullptr, false);
    for (std::uint64_t mac = 1; mac <= kSlots - 2; ++mac) {
        auto const [key, e] = entry(mac, 0);
        mirror.entryCommitted(key, e);
    }
    std::uint64_t const mac = 0x021c73000003;
    auto const [onVlan, e] = entry(mac, 10);  // its untagged and tagged keys, and the MAC's
    mirror.entryCommitted(onVlan, e);
    EXPECT_EQ(mirror.notMirrored(), 1U);
    EXPECT_EQ(held().size(), kSlots - 2);

    mirror.entryRemoved(entry(1, 0).first);  // room again: the waiting entry goes in
    EXPECT_EQ(mirror.notMirrored(), 0U);
    EXPECT_EQ(held().size(), kSlots);
    EXPECT_TRUE(held().contains(D::table_key(mac, 10)) &&
                held().contains(D::table_key(mac, D::kAnyVlan)) &&
                held().contains(D::table_key(mac, 10 | D::kTaggedFrame)));
}

}  // namespace
