#pragma once

#include <exception>

#include "Kel/Ptr.h"
#include "Vosk/Publisher.h"

namespace Kel {

// A reactor's subscription to one watched input. It refers to the reactor's
// own counted reference to the input, so it always watches what that
// reference holds; the slot is empty while not subscribed and holds the
// dispatch entry while subscribed.
//
// Declare it after the input it refers to: it then goes first, and the
// publisher never calls into a reactor that is being destroyed.
template <class Input>
class Subscription {
  public:
    // `owner` is the reactor that the dispatch entry casts `owner` back to.
    template <class Owner>
    Subscription(Ptr<Input> const& input, Owner* owner, Vosk::DispatchFn entry)
        : input_(input), entry_(entry) {
        subscriber_.owner = owner;
    }

    // With no input, or one that announces nothing, there is nothing to do.
    void activeIs(bool active) {
        Vosk::Publisher* const publisher = input_ ? input_->notifieeList() : nullptr;
        if (active && publisher != nullptr && !this->active()) {
            subscriber_.dispatch = entry_;
            publisher->subscriberAdd(&subscriber_, false);
        } else if (!active && this->active()) {
            if (Vosk::Publisher* const current = subscriber_.publisher()) {
                current->subscriberRemove(&subscriber_);
            }
            subscriber_.dispatch = nullptr;
        }
    }
    bool active() const { return subscriber_.dispatch != nullptr; }

  private:
    Ptr<Input> const& input_;  // the reactor's member, not a copy
    Vosk::DispatchFn entry_;
    Vosk::Subscriber subscriber_;
};

// The body of a reactor's hasNotificationActiveIs(active): nothing when the
// flag is unchanged; else the flag passes to `Base` (the reactor's base
// class), then each subscription follows it, in the order given. Answers
// whether the flag changed.
template <class Base, class Reactor, class... Subscriptions>
bool notificationActiveIs(Reactor& reactor, bool active, Subscriptions&... subscriptions) {
    if (active == reactor.hasNotificationActive()) {
        return false;
    }
    reactor.Base::hasNotificationActiveIs(active);
    (subscriptions.activeIs(active), ...);
    return true;
}

// Traces, in the reactor's own unit, a failure that a reaction raised:
// `entry` names the dispatch entry, `what` the failure. Each unit keeps its
// own trace site, so that the line carries that unit's source path.
using DispatchFailed = void (*)(char const* entry, char const* what);

template <class Reactor, class Reaction>
void dispatchTo(DispatchFailed failed, char const* entry, Vosk::Subscriber* subscriber,
                bool watched, Reaction reaction) {
    auto* reactor = static_cast<Reactor*>(subscriber->owner);
    if (!watched || reactor->kelMarkedForDeletion()) {
        return;
    }
    try {
        reaction(*reactor);
    } catch (std::exception const& e) {
        failed(entry, e.what());
    } catch (...) {
        failed(entry, "unknown failure");
    }
}

}  // namespace Kel
