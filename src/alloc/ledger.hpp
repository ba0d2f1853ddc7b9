// The ledger of blocks: every block handed out and not yet taken back, and the
// most recently released addresses, so that a release never frees memory the
// library did not hand out and never reads memory it already gave back.
//
// It is an open-addressing table keyed by the caller's address (linear
// probing, no tombstones) plus a FIFO ring of released addresses. Sized from
// the peak number of live blocks, never below 4096 slots:
//  - at most nslots/2 live entries (the table grows before a block would
//    exceed that) and at most nslots/4 released ones: the window, at least
//    1024 addresses, each counted once;
//  - an address handed out again leaves the window (its ring entry becomes a
//    hole) and pushes nothing else out; the ring has room for nslots/2
//    entries, holes included, and is compacted when it fills, so holes cost
//    O(1) amortized;
//  - 16-byte slots and 16-byte ring entries: 24 bytes per slot, at most 96
//    bytes per live block at the peak.
// Runs under the write lock. It lives for the whole process, like the trace
// ring: blocks outlive a shutdown and stay recognisable.
#pragma once

#include <cstdint>

#include "tav.h"

namespace tav {

enum class BlockState : uint32_t { unknown, live, released_pooled, released_oversize };

// What the ledger knows of an address: a value, since its slots move.
struct BlockFacts {
    BlockState state;
    uint32_t slot;    // where the ledger keeps it, for ledger_released; valid until the ledger changes
    tavhandle handle; // of a released oversize block: the handle its header keeps
};

// Makes room for one more live block. False when the ledger could not grow.
bool ledger_reserve();

// A block handed out at addr; ledger_reserve() must have succeeded.
void ledger_live(uintptr_t addr);

BlockFacts ledger_find(uintptr_t addr);

// A live block taken back, as ledger_find just found it; an oversize one
// keeps its header's handle.
void ledger_released(const BlockFacts &live, uintptr_t addr, bool oversize, tavhandle handle);

// The invariants above, checked over the whole ledger: false when one fails.
bool ledger_sound();

} // namespace tav
