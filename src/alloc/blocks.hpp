// What the library knows of an address handed to it: a live block it handed
// out (the page map), an address it took back recently (the window), or
// neither. Together they make a release safe: it never frees memory the
// library did not hand out, and never reads memory it already gave back.
// Both live for the whole process, like the trace ring: blocks outlive a
// shutdown and stay recognisable. Everything here runs under the write lock.
#pragma once

#include <cstdint>

#include "alloc/pagemap.hpp"
#include "tav.h"

namespace tav {

enum class BlockState : uint8_t { unknown, live, released_pooled, released_oversize };

struct BlockFacts {
    BlockState state;
    MapBit bit;       // of a live block, for blocks_take_back
    tavhandle handle; // of a released oversize block: the handle its header kept
};

// addr, a new block, becomes live: false, with nothing changed, when the
// structures could not get the memory they need for it.
bool blocks_hand_out(uintptr_t addr);

BlockFacts blocks_find(uintptr_t addr);

// A live block taken back, as blocks_find just found it: it enters the
// window; an oversize one keeps its header's handle there.
void blocks_take_back(const BlockFacts &live, uintptr_t addr, bool oversize, tavhandle handle);

// Every invariant of both structures, and no address in both: the expensive
// self-check, for the tests.
bool blocks_sound();

} // namespace tav
