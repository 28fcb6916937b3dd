#include "Vosk/Publisher.h"

#include <algorithm>

namespace Vosk {

Subscriber::~Subscriber() {
    if (publisher_ != nullptr) {
        publisher_->subscriberRemove(this);
    }
}

Publisher::~Publisher() {
    for (Subscriber* s : subscribers_) {
        if (s != nullptr) {
            s->publisher_ = nullptr;
            s->dispatch = nullptr;
        }
    }
}

void Publisher::subscriberAdd(Subscriber* subscriber, bool first) {
    if (subscriber->publisher_ == this) {
        return;
    }
    if (subscriber->publisher_ != nullptr) {
        subscriber->publisher_->subscriberRemove(subscriber);
    }
    subscriber->publisher_ = this;
    // Inserting at the front while a dispatch indexes the vector would shift
    // it; such a subscriber goes to the back instead.
    if (first && dispatchDepth_ == 0) {
        subscribers_.insert(subscribers_.begin(), subscriber);
    } else {
        subscribers_.push_back(subscriber);
    }
}

void Publisher::subscriberRemove(Subscriber* subscriber) {
    auto it = std::find(subscribers_.begin(), subscribers_.end(), subscriber);
    if (it == subscribers_.end()) {
        return;
    }
    subscriber->publisher_ = nullptr;
    if (dispatchDepth_ > 0) {
        *it = nullptr;  // the running dispatch loop still indexes this vector
        removedInDispatch_ = true;
    } else {
        subscribers_.erase(it);
    }
}

std::size_t Publisher::subscriberCount() const {
    return static_cast<std::size_t>(
        std::count_if(subscribers_.begin(), subscribers_.end(), [](auto* s) { return s; }));
}

void Publisher::dispatch(short attribute, void const* key, void const* value) {
    ++dispatchDepth_;
    // Index, not iterator: a dispatch may append subscribers (the vector
    // never shrinks while a dispatch runs). Those added during this change
    // are not called for it.
    std::size_t const end = subscribers_.size();
    for (std::size_t i = 0; i < end; ++i) {
        Subscriber* s = subscribers_[i];
        if (s != nullptr && s->dispatch != nullptr) {
            s->dispatch(this, s, attribute, key, value);
        }
    }
    if (--dispatchDepth_ == 0 && removedInDispatch_) {
        std::erase(subscribers_, nullptr);
        removedInDispatch_ = false;
    }
}

}  // namespace Vosk
