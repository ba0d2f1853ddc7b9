#include "alloc/pagemap.hpp"

#include <cstdlib>
#include <iterator>

#include "core/dcheck.hpp"

namespace tav {
namespace {

// Address bits: 4 within a 16-byte position, 17 more within a leaf's 2 MiB,
// 13 for the middle node's entry, 14 for the root's: 48 in all.
constexpr unsigned kGrainBits = 4;
constexpr unsigned kLeafSpan = 21;
constexpr unsigned kMidBits = 13;
constexpr unsigned kRootBits = 14;
constexpr unsigned kAddressBits = kLeafSpan + kMidBits + kRootBits;

struct Leaf {
    uint64_t words[(uintptr_t{1} << (kLeafSpan - kGrainBits)) / 64];
};
struct Mid {
    Leaf *leaves[1u << kMidBits];
};
struct Root {
    Mid *mids[1u << kRootBits];
};
static_assert(sizeof(Leaf) == 16384 && sizeof(Mid) == 65536 && sizeof(Root) == 131072);

Root *root = nullptr;
uint64_t live = 0; // bits set
// The leaf of the last address looked up, and its 2 MiB range: a release
// and the allocation after it usually fall on the same leaf.
uintptr_t last_range = UINTPTR_MAX;
Leaf *last_leaf = nullptr;

bool aligned(uintptr_t addr) { return addr % (uintptr_t{1} << kGrainBits) == 0; }
uintptr_t range_of(uintptr_t addr) { return addr >> kLeafSpan; }
Mid *&mid_of(uintptr_t addr) { return root->mids[addr >> (kLeafSpan + kMidBits)]; }
Leaf *&leaf_of(Mid *m, uintptr_t addr) { return m->leaves[(addr >> kLeafSpan) % (1u << kMidBits)]; }

MapBit bit_in(Leaf *leaf, uintptr_t addr)
{
    constexpr unsigned kWordSpan = kGrainBits + 6; // the bytes one 64-bit word covers, as a shift
    return {&leaf->words[(addr >> kWordSpan) % std::size(leaf->words)],
            uint64_t{1} << (addr >> kGrainBits) % 64};
}

// Nodes are carved from zero-filled chunks of 256 KiB. calloc serves blocks
// that large from mappings of their own (glibc's mmap threshold), so the
// nodes stay out of the heap, where a leaf made between the host's blocks
// would keep them from coalescing when they are freed.
constexpr size_t kChunk = size_t{256} << 10;
struct Chunk {
    char *next = nullptr;
    size_t left = 0;
};
Chunk chunk;

void *carved(size_t bytes)
{
    if (chunk.left < bytes) {
        auto *fresh = static_cast<char *>(std::calloc(1, kChunk));
        if (fresh == nullptr) return nullptr;
        chunk = {fresh, kChunk}; // the rest of the last chunk goes unused
    }
    void *node = chunk.next;
    chunk.next += bytes;
    chunk.left -= bytes;
    return node;
}

// The node a slot holds, made if it is still empty.
template <class Node> Node *made(Node *&slot)
{
    if (slot == nullptr) slot = static_cast<Node *>(carved(sizeof(Node)));
    return slot;
}

// The leaf for an aligned addr, or null where the map has none.
Leaf *leaf_for(uintptr_t addr)
{
    if (addr >> kAddressBits != 0 || root == nullptr) return nullptr;
    Mid *m = mid_of(addr);
    return m != nullptr ? leaf_of(m, addr) : nullptr;
}

// The bit of addr in leaf l, which is remembered as the last one; no word without a leaf.
MapBit bit_remembered(Leaf *l, uintptr_t addr)
{
    if (l == nullptr) return {nullptr, 0};
    last_range = range_of(addr);
    last_leaf = l;
    return bit_in(l, addr);
}

} // namespace

MapBit pagemap_bit(uintptr_t addr)
{
    if (!aligned(addr)) return {nullptr, 0};
    if (range_of(addr) == last_range) return bit_in(last_leaf, addr);
    return bit_remembered(leaf_for(addr), addr);
}

bool pagemap_live(uintptr_t addr)
{
    Leaf *l = aligned(addr) ? leaf_for(addr) : nullptr;
    return l != nullptr && bit_in(l, addr).set();
}

MapBit pagemap_place(uintptr_t addr)
{
    if (!aligned(addr)) return {nullptr, 0};
    if (range_of(addr) == last_range) return bit_in(last_leaf, addr);
    if (addr >> kAddressBits != 0 || made(root) == nullptr) return {nullptr, 0};
    Mid *m = made(mid_of(addr));
    return bit_remembered(m != nullptr ? made(leaf_of(m, addr)) : nullptr, addr);
}

void pagemap_set(MapBit b)
{
    TAV_DCHECK(!b.set());
    ++live;
    *b.word |= b.mask;
}

void pagemap_clear(MapBit b)
{
    TAV_DCHECK(b.set());
    --live;
    *b.word &= ~b.mask;
}

bool pagemap_sound()
{
    uint64_t bits = 0;
    if (root != nullptr)
        for (const Mid *m : root->mids)
            if (m != nullptr)
                for (const Leaf *l : m->leaves)
                    if (l != nullptr)
                        for (const uint64_t w : l->words)
                            bits += static_cast<uint64_t>(__builtin_popcountll(w));
    return bits == live;
}

} // namespace tav
