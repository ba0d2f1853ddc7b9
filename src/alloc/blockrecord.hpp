// The record of blocks handed out and released, so that a release never frees
// memory the library did not hand out and never reads memory it already gave
// back. An open-addressing table keyed by the caller's address holds every
// live block and the most recent released ones; a FIFO ring of released
// addresses bounds those to a quarter of the table, whose size follows the
// peak number of live blocks. Runs under the write lock; lives for the whole
// process, like the trace ring, because blocks outlive a shutdown.
#pragma once

#include <cstdint>

#include "tav.h"

namespace tav {

enum class BlockState : uint32_t { empty, live, released_pooled, released_oversize };

struct BlockEntry {
    uintptr_t addr;   // 0 for an empty slot
    tavhandle handle; // of a released oversize block, as its header held it
    BlockState state;
    uint32_t ringpos; // of a released block: its place in the ring
};

// Makes room for one more live block. False when the record could not grow.
bool record_reserve();

// Notes a block handed out at addr; record_reserve() must have succeeded.
void record_live(const void *addr);

// The entry of addr, live or released, or null when the record does not know it.
BlockEntry *record_find(const void *addr);

// Turns a live entry (from record_find) into a released one that remembers
// the header's handle. Other entries found before may move.
void record_released(BlockEntry *e, bool oversize, tavhandle handle);

} // namespace tav
