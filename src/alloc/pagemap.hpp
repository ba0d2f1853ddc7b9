// Where the live blocks start: one bit for each 16-byte position of every page
// that has held a block, reached through a radix tree over the address (a
// root for 16 GiB ranges, middle nodes for 2 MiB ranges, leaves of bits).
//
// The bits of one page sit together, 32 bytes for 4 KiB, so the map follows
// the heap's own locality: a million live 64-byte blocks (112-byte chunks)
// need under 1 MiB of bits, about one byte per block, where a table keyed by
// address spreads them over tens of megabytes and misses the cache on each.
// It stays exact: an address inside a block, or a crafted header in a foreign
// buffer on the same page, has no bit set.
//
// Nodes are made as blocks first land in their range and kept for the whole
// process. Runs under the write lock.
#pragma once

#include <cstdint>

namespace tav {

// One address's bit: the word that holds it and its mask; no word when the
// map has no place for the address.
struct MapBit {
    uint64_t *word;
    uint64_t mask;

    bool set() const { return word != nullptr && (*word & mask) != 0; }
};

// The bit of addr where the map has a leaf for it. Addresses that are not
// 16-byte aligned or not below 2^48 have no place: no block starts there.
MapBit pagemap_bit(uintptr_t addr);

// The bit of addr, making the nodes it needs first. No word when a node could
// not be allocated (nothing changed then) or addr has no place.
MapBit pagemap_place(uintptr_t addr);

// Whether addr is live, remembering nothing: for the self-checks, which run
// under the read lock.
bool pagemap_live(uintptr_t addr);

void pagemap_set(MapBit b);
void pagemap_clear(MapBit b);

// Bits set over the whole map against the count kept as they change: false
// when they differ.
bool pagemap_sound();

} // namespace tav
