// The record of blocks handed out and released, so that a release never frees
// memory the library did not hand out and never reads memory it already gave
// back. An open-addressing table keyed by the caller's address holds every
// live block and the most recent released ones; a FIFO ring bounds the
// released ones to a quarter of the table, whose size follows the peak number
// of live blocks. Runs under the write lock; lives for the whole process, like
// the trace ring, because blocks outlive a shutdown.
#pragma once

#include <cstdint>

#include "tav.h"

namespace tav {

enum class BlockState : uint32_t { empty, live, released_pooled, released_oversize };

struct BlockEntry {
    uintptr_t addr;
    tavhandle handle; // as stored in the header when the block was released
    BlockState state;
    uint32_t serial; // tells a release apart from a later one of the same address
};

// Makes room for one more live block. False when the record could not grow.
bool record_reserve();

// Notes a block handed out at addr; record_reserve() must have succeeded.
void record_live(const void *addr);

// The entry of addr, live or released, or null when the record does not know it.
BlockEntry *record_find(const void *addr);

// Turns the live entry of addr into a released one that remembers the
// header's handle. Entries found before this call may move.
void record_released(const void *addr, bool oversize, tavhandle handle);

} // namespace tav
