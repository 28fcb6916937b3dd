#include "MapMirror.h"

#include <sstream>

#include "DatapathMaps.h"
#include "DatapathTrace.h"

namespace PlinthAgent::Datapath {

namespace {

constexpr std::uint16_t kExactVlan = 0xfff;

std::string text(PlinthL3Unicast::MacVlanTagged const& key) {
    std::ostringstream out;
    out << key;
    return out.str();
}

}  // namespace

std::optional<std::vector<MapMirror::MatchKey>> MapMirror::matchKeys(Key const& key,
                                                                     Entry const& e) const {
    if (e.macAddrMask != Pakt::EthAddr::broadcast()) {
        return std::nullopt;
    }
    std::uint64_t const mac = e.macAddr.value();
    if (key.tagged) {
        if (e.taggedVlanIdMask.value() != kExactVlan) {
            return std::nullopt;
        }
        return std::vector{MatchKey{mac, std::uint16_t(e.taggedVlanId.value() | kTaggedFrame)}};
    }
    if (e.vlanIdMask.value() == 0) {
        return std::vector{MatchKey{mac, kAnyVlan}};
    }
    if (e.vlanIdMask.value() != kExactVlan) {
        return std::nullopt;
    }
    std::vector keys{MatchKey{mac, e.vlanId.value()}};
    // Without tagged entries a primary entry matches tagged frames too.
    if (!tagged_) {
        keys.push_back({mac, std::uint16_t(e.vlanId.value() | kTaggedFrame)});
    }
    return keys;
}

void MapMirror::adoptLeftovers() {
    table_.forEach([&](std::uint64_t key, std::uint32_t flags) {
        std::uint64_t const mac = key >> 16;
        auto const vlan = static_cast<std::uint16_t>(key & ~std::uint64_t(kLiveKey) & 0xffff);
        if (vlan != kAnyVlan) {
            owners_.emplace(MatchKey{mac, vlan}, std::nullopt);
            ++vlanKeys_;
            ++stale_;
            return;
        }
        macFlags_[mac] = flags;
        if ((flags & kMacAnyVlan) != 0) {
            owners_.emplace(MatchKey{mac, kAnyVlan}, std::nullopt);
            ++stale_;
        }
    });
    KEL_TRACE(trace(), 0, kSource, "took over %s keys left by an earlier datapath", stale_);
}

void MapMirror::tableIs(PlinthL3Unicast::MyStationTable const* table, bool taggedEntries) {
    for (auto& [key, owner] : owners_) {
        if (owner) {
            owner.reset();
            ++stale_;
        }
    }
    mirrored_.clear();
    waiting_.clear();
    tagged_ = taggedEntries;
    if (table != nullptr) {
        for (auto const& [key, entry] : table->entries()) {
            entryCommitted(key, entry);
        }
    }
}

void MapMirror::entryCommitted(Key const& key, Entry const& entry) {
    auto const keys = matchKeys(key, entry);
    if (auto it = mirrored_.find(key); it != mirrored_.end()) {
        if (keys && *keys == it->second) {
            return;  // the same match: its count goes on
        }
        unmirror(it);
    }
    waiting_.erase(key);
    if (!keys) {
        wait(key, entry, "its masks are not an exact MAC on one VLAN or on any");
        return;
    }
    mirror(key, entry, *keys);
}

void MapMirror::mirror(Key const& key, Entry const& entry, std::vector<MatchKey> const& keys) {
    std::size_t newVlanKeys = 0;
    std::set<std::uint64_t> newMacs;
    std::set<MatchKey> left;
    for (auto const& k : keys) {
        if (auto owner = owners_.find(k); owner != owners_.end()) {
            if (owner->second) {
                wait(key, entry, "entry " + text(*owner->second) + " matches the same frames");
                return;
            }
            left.insert(k);
            continue;
        }
        newVlanKeys += k.vlan != kAnyVlan ? 1 : 0;
        if (!macFlags_.contains(k.mac)) {
            newMacs.insert(k.mac);
        }
    }
    if (vlanKeys_ + newVlanKeys > capacity_.vlans ||
        macFlags_.size() + newMacs.size() > capacity_.macs) {
        wait(key, entry, "the datapath's maps are full");
        return;
    }
    // VLAN keys go in before their MAC's flags point at them.
    bool placed = true;
    for (auto const& k : keys) {
        owners_[k] = key;  // one left by an earlier table is taken over, count and all
        if (left.contains(k)) {
            --stale_;
        } else if (k.vlan != kAnyVlan) {
            ++vlanKeys_;
            placed = placed && table_.write(table_key(k.mac, k.vlan), 0, true);
        }
    }
    for (auto const& k : keys) {
        placed = placed && macSync(k.mac);
    }
    if (!placed) {
        release(keys, left);
        wait(key, entry, "no free slot near its keys' place in the datapath's table");
        return;
    }
    mirrored_.emplace(key, keys);
}

void MapMirror::unmirror(std::map<Key, std::vector<MatchKey>>::iterator it) {
    auto const keys = std::move(it->second);
    mirrored_.erase(it);
    release(keys, {});
}

void MapMirror::release(std::vector<MatchKey> const& keys, std::set<MatchKey> const& left) {
    for (auto const& k : keys) {
        if (left.contains(k)) {
            owners_[k].reset();
            ++stale_;
        } else {
            owners_.erase(k);
        }
    }
    // The MAC stops pointing at its VLAN keys before they go.
    for (auto const& k : keys) {
        macSync(k.mac);
    }
    for (auto const& k : keys) {
        if (k.vlan != kAnyVlan && !left.contains(k)) {
            table_.erase(table_key(k.mac, k.vlan));
            --vlanKeys_;
        }
    }
}

void MapMirror::entryRemoved(Key const& key) {
    if (waiting_.erase(key) > 0) {
        return;
    }
    if (auto it = mirrored_.find(key); it != mirrored_.end()) {
        unmirror(it);
        retryWaiting();
    }
}

void MapMirror::prune() {
    if (stale_ == 0) {
        return;
    }
    std::vector<MatchKey> stale;
    for (auto const& [k, owner] : owners_) {
        if (!owner) {
            stale.push_back(k);
        }
    }
    for (auto const& k : stale) {
        owners_.erase(k);
    }
    for (auto const& k : stale) {
        macSync(k.mac);
    }
    for (auto const& k : stale) {
        if (k.vlan != kAnyVlan) {
            table_.erase(table_key(k.mac, k.vlan));
            --vlanKeys_;
        }
    }
    stale_ = 0;
    KEL_TRACE(trace(), 0, kSource, "removed %s keys the table does not hold", stale.size());
    retryWaiting();
}

void MapMirror::wait(Key const& key, Entry const& entry, std::string const& why) {
    if (!retrying_) {
        KEL_TRACE(trace(), 0, kSource, "entry %s not mirrored: %s", text(key), why);
    }
    waiting_.insert_or_assign(key, entry);
}

void MapMirror::retryWaiting() {
    if (waiting_.empty() || retrying_) {
        return;
    }
    retrying_ = true;
    for (auto const& [key, entry] : std::exchange(waiting_, {})) {
        entryCommitted(key, entry);
    }
    retrying_ = false;
}

bool MapMirror::macSync(std::uint64_t mac) {
    std::uint32_t flags = 0;
    if (owners_.contains({mac, kAnyVlan})) {
        flags |= kMacAnyVlan;
    }
    if (auto it = owners_.lower_bound({mac, 0});
        it != owners_.end() && it->first.mac == mac && it->first.vlan != kAnyVlan) {
        flags |= kMacVlans;
    }
    auto const known = macFlags_.find(mac);
    std::uint32_t const before = known == macFlags_.end() ? 0 : known->second;
    if (flags == before) {
        return true;
    }
    if (flags == 0) {
        table_.erase(table_key(mac, kAnyVlan));
        macFlags_.erase(known);
        return true;
    }
    // A new entry on any VLAN counts from zero.
    if (!table_.write(table_key(mac, kAnyVlan), flags, (before & kMacAnyVlan) == 0)) {
        return false;
    }
    macFlags_[mac] = flags;
    return true;
}

std::uint64_t MapMirror::hits(Key const& key) const {
    std::uint64_t sum = 0;
    if (auto it = mirrored_.find(key); it != mirrored_.end()) {
        for (auto const& k : it->second) {
            sum += table_.hits(table_key(k.mac, k.vlan));
        }
    }
    return sum;
}

}  // namespace PlinthAgent::Datapath
