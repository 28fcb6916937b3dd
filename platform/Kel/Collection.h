#pragma once

#include <absl/container/flat_hash_map.h>
#include <absl/hash/hash.h>

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace Kel {

// A keyed collection attribute: a hash map that tells its owner whether a
// write changed anything, so that the owner notifies only real changes.
// Iteration visits each element once, in no defined order.
//
// The elements sit in one array (open addressing), which keeps a table of
// 100,000 entries in a few contiguous blocks instead of 100,000 heap nodes.
// The price: any write may move every element, so a pointer from find() or
// an iterator is good only until the next write to the collection.
template <class K, class V, class Hash = std::hash<K>>
class Collection {
    // Open addressing takes the probe position from the high bits of a hash
    // and a per-slot tag from its low seven; a key hash that leaves either
    // weak (an identity hash of a MAC, say) piles keys onto few probe groups.
    // One more mix of the key's own hash makes both usable.
    struct MixedHash {
        std::size_t operator()(K const& key) const { return absl::HashOf(Hash()(key)); }
    };

  public:
    using Map = absl::flat_hash_map<K, V, MixedHash>;
    using const_iterator = typename Map::const_iterator;

    V const* find(K const& key) const {
        auto it = map_.find(key);
        return it == map_.end() ? nullptr : &it->second;
    }
    bool contains(K const& key) const { return map_.contains(key); }

    // Inserts or replaces; true when the stored value is new or different.
    // The value is taken by copy, so one read from this collection stays
    // valid while an insertion moves the elements.
    bool set(K const& key, V value) {
        // try_emplace moves from `value` only when it inserts.
        auto [it, inserted] = map_.try_emplace(key, std::move(value));
        if (inserted) {
            return true;
        }
        if (it->second == value) {
            return false;
        }
        it->second = std::move(value);
        return true;
    }
    // The stored value of `key`, made from `value` when absent, and whether
    // it was made; for an owner that then changes the value in place.
    std::pair<V*, bool> emplace(K const& key, V value) {
        auto [it, inserted] = map_.try_emplace(key, std::move(value));
        return {&it->second, inserted};
    }
    V* findMutable(K const& key) {
        auto it = map_.find(key);
        return it == map_.end() ? nullptr : &it->second;
    }
    // True when the key was present.
    bool erase(K const& key) { return map_.erase(key) > 0; }
    void clear() { map_.clear(); }
    void reserve(std::size_t n) { map_.reserve(n); }
    // How many elements fit before the next insertion moves them all.
    std::size_t room() const { return map_.capacity() - map_.capacity() / 8; }

    // A copy of the keys, for a loop that writes the collection while it
    // walks, or sets off writes to it: a write may move every element.
    std::vector<K> keys() const {
        std::vector<K> out;
        out.reserve(map_.size());
        for (auto const& [key, value] : map_) {
            out.push_back(key);
        }
        return out;
    }

    std::size_t size() const { return map_.size(); }
    bool empty() const { return map_.empty(); }
    const_iterator begin() const { return map_.begin(); }
    const_iterator end() const { return map_.end(); }

  private:
    Map map_;
};

}  // namespace Kel
