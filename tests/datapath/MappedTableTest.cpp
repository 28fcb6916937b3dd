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

constexpr std::uint32_t kCpus = 2;

// A table of `slots` on two memory files, and a view of the same memory.
class MappedTableTest : public ::testing::Test {
  protected:
    void SetUpTable(std::uint32_t slots) {
        slots_ = slots;
        for (int* fd : {&tableFd_, &hitsFd_}) {
            *fd = ::memfd_create("mapped-table-test", 0);
            ASSERT_EQ(::ftruncate(*fd, 1 << 20), 0);
        }
        table_.emplace(tableFd_, hitsFd_, slots, kCpus);
        view_ = static_cast<D::table_slot*>(
            ::mmap(nullptr, 1 << 20, PROT_READ, MAP_SHARED, tableFd_, 0));
        counts_ = static_cast<std::uint64_t*>(
            ::mmap(nullptr, 1 << 20, PROT_READ | PROT_WRITE, MAP_SHARED, hitsFd_, 0));
    }
    void TearDown() override {
        table_.reset();
        ::munmap(view_, 1 << 20);
        ::munmap(counts_, 1 << 20);
        ::close(tableFd_);
        ::close(hitsFd_);
    }
    // Keys whose probes all start at slot `home`.
    std::vector<std::uint64_t> keysAt(std::uint32_t home, std::size_t n) const {
        std::vector<std::uint64_t> keys;
        for (std::uint64_t mac = 1; keys.size() < n; ++mac) {
            if (D::table_home(D::table_key(mac, D::kAnyVlan), slots_ - 1) == home) {
                keys.push_back(D::table_key(mac, D::kAnyVlan));
            }
        }
        return keys;
    }
    // What slots 2 to 4 hold.
    std::vector<std::uint64_t> run() const { return {view_[2].key, view_[3].key, view_[4].key}; }
    std::uint64_t& count(std::uint32_t cpu, std::uint32_t at) { return counts_[cpu * slots_ + at]; }
    std::size_t liveKeys() const {
        std::size_t n = 0;
        table_->forEach([&](std::uint64_t, std::uint32_t) { ++n; });
        return n;
    }

    std::uint32_t slots_ = 0;
    int tableFd_ = -1;
    int hitsFd_ = -1;
    std::optional<D::MappedTable> table_;
    D::table_slot* view_ = nullptr;
    std::uint64_t* counts_ = nullptr;
};

TEST_F(MappedTableTest, KeysPastAFreedSlotStayFoundUntilTheRunIsNeverUsedAgain) {
    SetUpTable(8);
    auto const keys = keysAt(2, 4);
    auto const [a, b, c, d] = std::array{keys[0], keys[1], keys[2], keys[3]};
    for (auto key : {a, b, c}) {
        ASSERT_TRUE(table_->write(key, D::kMacAnyVlan, false));
    }
    EXPECT_EQ(run(), (std::vector{a, b, c}));
    count(1, 4) = 5;
    EXPECT_EQ(table_->hits(c), 5U);

    table_->erase(b);  // c was placed past it
    EXPECT_EQ(view_[3].key, std::uint64_t(D::kFreed));
    EXPECT_EQ(table_->hits(c), 5U);

    count(0, 3) = 7;  // left by b's frames
    ASSERT_TRUE(table_->write(d, D::kMacVlans, false));
    EXPECT_EQ(view_[3].key, d);
    EXPECT_EQ(view_[3].flags, std::uint32_t(D::kMacVlans));
    EXPECT_EQ(table_->hits(d), 0U) << "a new key counts from zero";
    count(0, 3) = 7;
    ASSERT_TRUE(table_->write(d, D::kMacAnyVlan, false));
    EXPECT_EQ(table_->hits(d), 7U) << "a flags change keeps the count";
    ASSERT_TRUE(table_->write(d, D::kMacAnyVlan, true));
    EXPECT_EQ(table_->hits(d), 0U);

    table_->erase(d);
    EXPECT_EQ(view_[3].key, std::uint64_t(D::kFreed));
    table_->erase(c);  // the last of the run: it and the freed slot before it
    EXPECT_EQ(run(), (std::vector<std::uint64_t>{a, D::kNeverUsed, D::kNeverUsed}));
    EXPECT_EQ(liveKeys(), 1U);
}

TEST_F(MappedTableTest, AFullTableRefusesANewKeyButNotAChange) {
    SetUpTable(4);
    auto const keys = keysAt(1, 5);
    for (std::size_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(table_->write(keys[i], D::kMacAnyVlan, false));
    }
    EXPECT_FALSE(table_->write(keys[4], D::kMacAnyVlan, false));
    EXPECT_TRUE(table_->write(keys[3], D::kMacVlans, false));
    EXPECT_EQ(liveKeys(), 4U);
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
    SetUpTable(4);
    D::MapMirror mirror(*table_, {.macs = 8, .vlans = 8});
    mirror.tableIs(nullptr, false);
    auto const any1 = entry(0x021c73000001, 0);
    auto const any2 = entry(0x021c73000002, 0);
    auto const onVlan = entry(0x021c73000003, 10);  // untagged and tagged keys, and the MAC's
    mirror.entryCommitted(any1.first, any1.second);
    mirror.entryCommitted(any2.first, any2.second);
    mirror.entryCommitted(onVlan.first, onVlan.second);
    EXPECT_EQ(mirror.notMirrored(), 1U);
    EXPECT_EQ(liveKeys(), 2U);

    mirror.entryRemoved(any1.first);  // room again: the waiting entry goes in
    EXPECT_EQ(mirror.notMirrored(), 0U);
    std::set<std::uint64_t> held;
    table_->forEach([&](std::uint64_t key, std::uint32_t) { held.insert(key); });
    std::uint64_t const mac = 0x021c73000003;
    EXPECT_EQ(held, (std::set<std::uint64_t>{
                        D::table_key(0x021c73000002, D::kAnyVlan), D::table_key(mac, 10),
                        D::table_key(mac, 10 | D::kTaggedFrame), D::table_key(mac, D::kAnyVlan)}));
}

}  // namespace
