#include "Kel/Subscription.h"

#include "Kel/Trace.h"

namespace Kel {

void inputMissing(TraceHandle& handle, char const* skipped, char const* input) {
    KEL_TRACE(handle, 0, "Kel/Subscription", "%s skipped: %s missing", skipped, input);
}

}  // namespace Kel

namespace Kel::dispatchDetail {

void failed(TraceHandle& handle, char const* entry, char const* what) {
    KEL_TRACE(handle, 0, "Kel/Subscription", "%s dropped a change: %s", entry, what);
}

}  // namespace Kel::dispatchDetail
