// The covering-pool walk: the first size class, in ascending order, whose
// block size is at least the requested size (signed). Allocation, release,
// type registration and the statistics tables all map sizes through it.
//
// Class sizes are positive multiples of 4, so every size up to kDirectMax
// has its answer precomputed in a table that is rebuilt whenever the list
// changes: the allocation path does not walk the list for common sizes.
#pragma once

#include <cstdint>

#include "tav.h"

namespace tav {

inline constexpr int32_t kDirectMax = 4096;

// direct_class[(s + 3) / 4] is the covering class of every s in 1..kDirectMax.
extern const tavsizenode *direct_class[kDirectMax / 4 + 1];

inline const tavsizenode *walk_classes(int32_t size)
{
    for (const tavsizenode *n = tavnode.sizelist; n != nullptr; n = n->next)
        if (size <= n->bsize) return n;
    return nullptr;
}

inline const tavsizenode *covering_class(int32_t size)
{
    if (size > 0 && size <= kDirectMax) return direct_class[(size + 3) / 4];
    return walk_classes(size);
}

// Recomputes direct_class from the list; called after every change to it.
void rebuild_direct_classes();

} // namespace tav
