#include "Kel/Ptr.h"

#include "Kel/Error.h"
#include "Kel/Type.h"

namespace Kel {

namespace {

std::atomic<bool> threadSafe{false};
std::atomic<std::int64_t> live{0};

// Set when the count reaches zero, so that references taken and dropped by
// the destructor itself cannot bring it to zero a second time.
constexpr std::uint32_t kDying = 1U << 30;

}  // namespace

void threadSafePtrIs(bool on) {
    threadSafe.store(on);
}
bool threadSafePtr() {
    return threadSafe.load(std::memory_order_relaxed);
}
std::int64_t liveObjects() {
    return live.load();
}

PtrInterface::PtrInterface() {
    live.fetch_add(1, std::memory_order_relaxed);
}
PtrInterface::~PtrInterface() {
    live.fetch_sub(1, std::memory_order_relaxed);
}

void PtrInterface::referenceAdd() const noexcept {
    if (threadSafePtr()) {
        references_.fetch_add(1, std::memory_order_relaxed);
    } else {
        references_.store(references_.load(std::memory_order_relaxed) + 1,
                          std::memory_order_relaxed);
    }
}

void PtrInterface::referenceRelease() const noexcept {
    std::uint32_t left;
    if (threadSafePtr()) {
        left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    } else {
        left = references_.load(std::memory_order_relaxed) - 1;
        references_.store(left, std::memory_order_relaxed);
    }
    if (left == 0) {
        references_.store(kDying, std::memory_order_relaxed);
        const_cast<PtrInterface*>(this)->zeroReferencesIs(true);
    }
}

std::ostream& operator<<(std::ostream& os, PtrInterface const* object) {
    if (object == nullptr) {
        return os << "<null>";
    }
    TypeImpl const* type = object->fwkType();
    return os << (type ? type->name() : std::string("Kel::PtrInterface")) << '@'
              << static_cast<void const*>(object);
}

void throwUnheldObject() {
    throw Exception("a counted reference to an object that nothing holds");
}

}  // namespace Kel
