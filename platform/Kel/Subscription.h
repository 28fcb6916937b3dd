#pragma once

#include <exception>

#include "Kel/Ptr.h"
#include "Vosk/Publisher.h"

namespace Kel {

class TraceHandle;

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

// What a reactor leaves undone for an input this switch does not mount, said
// in one form on the reactor's `handle`, so that a silent table can be traced
// back to its cause: "SKIPPED skipped: INPUT missing".
void inputMissing(TraceHandle& handle, char const* skipped, char const* input);

namespace dispatchDetail {
// Traces on `handle`, under the entry's name, a failure that a reaction
// raised; the change it reacted to is dropped. Out of line: the hot path is
// the reaction, not this.
void failed(TraceHandle& handle, char const* entry, char const* what);
}  // namespace dispatchDetail

// The body of a dispatch entry. The reactor behind `subscriber` (the owner
// its Subscription was made with) reacts only
// when the change is the one it watches and it is not marked for deletion.
// The publisher is half way through fanning a change out to others, so no
// failure may escape into it: a failure is traced on `handle` under the
// entry's name, and the change dropped.
template <class Reactor, class Reaction>
void dispatchTo(TraceHandle& handle, char const* entry, Vosk::Subscriber* subscriber, bool watched,
                Reaction reaction) {
    auto* reactor = static_cast<Reactor*>(subscriber->owner);
    if (!watched || reactor->kelMarkedForDeletion()) {
        return;
    }
    try {
        reaction(*reactor);
    } catch (std::exception const& e) {
        dispatchDetail::failed(handle, entry, e.what());
    } catch (...) {
        dispatchDetail::failed(handle, entry, "unknown failure");
    }
}

}  // namespace Kel
