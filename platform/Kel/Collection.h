#pragma once

#include <cstddef>
#include <unordered_map>

namespace Kel {

// A keyed collection attribute: a hash map that tells its owner whether a
// write changed anything, so that the owner notifies only real changes.
// Iteration visits each element once, in no defined order.
template <class K, class V, class Hash = std::hash<K>>
class Collection {
  public:
    using Map = std::unordered_map<K, V, Hash>;
    using const_iterator = typename Map::const_iterator;

    V const* find(K const& key) const {
        auto it = map_.find(key);
        return it == map_.end() ? nullptr : &it->second;
    }
    bool contains(K const& key) const { return map_.contains(key); }

    // Inserts or replaces; true when the stored value is new or different.
    bool set(K const& key, V const& value) {
        auto [it, inserted] = map_.try_emplace(key, value);
        if (inserted) {
            return true;
        }
        if (it->second == value) {
            return false;
        }
        it->second = value;
        return true;
    }
    // True when the key was present.
    bool erase(K const& key) { return map_.erase(key) > 0; }
    void clear() { map_.clear(); }
    void reserve(std::size_t n) { map_.reserve(n); }

    std::size_t size() const { return map_.size(); }
    bool empty() const { return map_.empty(); }
    const_iterator begin() const { return map_.begin(); }
    const_iterator end() const { return map_.end(); }

  private:
    Map map_;
};

}  // namespace Kel
