// The window of released addresses: the last 1,024 distinct addresses the
// library took back and has not handed out again, so that a repeated release
// of one is answered without reading memory the system allocator has back.
// Each address is counted once: one handed out again leaves the window and
// pushes nothing else out, so a hot block reused a million times does not
// age the others. A released oversize block keeps the handle its header held.
//
// A table of 4,096 slots (linear probing, no tombstones) and a ring of 2,048
// entries, oldest first, holes included: 96 KiB, made with the first block
// and kept for the whole process. The newest address stays out of the table
// until the next release, and an address handed out again keeps its slot for
// its next release, so that neither a pair nor a batch freed and refilled
// moves entries in the table. Runs under the write lock.
#pragma once

#include <cstdint>

#include "tav.h"

namespace tav {

inline constexpr uint32_t kWindowAddresses = 1024;

struct Released {
    bool found;
    bool oversize;
    tavhandle handle; // of an oversize block: the handle its header kept
};

// Makes the window's storage if it does not exist yet: false when it could not.
bool window_make();

// What the window holds of addr.
Released window_find(uintptr_t addr);

// addr was released: it enters the window as its newest address (it is not
// in it), and the oldest leaves when the window is full.
void window_add(uintptr_t addr, bool oversize, tavhandle handle);

// addr is handed out again: it leaves the window, if it is there.
void window_forget(uintptr_t addr);

// The invariants above, over the whole window, and none of its addresses live
// in the page map: false when one fails.
bool window_sound();

} // namespace tav
