// What a block charges to its group, type and pool: allocation adds it,
// release takes it back.
#pragma once

#include <cstdint>

#include "core/counters.hpp"
#include "core/dcheck.hpp"
#include "tav.h"

namespace tav {

// Whether a record may carry a block of bsize (positive) bytes more: the new
// charge must fit its signed 32-bit field and stay within the record's budget
// (0 is none). Where the sum fits, this is the budget test in 32-bit
// arithmetic exactly; a sum that would wrap is refused.
inline bool may_charge(int32_t bmax, int32_t balloc, int32_t bsize)
{
    int32_t charge = 0;
    return !__builtin_add_overflow(balloc, bsize, &charge) && (bmax == 0 || charge <= bmax);
}

// Adds a block's bytes to a charge that may_charge allowed them.
inline void charge(int32_t &balloc, int32_t bsize)
{
    TAV_DCHECK(may_charge(0, balloc, bsize));
    balloc += bsize;
}

// 32-bit counts that may wrap: a pool's free (minus alloced, which is
// unsigned), and a charge on release, which only a block handed back against
// records registered after a shutdown can take below 0.
inline int32_t wrap_add(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t wrap_sub(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
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
