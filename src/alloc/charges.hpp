// What a block charges to its group, type and pool: allocation adds it,
// release takes it back.
#pragma once

#include <cstdint>

#include "core/counters.hpp"
#include "tav.h"

namespace tav {

// Byte counts are signed 32-bit and wrap, as budgets are compared in that arithmetic.
inline int32_t wrap_add(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t wrap_sub(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// A budget of 0 is no budget.
inline bool over_budget(int32_t bmax, int32_t balloc, int32_t bsize)
{
    return bmax != 0 && bmax < wrap_add(bsize, balloc);
}

inline void pool_count_alloc(tavpool &p, uint32_t t)
{
    ++p.asucc;
    if (++p.alloced > p.apeak) ++p.apeak;
    p.free = wrap_sub(p.free, 1);
    tavcounters &c = p.typestats;
    if (uint32_t *n = counter_slot(c.asucc, t)) ++*n;
    if (uint32_t *n = counter_slot(c.alloced, t)) {
        ++*n;
        if (uint32_t *peak = counter_slot(c.apeak, t); peak != nullptr && *n > *peak) *peak = *n;
    }
}

inline void pool_count_release(tavpool &p, uint32_t t)
{
    --p.alloced;
    p.free = wrap_add(p.free, 1);
    ++p.fsucc;
    tavcounters &c = p.typestats;
    if (uint32_t *n = counter_slot(c.fsucc, t)) ++*n;
    if (uint32_t *n = counter_slot(c.alloced, t)) --*n;
}

} // namespace tav
