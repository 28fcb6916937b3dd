#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>
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
using Seen = std::tuple<short, void const*, void const*>;  // attribute, key, value

// A subscriber that records what it was told and can run an action from
// inside the dispatch.
struct Listener {
    Listener() {
        slot.owner = this;
        slot.dispatch = [](Vosk::Publisher*, Vosk::Subscriber* s, short attr, void const* key,
                           void const* value) {
            auto* self = static_cast<Listener*>(s->owner);
            self->seen.emplace_back(attr, key, value);
            if (self->onDispatch) {
                self->onDispatch();
            }
        };
    }
    Vosk::Subscriber slot;
    std::vector<Seen> seen;
    std::function<void()> onDispatch;
};

TEST(PublisherTest, CallsSubscribersInOrderWithKeyAndValue) {
    Vosk::Publisher pub;
    Listener a, b, first;
    std::vector<Listener*> order;
    for (Listener* l : {&a, &b, &first}) {
        pub.subscriberAdd(&l->slot, l == &first);
        l->onDispatch = [&order, l] { order.push_back(l); };
    }
    int key = 1, value = 2;
    pub.notify(3, &key, &value);
    EXPECT_EQ(order, (std::vector<Listener*>{&first, &a, &b}));
    EXPECT_EQ(a.seen, (std::vector<Seen>{{3, &key, &value}}));
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
    EXPECT_TRUE(removed.seen.empty());
    EXPECT_TRUE(added.seen.empty()) << "added during a change, called for it";
    pub.notify(0);
    EXPECT_EQ(added.seen.size(), 1U);
    EXPECT_EQ(remover.seen.size(), 1U);
    EXPECT_EQ(pub.subscriberCount(), 1U);
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
                                     if (++w.calls == 2) {
                                         throw std::runtime_error("boom");
                                     }
                                 });
    }
    Kel::Ptr<MyStationConfigDir> input = Kel::newPtr<MyStationConfigDir>();
    Kel::Subscription<MyStationConfigDir> subscription{input, this, &entry};
    int calls = 0;
};

TEST(SubscriptionTest, ReactsOnlyWhileActiveToItsAttributeAndKeepsItsFailures) {
    Watcher w;
    Vosk::Publisher& pub = *w.input->notifieeList();
    for (bool active : {true, true, false, false, true}) {
        w.subscription.activeIs(active);
        EXPECT_EQ(pub.subscriberCount(), active ? 1U : 0U);
    }
    pub.notify(Watcher::kWatched);
    pub.notify(Watcher::kWatched + 1);
    EXPECT_EQ(w.calls, 1) << "another attribute reached the reaction";

    // The second reaction fails: the publisher goes on to the next subscriber.
    Listener after;
    pub.subscriberAdd(&after.slot, false);
    PlinthTest::TraceCapture capture("Watcher");
    EXPECT_NO_THROW(pub.notify(Watcher::kWatched));
    EXPECT_EQ(after.seen.size(), 1U) << "the publisher did not go on";
    EXPECT_EQ(capture.texts(), (std::vector<std::string>{"entry dropped a change: boom"}));

    w.kelMarkedForDeletionIs(true);
    pub.notify(Watcher::kWatched);
    EXPECT_EQ(w.calls, 2) << "a reactor marked for deletion reacted";
}

MacVlan key(std::uint64_t mac) {
    return {Pakt::EthAddr(mac), 0, 0, Pakt::EthAddr::broadcast()};
}

TEST(MyStationDirTest, NotifiesOncePerRealChangeOfAKey) {
    Kel::Ptr<MyStationConfigDir> dir(new MyStationConfigDir());
    Listener l;
    dir->notifieeList()->subscriberAdd(&l.slot, false);
    std::vector<int> changes;  // l3Enabled, or -1 for a removal
    l.onDispatch = [&] {
        auto const* v = static_cast<MyStationConfig const*>(std::get<2>(l.seen.back()));
        changes.push_back(v ? v->l3Enabled : -1);
    };
    MyStationConfig c;
    c.macVlan = key(1);
    c.l3Enabled = true;
    dir->configIs(key(1), c);  // new
    dir->configIs(key(1), c);  // same value: nothing
    c.l3Enabled = false;
    dir->configIs(key(1), c);  // changed
    dir->configDel(key(2));    // absent: nothing
    dir->configDel(key(1));    // removed
    EXPECT_EQ(changes, (std::vector<int>{1, 0, -1}));
}

// The collections store their elements in one array that an insertion may
// move. A subscriber that writes the collection it is told about must leave
// the later subscribers a key and value that are still theirs to read. The
// grower writes keys 100..1099 at its first change; those reach the reader
// first, and the change of key 1 last.
template <class Value>
Value readAfterGrowth(Vosk::Publisher& pub, auto keyOf, auto write, Value const& value) {
    Listener grower, reader;
    pub.subscriberAdd(&grower.slot, false);
    pub.subscriberAdd(&reader.slot, false);
    grower.onDispatch = [&] {
        for (std::uint64_t mac = 100; grower.seen.size() == 1 && mac < 1100; ++mac) {
            write(keyOf(mac), Value{});
        }
    };
    Value read{};
    reader.onDispatch = [&] {
        auto [attr, k, v] = reader.seen.back();
        if (*static_cast<decltype(keyOf(1)) const*>(k) == keyOf(1)) {
            read = *static_cast<Value const*>(v);
        }
    };
    write(keyOf(1), value);
    return read;
}

TEST(MyStationDirTest, LaterSubscribersReadTheChangeAfterAnEarlierOneMovedTheElements) {
    Kel::Ptr<MyStationConfigDir> dir(new MyStationConfigDir());
    MyStationConfig c;
    c.macVlan = key(1);
    c.l3Enabled = true;
    auto configIs = [&](MacVlan const& k, MyStationConfig const& v) { dir->configIs(k, v); };
    EXPECT_EQ(readAfterGrowth(*dir->notifieeList(), key, configIs, c), c);

    Kel::Ptr<Brix::BrixRouterMacDb> db(new Brix::BrixRouterMacDb());
    auto vrrp = [](std::uint64_t mac) {
        return Brix::MacTypeMask{Pakt::EthAddr(mac), Brix::MacType::vrrp};
    };
    auto routerMacIs = [&](auto const& k, auto const& v) { db->routerMacIs(k, v); };
    EXPECT_TRUE(readAfterGrowth(*db->notifieeList(), vrrp, routerMacIs, Brix::BrixRouterMac{true})
                    .v4OrV6RoutingEnabled);
}

// The plug-in never holds both at once, so its own tests would not notice
// one removal taking the other.
TEST(MyStationTableTest, TaggedAndUntaggedEntriesAreKeptApart) {
    Kel::Ptr<PlinthL3Unicast::MyStationTable> table = PlinthL3Unicast::myStationTableFactory();
    PlinthL3Unicast::MacVlanTagged k{Pakt::EthAddr(5), 10, 0xfff, Pakt::EthAddr::broadcast()};
    auto tagged = k;
    tagged.tagged = true;
    table->entryCommit(k, {});
    table->entryRemove(tagged);
    EXPECT_EQ(table->entrys(), 1U);
    table->entryRemove(k);
    EXPECT_EQ(table->entrys(), 0U);
}

}  // namespace
