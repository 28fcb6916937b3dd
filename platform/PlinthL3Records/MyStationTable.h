#pragma once

#include <cstdint>

#include "Asic/ChipProfile.h"
#include "Asic/SwTable.h"
#include "Kel/Collection.h"
#include "Kel/Error.h"
#include "Kel/Type.h"
#include "PlinthL3Records/MacVlan.h"

namespace PlinthL3Unicast {

// The chip's My Station table: masked MAC + VLAN entries whose hit sends a
// frame to L3 routing.
class MyStationTable : public Asic::SwTable {
  public:
    // The value of one table entry, as the chip holds it.
    struct Entry {
        virtual ~Entry() = default;

        std::uint8_t entryFlag1 = 0;
        std::uint8_t entryFlag2 = 0;
        std::uint8_t entryFlag3 = 0;
        Kel::U12 vlanId;
        Kel::U12 vlanIdMask;
        Pakt::EthAddr macAddr;
        Pakt::EthAddr macAddrMask;
        std::uint8_t entryFlag4 = 0;
        Kel::U12 taggedVlanId;
        Kel::U12 taggedVlanIdMask;
        Asic::WriteResponseFn writeResponse;

        // Compares what the chip holds; the response callback is not part of it.
        bool operator==(Entry const& other) const;
    };
    using Entries = Kel::Collection<MacVlanTagged, Entry>;

    // What else holds the table's entries, told of each change after the
    // table made it: a datapath that does the chip's work on real frames.
    class Mirror {
      public:
        virtual void entryCommitted(MacVlanTagged const& key, Entry const& entry) = 0;
        // Only for a key that was in the table.
        virtual void entryRemoved(MacVlanTagged const& key) = 0;

      protected:
        ~Mirror() = default;
    };

    // The entries the chip's table holds. The software table does not
    // refuse more; what sits beyond this would not be in the chip.
    static constexpr std::size_t kCapacity = 16384;

    // The software copy holds what the chip can from the start, as the chip's
    // own memory does: filling a new table moves no entry to grow it.
    MyStationTable() : Asic::SwTable("myStationTable") { entries_.reserve(kCapacity); }
    Kel::TypeImpl const* fwkType() const override {
        return Kel::plainType<MyStationTable>("PlinthL3Unicast::MyStationTable");
    }

    // Writes or replaces the entry under `key`. The software table takes it
    // at once: the response, if any, runs before this returns, and there is
    // no pending write to hand back (null).
    Kel::Ptr<Asic::PendingWrite> entryCommit(MacVlanTagged const& key, Entry const& entry);
    // Removing an absent key does nothing.
    void entryRemove(MacVlanTagged const& key);
    void entryRemoveAll();
    std::size_t entrys() const { return entries_.size(); }

    Entries const& entries() const { return entries_; }
    Entry const* entry(MacVlanTagged const& key) const { return entries_.find(key); }

    // Not owned by the table; null for none. Entries already in the table
    // are not replayed to it.
    void mirrorIs(Mirror* mirror) { mirror_ = mirror; }

  private:
    Entries entries_;
    Mirror* mirror_ = nullptr;
};

Kel::Ptr<MyStationTable> myStationTableFactory();

// The chip's My Station feature in its profile.
class MyStationAttr : public Asic::Feature {
  public:
    explicit MyStationAttr(bool taggedEntryNeeded) : taggedEntryNeeded_(taggedEntryNeeded) {}
    Kel::TypeImpl const* fwkType() const override;

    // Whether a key with a non-zero VLAN needs a second entry for tagged frames.
    bool taggedEntryNeeded() const { return taggedEntryNeeded_; }

  private:
    bool taggedEntryNeeded_;
};

// The type record that keys MyStationAttr in a chip profile.
Kel::TypeImpl const* myStationAttrType();

}  // namespace PlinthL3Unicast
