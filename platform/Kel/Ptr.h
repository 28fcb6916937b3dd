#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <type_traits>
#include <utility>

namespace Vosk {
class Publisher;
}

namespace Kel {

class TypeImpl;

// Reference counts are updated with atomic read-modify-write operations only
// while this process-wide switch is on; the agent's single thread leaves it off.
void threadSafePtrIs(bool on);
namespace ptrDetail {
extern std::atomic<bool> threadSafe;
extern std::atomic<std::int64_t> live;
// Plain arithmetic on an atomic, for the single-threaded mode.
template <class N>
N plainAdd(std::atomic<N>& n, N delta) {
    N const result = n.load(std::memory_order_relaxed) + delta;
    n.store(result, std::memory_order_relaxed);
    return result;
}
}  // namespace ptrDetail
inline bool threadSafePtr() {
    return ptrDetail::threadSafe.load(std::memory_order_relaxed);
}

// How many objects derived from PtrInterface are alive in the process.
// Tests take it before and after to prove that teardown released everything.
std::int64_t liveObjects();

// The root of every counted object: the reference count and the two flags
// that every entity and reactor carries.
class PtrInterface {
  public:
    PtrInterface();

    // The publisher through which this object announces changes, or null
    // for an object that announces nothing.
    virtual Vosk::Publisher* notifieeList() const { return nullptr; }
    virtual void hasNotificationActiveIs(bool active) { notificationActive_ = active; }
    // Called when the last reference goes; the default deletes the object.
    virtual void zeroReferencesIs(bool zero) {
        if (zero) {
            delete this;
        }
    }
    virtual TypeImpl const* fwkType() const { return nullptr; }
    virtual ~PtrInterface();
    // Reactors override this; a marked (zombie) reactor ignores notifications.
    virtual void kelDoZombieReactors(bool zombie) { kelMarkedForDeletionIs(zombie); }

    bool hasNotificationActive() const { return notificationActive_; }
    bool kelMarkedForDeletion() const { return markedForDeletion_; }
    void kelMarkedForDeletionIs(bool marked) { markedForDeletion_ = marked; }

    // Inline: every copy of a counted pointer runs these.
    void referenceAdd() const noexcept {
        if (threadSafePtr()) {
            references_.fetch_add(1, std::memory_order_relaxed);
        } else {
            ptrDetail::plainAdd(references_, 1U);
        }
    }
    void referenceRelease() const noexcept {
        std::uint32_t const left = threadSafePtr()
                                       ? references_.fetch_sub(1, std::memory_order_acq_rel) - 1
                                       : ptrDetail::plainAdd(references_, ~0U);
        if (left == 0) {
            lastReferenceGone();
        }
    }
    std::uint32_t references() const noexcept {
        return references_.load(std::memory_order_relaxed);
    }

  private:
    void lastReferenceGone() const noexcept;

    mutable std::atomic<std::uint32_t> references_{0};
    bool notificationActive_ = false;
    bool markedForDeletion_ = false;
};

// A counted reference. Holding one keeps the object alive; the last one to
// go hands the object back through zeroReferencesIs.
template <class T>
class Ptr {
  public:
    using element_type = T;

    Ptr() noexcept = default;
    Ptr(std::nullptr_t) noexcept {}  // NOLINT: implicit like a pointer
    // Explicit: counts start at zero, so a pointer that slips in unnoticed
    // (`this`, an object on the stack) would be deleted by the temporary.
    explicit Ptr(T* object) noexcept : object_(object) { add(); }
    Ptr(Ptr const& other) noexcept : object_(other.object_) { add(); }
    Ptr(Ptr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    template <class U>
    requires std::is_convertible_v<U*, T*> Ptr(Ptr<U> const& other)
    noexcept : object_(other.get()) {  // NOLINT
        add();
    }
    template <class U>
    requires std::is_convertible_v<U*, T*> Ptr(Ptr<U>&& other)
    noexcept : object_(other.release()) {}  // NOLINT
    ~Ptr() { drop(); }

    Ptr& operator=(Ptr other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }

    T* get() const noexcept { return object_; }
    T* operator->() const noexcept { return object_; }
    T& operator*() const noexcept { return *object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Gives up the reference without releasing it; the caller owns it now.
    T* release() noexcept { return std::exchange(object_, nullptr); }
    void reset() noexcept { Ptr().swap(*this); }
    void swap(Ptr& other) noexcept { std::swap(object_, other.object_); }

    template <class U>
    friend bool operator==(Ptr const& a, Ptr<U> const& b) noexcept {
        return static_cast<void const*>(a.get()) == static_cast<void const*>(b.get());
    }
    friend bool operator==(Ptr const& a, std::nullptr_t) noexcept { return !a; }

  private:
    void add() const noexcept {
        if (object_ != nullptr) {
            object_->referenceAdd();
        }
    }
    void drop() noexcept {
        if (T* o = std::exchange(object_, nullptr)) {
            o->referenceRelease();
        }
    }

    T* object_ = nullptr;
};

// One more counted reference to an object that is held already, for an
// object handing out a reference to itself. Throws Kel::Exception for an
// object that nothing holds yet: the reference would be its last.
[[noreturn]] void throwUnheldObject();
template <class T>
Ptr<T> heldPtr(T* object) {
    if (object == nullptr || object->references() == 0) {
        throwUnheldObject();
    }
    return Ptr<T>(object);
}

// A new object held by its first counted reference.
template <class T, class... Args>
Ptr<T> newPtr(Args&&... args) {
    return Ptr<T>(new T(std::forward<Args>(args)...));
}

template <class T, class U>
Ptr<T> dynamicPtrCast(Ptr<U> const& from) {
    return Ptr<T>(dynamic_cast<T*>(from.get()));
}

// Written by the entity operator: the type name and the address.
std::ostream& operator<<(std::ostream& os, PtrInterface const* object);

template <class T>
std::ostream& operator<<(std::ostream& os, Ptr<T> const& p) {
    return os << static_cast<PtrInterface const*>(p.get());
}

}  // namespace Kel
