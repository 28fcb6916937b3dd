#include "Kel/Subscription.h"

#include <exception>

#include "Kel/Trace.h"

namespace Kel::dispatchDetail {

namespace {
constexpr char const* kSource = "Kel/Subscription";
}

void guarded(TraceHandle& handle, char const* entry, std::function<void()> const& reaction) {
    try {
        reaction();
    } catch (std::exception const& e) {
        KEL_TRACE(handle, 0, kSource, "%s dropped a change: %s", entry, e.what());
    } catch (...) {
        KEL_TRACE(handle, 0, kSource, "%s dropped a change: unknown failure", entry);
    }
}

}  // namespace Kel::dispatchDetail
