#pragma once

#include "Kel/Trace.h"

namespace PlinthAgent::Datapath {

inline constexpr char const* kSource = "agent/datapath";

// The datapath's trace handle: 0 for what it does to ports and maps, 1 and 2
// for libbpf's warnings and information.
inline Kel::TraceHandle& trace() {
    static Kel::TraceHandle& handle = Kel::traceHandle("Datapath");
    return handle;
}

}  // namespace PlinthAgent::Datapath
