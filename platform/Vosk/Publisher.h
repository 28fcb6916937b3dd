#pragma once

#include <cstddef>
#include <vector>

namespace Vosk {

class Publisher;
class Subscriber;

// A dispatch entry: called with the publisher, the subscriber it was
// installed in, the identity of the changed attribute and, for a keyed
// collection, the changed key (value may be null).
using DispatchFn = void (*)(Publisher* publisher, Subscriber* subscriber, short attribute,
                            void const* key, void const* value);

// One subscription slot of a reactor. `dispatch` is empty while not
// subscribed. `owner` lets a static dispatch entry find its reactor; it is
// the one untyped pointer the notification contract needs.
class Subscriber {
  public:
    Subscriber() = default;
    Subscriber(Subscriber const&) = delete;
    Subscriber& operator=(Subscriber const&) = delete;
    ~Subscriber();

    Publisher* publisher() const { return publisher_; }

    DispatchFn dispatch = nullptr;
    void* owner = nullptr;

  private:
    friend class Publisher;
    Publisher* publisher_ = nullptr;
};

// Fans a change out to its subscribers in subscription order. Subscribers
// may add or remove subscriptions (their own or others') from inside a
// dispatch: a removed subscriber is never called again, an added one is
// called from the next change on.
class Publisher {
  public:
    Publisher() = default;
    Publisher(Publisher const&) = delete;
    Publisher& operator=(Publisher const&) = delete;
    ~Publisher();

    // `first` puts the subscriber ahead of those already present.
    void subscriberAdd(Subscriber* subscriber, bool first);
    void subscriberRemove(Subscriber* subscriber);
    std::size_t subscriberCount() const;

    void notify(short attribute, void const* key = nullptr, void const* value = nullptr) {
        // Most attributes of most entities have nobody listening: no call.
        if (!subscribers_.empty()) {
            dispatch(attribute, key, value);
        }
    }

  private:
    void dispatch(short attribute, void const* key, void const* value);

    std::vector<Subscriber*> subscribers_;  // not owned; null marks a removal during dispatch
    int dispatchDepth_ = 0;
    bool removedInDispatch_ = false;  // nulls to drop once the outermost dispatch ends
};

}  // namespace Vosk
