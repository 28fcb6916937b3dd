#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "MappedTable.h"
#include "PlinthL3Records/MyStationTable.h"
#include "Program.h"

namespace PlinthAgent::Datapath {

// Keeps the program's table holding what the chip's table holds. Each table
// entry becomes the keys of the frames it matches: a MAC on any VLAN (the
// MAC's own key), or a MAC on one VLAN for untagged or tagged frames. Keys
// that an earlier table (of this agent or of one before it) left go on
// matching until prune(), so frames keep terminating while a new table
// fills.
class MapMirror : public PlinthL3Unicast::MyStationTable::Mirror {
  public:
    MapMirror(MappedTable& table, MapSizes capacity) : table_(table), capacity_(capacity) {}

    // Takes what an earlier datapath left in the maps as keys of no table.
    void adoptLeftovers();
    // Mirrors every entry of a new table (null: none). What the previous
    // table held stays until prune(); keys the new one holds too are taken
    // over with their counts.
    void tableIs(PlinthL3Unicast::MyStationTable const* table, bool taggedEntries);
    void entryCommitted(PlinthL3Unicast::MacVlanTagged const& key,
                        PlinthL3Unicast::MyStationTable::Entry const& entry) override;
    void entryRemoved(PlinthL3Unicast::MacVlanTagged const& key) override;
    // Removes every key that no entry of the current table holds.
    void prune();

    // The frames that the entry under `key` matched; 0 when not mirrored.
    std::uint64_t hits(PlinthL3Unicast::MacVlanTagged const& key) const;
    // Entries the maps do not hold: full, or a match they cannot express.
    std::size_t notMirrored() const { return waiting_.size(); }

  private:
    // A destination MAC with the VLAN bits of the frames it matches, or
    // kAnyVlan for the MAC's own key.
    struct MatchKey {
        std::uint64_t mac;
        std::uint16_t vlan;
        friend auto operator<=>(MatchKey const&, MatchKey const&) = default;
    };
    using Key = PlinthL3Unicast::MacVlanTagged;
    using Entry = PlinthL3Unicast::MyStationTable::Entry;

    std::optional<std::vector<MatchKey>> matchKeys(Key const& key, Entry const& entry) const;
    void mirror(Key const& key, Entry const& entry, std::vector<MatchKey> const& keys);
    void unmirror(std::map<Key, std::vector<MatchKey>>::iterator it);
    // Gives up `keys`: those in `left` go back to an earlier table, the
    // others leave the table.
    void release(std::vector<MatchKey> const& keys, std::set<MatchKey> const& left);
    void wait(Key const& key, Entry const& entry, std::string const& why);
    void retryWaiting();
    // Writes the MAC's flags as owners_ has them (removing the MAC when it
    // has no key left); false when there is no slot for it.
    bool macSync(std::uint64_t mac);

    MappedTable& table_;
    MapSizes capacity_;
    bool tagged_ = false;
    bool retrying_ = false;
    // Who holds each key: an entry of the table, or nobody (left by an
    // earlier table, until prune()).
    std::map<MatchKey, std::optional<Key>> owners_;
    std::size_t vlanKeys_ = 0;
    std::size_t stale_ = 0;
    std::map<Key, std::vector<MatchKey>> mirrored_;
    std::map<Key, Entry> waiting_;
    // The flags of each MAC's own key.
    std::map<std::uint64_t, std::uint32_t> macFlags_;
};

}  // namespace PlinthAgent::Datapath
