// The covering-pool walk: the first size class, in ascending order, whose
// block size is at least the requested size (signed). Allocation, release,
// type registration and the statistics tables all map sizes through it.
#pragma once

#include <cstdint>

#include "tav.h"

namespace tav {

// The index of the pool whose class covers size, or -1 when none does.
int32_t covering_pool(int32_t size);

// Recomputes the precomputed answers from the list; called after every change to it.
void rebuild_direct_classes();

} // namespace tav
