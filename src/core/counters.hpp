// A pool's per-type counters (tavpool.typestats): six arrays indexed by type
// index. A failed resize can leave an array shorter than ntypes, or missing,
// so each array carries its real length in a hidden word in front of it and
// every access goes through these functions, which never pass that length.
#pragma once

#include <array>
#include <cstdint>

#include "tav.h"

namespace tav {

// The length of an array made by resize_counters; 0 for a missing array.
inline uint32_t counter_length(const uint32_t *a) { return TAV_COUNTERS_LENGTH(a); }

inline std::array<uint32_t **, TAV_STAT_COUNT> counter_arrays(tavcounters &c)
{
    return {&c.alloced, &c.apeak, &c.asucc, &c.fsucc, &c.afail, &c.ffail};
}

// Entry t of an array, or 0 where the array is missing or too short.
inline uint32_t counter_at(const uint32_t *a, uint32_t t) { return t < counter_length(a) ? a[t] : 0; }

// The entry a counter update goes to, or null where it does not exist.
inline uint32_t *counter_slot(uint32_t *a, uint32_t t) { return t < counter_length(a) ? &a[t] : nullptr; }

// Gives each of the six arrays newlen entries, keeping the first counts.
// Returns 0, or -1 to -6 for the first array that could not be allocated (it
// and the later ones keep their storage).
int32_t resize_counters(tavcounters &c, int32_t newlen);

void release_counters(tavcounters &c);

} // namespace tav
