// The trace ring: the last 1024 successful allocations and pooled releases,
// with the caller's return address. Written only; hosts read it through
// tavnode.trace. Both functions run under the write lock.
#pragma once

#include <cstdint>

#include "tav.h"

namespace tav {

// Creates the ring if it does not exist yet; a failed allocation leaves
// tracing off until the next call.
void trace_create();

inline void trace_record(uint32_t op, uint32_t size, void *ptr, void *caller)
{
    if (tavnode.trace == nullptr) return;
    tavnode.trace[tavnode.tracenext] = tavtrace{op, size, ptr, caller};
    if (++tavnode.tracenext >= tavnode.tracesize) {
        tavnode.tracenext = 0;
        ++tavnode.tracewraps;
    }
}

} // namespace tav
