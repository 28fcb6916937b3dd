#include "MapMirror.h"

#include <cstring>
#include <set>
#include <sstream>

#include "DatapathMaps.h"
#include "DatapathTrace.h"
#include "PerCpu.h"

namespace PlinthAgent::Datapath {

namespace {

constexpr std::uint16_t kExactVlan = 0xfff;

mac_key macKey(std::uint64_t mac) {
    mac_key k{};
    auto const bytes = Pakt::EthAddr(mac).bytes();
    std::memcpy(k.mac, bytes.data(), sizeof k.mac);
    return k;
}

vlan_key vlanKey(std::uint64_t mac, std::uint16_t vlan) {
    vlan_key k{};
    auto const bytes = Pakt::EthAddr(mac).bytes();
    std::memcpy(k.mac, bytes.data(), sizeof k.mac);
    k.vlan = vlan;
    return k;
}

std::string text(PlinthL3Unicast::MacVlanTagged const& key) {
    std::ostringstream out;
    out << key;
    return out.str();
}

void written(int error, char const* what, std::uint64_t mac) {
    if (error != 0) {
        KEL_TRACE(trace(), 0, kSource, "cannot %s %s in the maps: %s", what, Pakt::EthAddr(mac),
                  std::strerror(-error));
    }
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
    vlan_key vk{};
    for (void const* at = nullptr; bpf_map_get_next_key(maps_.vlans, at, &vk) == 0; at = &vk) {
        owners_.emplace(MatchKey{Pakt::EthAddr::fromBytes(vk.mac).value(), vk.vlan}, std::nullopt);
        ++vlanKeys_;
        ++stale_;
    }
    mac_key mk{};
    for (void const* at = nullptr; bpf_map_get_next_key(maps_.macs, at, &mk) == 0; at = &mk) {
        auto const values = perCpuRead<mac_value>(maps_.macs, &mk);
        std::uint64_t const mac = Pakt::EthAddr::fromBytes(mk.mac).value();
        macFlags_[mac] = values.empty() ? 0 : values[0].flags;
        if (!values.empty() && (values[0].flags & kMacAnyVlan) != 0) {
            owners_.emplace(MatchKey{mac, kAnyVlan}, std::nullopt);
            ++stale_;
        }
    }
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
    for (auto const& k : keys) {
        if (auto owner = owners_.find(k); owner != owners_.end()) {
            if (owner->second) {
                wait(key, entry, "entry " + text(*owner->second) + " matches the same frames");
                return;
            }
            continue;
        }
        newVlanKeys += k.vlan != kAnyVlan ? 1 : 0;
        if (!macFlags_.contains(k.mac)) {
            newMacs.insert(k.mac);
        }
    }
    if (vlanKeys_ + newVlanKeys > maps_.vlanCapacity ||
        macFlags_.size() + newMacs.size() > maps_.macCapacity) {
        wait(key, entry, "the datapath's maps are full");
        return;
    }
    for (auto const& k : keys) {
        auto [owner, added] = owners_.try_emplace(k, key);
        if (!added) {
            owner->second = key;  // left by an earlier table: taken over, count and all
            --stale_;
        } else if (k.vlan != kAnyVlan) {
            vlanWrite(k);
            ++vlanKeys_;
        }
    }
    for (auto const& k : keys) {
        macSync(k.mac);
    }
    mirrored_.emplace(key, keys);
}

void MapMirror::unmirror(std::map<Key, std::vector<MatchKey>>::iterator it) {
    auto const keys = std::move(it->second);
    mirrored_.erase(it);
    for (auto const& k : keys) {
        owners_.erase(k);
    }
    // The MAC stops pointing at its VLAN keys before they go.
    for (auto const& k : keys) {
        macSync(k.mac);
    }
    for (auto const& k : keys) {
        if (k.vlan != kAnyVlan) {
            vlanDelete(k);
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
            vlanDelete(k);
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

void MapMirror::macSync(std::uint64_t mac) {
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
        return;
    }
    mac_key const key = macKey(mac);
    if (flags == 0) {
        written(bpf_map_delete_elem(maps_.macs, &key) == 0 ? 0 : -errno, "remove", mac);
        macFlags_.erase(known);
        return;
    }
    auto values = before == 0 ? std::vector<mac_value>{} : perCpuRead<mac_value>(maps_.macs, &key);
    values.resize(cpuCount());
    for (auto& v : values) {
        v.flags = flags;
        if ((before & kMacAnyVlan) == 0) {
            v.hits = 0;  // a new any-VLAN entry counts from zero
        }
    }
    written(perCpuWrite(maps_.macs, &key, values, BPF_ANY), "write", mac);
    macFlags_[mac] = flags;
}

void MapMirror::vlanWrite(MatchKey const& k) {
    vlan_key const key = vlanKey(k.mac, k.vlan);
    std::vector<vlan_value> const zero(cpuCount());
    written(perCpuWrite(maps_.vlans, &key, zero, BPF_ANY), "write", k.mac);
}

void MapMirror::vlanDelete(MatchKey const& k) {
    vlan_key const key = vlanKey(k.mac, k.vlan);
    written(bpf_map_delete_elem(maps_.vlans, &key) == 0 ? 0 : -errno, "remove", k.mac);
}

std::uint64_t MapMirror::keyHits(MatchKey const& k) const {
    std::uint64_t sum = 0;
    if (k.vlan == kAnyVlan) {
        mac_key const key = macKey(k.mac);
        for (auto const& v : perCpuRead<mac_value>(maps_.macs, &key)) {
            sum += v.hits;
        }
    } else {
        vlan_key const key = vlanKey(k.mac, k.vlan);
        for (auto const& v : perCpuRead<vlan_value>(maps_.vlans, &key)) {
            sum += v.hits;
        }
    }
    return sum;
}

std::uint64_t MapMirror::hits(Key const& key) const {
    std::uint64_t sum = 0;
    if (auto it = mirrored_.find(key); it != mirrored_.end()) {
        for (auto const& k : it->second) {
            sum += keyHits(k);
        }
    }
    return sum;
}

}  // namespace PlinthAgent::Datapath
