// The covering-pool walk: the first size class, in ascending order, whose
// block size is at least the requested size (signed). Allocation, release,
// type registration and the statistics tables all map sizes through it.
#pragma once

#include <cstdint>

#include "tav.h"

namespace tav {

inline const tavsizenode *covering_class(int32_t size)
{
    for (const tavsizenode *n = tavnode.sizelist; n != nullptr; n = n->next)
        if (size <= n->bsize) return n;
    return nullptr;
}

} // namespace tav
