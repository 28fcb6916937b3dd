#pragma once

#include <cstdint>
#include <ostream>

#include "Kel/Collection.h"
#include "Kel/Entity.h"
#include "Kel/Type.h"
#include "PlinthL3Records/MacVlan.h"

namespace PlinthL3Unicast {

// The shape shared by a configuration entry and a status entry, one type
// per kind, so that a configuration never compares equal to a status. A
// default-constructed record is the value of an absent entry.
template <class Kind>
struct MyStationRecord {
    MacVlan macVlan{Pakt::EthAddr(), 0, 0, Pakt::EthAddr::broadcast()};
    bool l3Enabled = false;
    bool stationFlag = false;
    bool configFlag3 = false;
    bool configFlag4 = true;
    bool configFlag5 = true;

    friend bool operator==(MyStationRecord const&, MyStationRecord const&) = default;
};
template <class Kind>
std::ostream& operator<<(std::ostream& os, MyStationRecord<Kind> const& r) {
    return os << "macVlan: " << r.macVlan << " l3Enabled: " << r.l3Enabled
              << " stationFlag: " << r.stationFlag << " configFlag3: " << r.configFlag3
              << " configFlag4: " << r.configFlag4 << " configFlag5: " << r.configFlag5;
}

// What a writer asks the table programmer to terminate.
struct MyStationConfig : MyStationRecord<MyStationConfig> {};
// What the table programmer has programmed.
struct MyStationStatus : MyStationRecord<MyStationStatus> {};

// A directory entity holding one keyed collection of My Station records. It
// notifies the changed key (value: the new record, or null when removed) on
// every real change; writing the value a key already holds notifies nothing.
template <class Record>
class MyStationRecordDir : public Kel::NotifyingEntity {
  public:
    using Records = Kel::Collection<MacVlan, Record>;
    // The attribute identity of the collection in notifications.
    static constexpr short kCollectionAttr = 0;

    Records const& records() const { return records_; }
    // Null when absent; good only until the next write to this directory.
    Record const* recordAt(MacVlan const& key) const { return records_.find(key); }

    // Subscribers are handed copies, not the stored element: one of them may
    // write this directory, which moves its elements, before the next reads.
    // The copies also keep a key or record read from here valid as argument.
    void recordIs(MacVlan const& key, Record const& record) {
        MacVlan const k = key;
        Record const value = record;
        if (records_.set(k, value)) {
            announce(&k, &value);
        }
    }
    // Room for `n` records without growing; changes no record.
    void recordsReserve(std::size_t n) { records_.reserve(n); }
    // Does nothing for an absent key.
    void recordDel(MacVlan const& key) {
        MacVlan const k = key;
        if (records_.erase(k)) {
            announce(&k, nullptr);
        }
    }

    // Inside a subscriber: whether the change being announced is still this
    // directory's latest, so that the record handed over (or its absence) is
    // what the directory holds now. False once a subscriber called earlier
    // for the same change has written here again.
    bool announcingLatest() const { return announcing_ == writes_; }

  private:
    void announce(MacVlan const* key, Record const* value) {
        std::uint64_t const outer = announcing_;
        announcing_ = ++writes_;
        this->notify(kCollectionAttr, key, value);
        announcing_ = outer;
    }

    Records records_;
    std::uint64_t writes_ = 0;      // real changes so far
    std::uint64_t announcing_ = 0;  // the change whose announcement runs
};

// The configuration entries that the writers of My Station entries keep.
class MyStationConfigDir : public MyStationRecordDir<MyStationConfig> {
  public:
    Kel::TypeImpl const* fwkType() const override {
        return Kel::plainType<MyStationConfigDir>("PlinthL3Unicast::MyStationConfigDir");
    }
    Records const& config() const { return records(); }
    MyStationConfig const* config(MacVlan const& key) const { return recordAt(key); }
    void configIs(MacVlan const& key, MyStationConfig const& config) { recordIs(key, config); }
    void configDel(MacVlan const& key) { recordDel(key); }
    void configReserve(std::size_t n) { recordsReserve(n); }
};

// The keys the table programmer has programmed.
class MyStationStatusDir : public MyStationRecordDir<MyStationStatus> {
  public:
    Kel::TypeImpl const* fwkType() const override {
        return Kel::plainType<MyStationStatusDir>("PlinthL3Unicast::MyStationStatusDir");
    }
    Records const& status() const { return records(); }
    MyStationStatus const* status(MacVlan const& key) const { return recordAt(key); }
    void statusIs(MacVlan const& key, MyStationStatus const& status) { recordIs(key, status); }
    void statusDel(MacVlan const& key) { recordDel(key); }
    void statusReserve(std::size_t n) { recordsReserve(n); }
};

}  // namespace PlinthL3Unicast
