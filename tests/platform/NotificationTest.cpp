#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "Kel/Subscription.h"
#include "Kel/Trace.h"
#include "PlinthL3Records/MyStationDir.h"
#include "TraceCapture.h"
#include "Vosk/Publisher.h"

namespace {

using PlinthL3Unicast::MyStationConfigDir;

// A reactor with one watched input, as the plug-in's reactors have them.
struct Watcher : Kel::PtrInterface {
    static constexpr short kWatched = 0;
    static void entry(Vosk::Publisher*, Vosk::Subscriber* s, short attribute, void const*,
                      void const*) {
        Kel::dispatchTo<Watcher>(&failed, "entry", s, attribute == kWatched, [](Watcher& w) {
            if (++w.calls == 2) {
                throw std::runtime_error("boom");
            }
        });
    }
    static void failed(char const* entry, char const* what) {
        KEL_TRACE(Kel::traceHandle("Watcher"), 0, "Test/Watcher", "%s dropped a change: %s", entry,
                  what);
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
    int afterCalls = 0;  // of the next subscriber
    Vosk::Subscriber after;
    after.owner = &afterCalls;
    after.dispatch = [](Vosk::Publisher*, Vosk::Subscriber* s, short, void const*, void const*) {
        ++*static_cast<int*>(s->owner);
    };
    pub.subscriberAdd(&after, false);
    PlinthTest::TraceCapture capture("Watcher");
    EXPECT_NO_THROW(pub.notify(Watcher::kWatched));
    EXPECT_EQ(afterCalls, 1) << "the publisher did not go on";
    EXPECT_EQ(capture.lines, (std::vector<std::string>{"0 entry dropped a change: boom"}));

    w.kelMarkedForDeletionIs(true);
    pub.notify(Watcher::kWatched);
    EXPECT_EQ(w.calls, 2) << "a reactor marked for deletion reacted";
}

}  // namespace
