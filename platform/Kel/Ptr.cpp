#include "Kel/Ptr.h"

#include "Kel/Error.h"
#include "Kel/Type.h"

namespace Kel {

namespace ptrDetail {
std::atomic<bool> threadSafe{false};
std::atomic<std::int64_t> live{0};
}  // namespace ptrDetail

namespace {

// Set when the count reaches zero, so that references taken and dropped by
// the destructor itself cannot bring it to zero a second time.
constexpr std::uint32_t kDying = 1U << 30;

}  // namespace

void threadSafePtrIs(bool on) {
    ptrDetail::threadSafe.store(on);
}
std::int64_t liveObjects() {
    return ptrDetail::live.load();
}

// Counted like the references: atomically only in the thread-safe mode.
PtrInterface::PtrInterface() {
    if (threadSafePtr()) {
        ptrDetail::live.fetch_add(1, std::memory_order_relaxed);
    } else {
        ptrDetail::plainAdd(ptrDetail::live, std::int64_t{1});
    }
}
PtrInterface::~PtrInterface() {
    if (threadSafePtr()) {
        ptrDetail::live.fetch_sub(1, std::memory_order_relaxed);
    } else {
        ptrDetail::plainAdd(ptrDetail::live, std::int64_t{-1});
    }
}

void PtrInterface::lastReferenceGone() const noexcept {
    references_.store(kDying, std::memory_order_relaxed);
    const_cast<PtrInterface*>(this)->zeroReferencesIs(true);
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
