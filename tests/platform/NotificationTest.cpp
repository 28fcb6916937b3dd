#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "Brix/RouterMac.h"
#include "Kel/Subscription.h"
#include "PlinthL3Records/MyStationDir.h"
#include "PlinthL3Records/MyStationTable.h"
#include "TraceCapture.h"
#include "Vosk/Publisher.h"

namespace {

using PlinthL3Unicast::MacVlan;
using PlinthL3Unicast::MyStationConfig;
using PlinthL3Unicast::MyStationConfigDir;

// A subscriber that records what it was told and can run an action from
// inside the dispatch.
struct Listener {
    Listener() {
        slot.owner = this;
        slot.dispatch = [](Vosk::Publisher*, Vosk::Subscriber* s, short attr, void const* key,
                           void const* value) {
            auto* self = static_cast<Listener*>(s->owner);
            self->seen.push_back({attr, key, value});
            if (self->onDispatch) {
                self->onDispatch();
            }
        };
    }
    struct Seen {
        short attr;
        void const* key;
        void const* value;
    };
    Vosk::Subscriber slot;
    std::vector<Seen> seen;
    std::function<void()> onDispatch;
};

TEST(PublisherTest, CallsSubscribersInOrderWithKeyAndValue) {
    Vosk::Publisher pub;
    Listener a, b, first;
    pub.subscriberAdd(&a.slot, false);
    pub.subscriberAdd(&b.slot, false);
    pub.subscriberAdd(&first.slot, true);
    std::vector<Listener*> order;
    for (Listener* l : {&a, &b, &first}) {
        l->onDispatch = [&order, l] { order.push_back(l); };
    }
    int key = 1, value = 2;
    pub.notify(3, &key, &value);
    EXPECT_EQ(order, (std::vector<Listener*>{&first, &a, &b}));
    ASSERT_EQ(a.seen.size(), 1U);
    EXPECT_EQ(a.seen[0].attr, 3);
    EXPECT_EQ(a.seen[0].key, &key);
    EXPECT_EQ(a.seen[0].value, &value);
}

TEST(PublisherTest, SubscriptionChangesDuringADispatchAreSafe) {
    Vosk::Publisher pub;
    Listener remover, removed, added;
    pub.subscriberAdd(&remover.slot, false);
    pub.subscriberAdd(&removed.slot, false);
    remover.onDispatch = [&] {
        pub.subscriberRemove(&remover.slot);  // itself
        pub.subscriberRemove(&removed.slot);  // one not yet called
        pub.subscriberAdd(&added.slot, true);
    };
    pub.notify(0);
    EXPECT_EQ(remover.seen.size(), 1U);
    EXPECT_TRUE(removed.seen.empty());
    EXPECT_TRUE(added.seen.empty()) << "added during a change, called for it";
    EXPECT_EQ(pub.subscriberCount(), 1U);
    pub.notify(0);
    EXPECT_EQ(added.seen.size(), 1U);
    EXPECT_EQ(remover.seen.size(), 1U);
}

TEST(PublisherTest, EitherSideMayGoFirst) {
    auto pub = std::make_unique<Vosk::Publisher>();
    {
        Listener gone;
        pub->subscriberAdd(&gone.slot, false);
    }
    EXPECT_EQ(pub->subscriberCount(), 0U);
    Listener stays;
    pub->subscriberAdd(&stays.slot, false);
    pub.reset();
    EXPECT_FALSE(stays.slot.subscribed());
}

// A reactor with one watched input, as the plug-in's reactors have them.
struct Watcher : Kel::PtrInterface {
    static constexpr short kWatched = 0;
    static void entry(Vosk::Publisher*, Vosk::Subscriber* s, short attribute, void const*,
                      void const*) {
        Kel::dispatchTo<Watcher>(Kel::traceHandle("Watcher"), "entry", s, attribute == kWatched,
                                 [](Watcher& w) {
                                     ++w.calls;
                                     if (w.fail) {
                                         throw std::runtime_error("boom");
                                     }
                                 });
    }
    Kel::Ptr<MyStationConfigDir> input = Kel::newPtr<MyStationConfigDir>();
    Kel::Subscription<MyStationConfigDir> subscription{input, this, &entry};
    int calls = 0;
    bool fail = false;
};

TEST(SubscriptionTest, WatchesItsInputWhileActiveOnlyForTheWatchedAttribute) {
    Watcher w;
    Vosk::Publisher& pub = *w.input->notifieeList();
    for (bool active : {true, true, false, false, true}) {
        w.subscription.activeIs(active);
        EXPECT_EQ(pub.subscriberCount(), active ? 1U : 0U);
    }
    pub.notify(Watcher::kWatched);
    pub.notify(Watcher::kWatched + 1);
    EXPECT_EQ(w.calls, 1) << "another attribute reached the reaction";
    w.kelMarkedForDeletionIs(true);
    pub.notify(Watcher::kWatched);
    EXPECT_EQ(w.calls, 1) << "a reactor marked for deletion reacted";
}

TEST(SubscriptionTest, AFailureStaysInTheEntryAndIsTracedUnderItsName) {
    Watcher w;
    Listener after;
    w.subscription.activeIs(true);
    w.input->notifieeList()->subscriberAdd(&after.slot, false);
    w.fail = true;
    PlinthTest::TraceCapture capture("Watcher");
    EXPECT_NO_THROW(w.input->notifieeList()->notify(Watcher::kWatched));
    EXPECT_EQ(after.seen.size(), 1U) << "the publisher did not go on";
    EXPECT_EQ(capture.texts(), (std::vector<std::string>{"entry dropped a change: boom"}));
}

MacVlan key(std::uint64_t mac, std::uint32_t vlan = 0) {
    return {Pakt::EthAddr(mac), vlan, vlan ? 0xfffU : 0U, Pakt::EthAddr::broadcast()};
}

TEST(MyStationDirTest, NotifiesOncePerRealChangeOfAKey) {
    Kel::Ptr<MyStationConfigDir> dir(new MyStationConfigDir());
    Listener l;
    dir->notifieeList()->subscriberAdd(&l.slot, false);
    MyStationConfig c;
    c.macVlan = key(1);
    c.l3Enabled = true;

    dir->configIs(key(1), c);  // new
    dir->configIs(key(1), c);  // same value: nothing
    c.l3Enabled = false;
    dir->configIs(key(1), c);  // changed
    dir->configDel(key(2));    // absent: nothing
    dir->configDel(key(1));    // removed

    ASSERT_EQ(l.seen.size(), 3U);
    EXPECT_NE(l.seen[0].value, nullptr);
    EXPECT_NE(l.seen[1].value, nullptr);
    EXPECT_EQ(l.seen[2].value, nullptr);
    for (auto const& s : l.seen) {
        EXPECT_EQ(s.attr, MyStationConfigDir::kCollectionAttr);
    }
    EXPECT_EQ(dir->config().size(), 0U);
}

// The collections store their elements in one array that an insertion may
// move. A subscriber that writes the collection it is told about must leave
// the later subscribers a key and value that are still theirs to read.
TEST(MyStationDirTest, LaterSubscribersReadTheChangeAfterAnEarlierOneMovedTheElements) {
    Kel::Ptr<MyStationConfigDir> dir(new MyStationConfigDir());
    Listener grower, reader;
    dir->notifieeList()->subscriberAdd(&grower.slot, false);
    dir->notifieeList()->subscriberAdd(&reader.slot, false);
    grower.onDispatch = [&] {
        if (grower.seen.size() == 1) {
            for (std::uint64_t mac = 100; mac < 1100; ++mac) {
                dir->configIs(key(mac), MyStationConfig{});
            }
        }
    };
    // The grower's own writes reach the reader first; the change of key(1)
    // comes last.
    MyStationConfig readValue;
    reader.onDispatch = [&] {
        if (*static_cast<MacVlan const*>(reader.seen.back().key) == key(1)) {
            readValue = *static_cast<MyStationConfig const*>(reader.seen.back().value);
        }
    };
    MyStationConfig c;
    c.macVlan = key(1);
    c.l3Enabled = true;
    dir->configIs(key(1), c);
    EXPECT_EQ(readValue, c);

    Kel::Ptr<Brix::BrixRouterMacDb> db(new Brix::BrixRouterMacDb());
    Listener dbGrower, dbReader;
    db->notifieeList()->subscriberAdd(&dbGrower.slot, false);
    db->notifieeList()->subscriberAdd(&dbReader.slot, false);
    dbGrower.onDispatch = [&] {
        if (dbGrower.seen.size() == 1) {
            for (std::uint64_t mac = 100; mac < 1100; ++mac) {
                db->routerMacIs({Pakt::EthAddr(mac), Brix::MacType::system}, {false});
            }
        }
    };
    bool routing = false;
    dbReader.onDispatch = [&] {
        auto const& seen = dbReader.seen.back();
        if (static_cast<Brix::MacTypeMask const*>(seen.key)->macType == Brix::MacType::vrrp) {
            routing = static_cast<Brix::BrixRouterMac const*>(seen.value)->v4OrV6RoutingEnabled;
        }
    };
    db->routerMacIs({Pakt::EthAddr(1), Brix::MacType::vrrp}, {true});
    EXPECT_TRUE(routing);
}

TEST(MyStationTableTest, CommitReplacesAndRemovingAnAbsentKeyIsHarmless) {
    Kel::Ptr<PlinthL3Unicast::MyStationTable> table = PlinthL3Unicast::myStationTableFactory();
    PlinthL3Unicast::MacVlanTagged k{Pakt::EthAddr(5), 10, 0xfff, Pakt::EthAddr::broadcast(),
                                     false};
    PlinthL3Unicast::MyStationTable::Entry e;
    e.entryFlag1 = 1;
    int responses = 0;
    e.writeResponse = [&](bool ok) { responses += ok; };
    EXPECT_FALSE(table->entryCommit(k, e));
    e.entryFlag2 = 1;
    table->entryCommit(k, e);
    EXPECT_EQ(table->entrys(), 1U);
    EXPECT_EQ(table->entry(k)->entryFlag2, 1);
    EXPECT_EQ(responses, 2);

    auto tagged = k;
    tagged.tagged = true;
    table->entryRemove(tagged);
    EXPECT_EQ(table->entrys(), 1U);
    table->entryRemove(k);
    EXPECT_EQ(table->entrys(), 0U);
}

}  // namespace
