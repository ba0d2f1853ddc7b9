#include "core/trace.hpp"

#include <cstdlib>

namespace tav {

void trace_create()
{
    if (tavnode.trace != nullptr) return;
    tavnode.tracewraps = 0;
    tavnode.trace = static_cast<tavtrace *>(std::calloc(TAV_TRACE_ENTRIES, sizeof(tavtrace)));
    tavnode.tracenext = 0;
    tavnode.tracesize = TAV_TRACE_ENTRIES;
}

} // namespace tav
