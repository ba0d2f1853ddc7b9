#include "alloc/blockrecord.hpp"

#include <cstdlib>

namespace tav {
namespace {

struct Released {
    uintptr_t addr;
    uint32_t serial;
};

// 4096 slots remember the last 1024 releases, the depth of the trace ring.
constexpr uint32_t kInitialSlots = 4096;

struct Record {
    BlockEntry *slots;
    Released *ring;  // released entries, oldest first from ringhead
    uint32_t nslots; // a power of two
    uint32_t shift;  // 64 - log2(nslots)
    uint32_t live;
    uint32_t ringhead;
    uint32_t ringcount;
    uint32_t serial;

    uint32_t ringcap() const { return nslots / 4; }
    uint32_t maxlive() const { return nslots / 2; }
};

Record rec;

uint32_t home_of(uintptr_t addr, uint32_t shift)
{
    // Blocks are 16-byte aligned; Fibonacci hashing spreads the rest.
    return static_cast<uint32_t>(((addr >> 4) * 0x9E3779B97F4A7C15ull) >> shift);
}

BlockEntry *probe(BlockEntry *slots, uint32_t nslots, uint32_t shift, uintptr_t addr)
{
    const uint32_t mask = nslots - 1;
    for (uint32_t i = home_of(addr, shift);; i = (i + 1) & mask)
        if (slots[i].state == BlockState::empty || slots[i].addr == addr) return &slots[i];
}

// Linear probing without tombstones: close the gap by moving later entries of
// the same cluster back.
void erase(BlockEntry *gap)
{
    const uint32_t mask = rec.nslots - 1;
    uint32_t hole = static_cast<uint32_t>(gap - rec.slots);
    for (uint32_t i = (hole + 1) & mask; rec.slots[i].state != BlockState::empty; i = (i + 1) & mask) {
        const uint32_t home = home_of(rec.slots[i].addr, rec.shift);
        // Movable when its home is not cyclically within (hole, i].
        if (((i - home) & mask) >= ((i - hole) & mask)) {
            rec.slots[hole] = rec.slots[i];
            hole = i;
        }
    }
    rec.slots[hole] = BlockEntry{};
}

void forget_oldest_release()
{
    const Released old = rec.ring[rec.ringhead];
    rec.ringhead = (rec.ringhead + 1) & (rec.ringcap() - 1);
    --rec.ringcount;
    BlockEntry *e = probe(rec.slots, rec.nslots, rec.shift, old.addr);
    const bool still_that_release =
        e->state != BlockState::empty && e->state != BlockState::live && e->serial == old.serial;
    if (still_that_release) erase(e);
}

bool grow()
{
    const uint32_t nslots = rec.nslots == 0 ? kInitialSlots : rec.nslots * 2;
    const uint32_t ringcap = nslots / 4;
    // One allocation holds both the slots and the ring.
    void *mem = std::calloc(1, nslots * sizeof(BlockEntry) + ringcap * sizeof(Released));
    if (mem == nullptr) return false;
    auto *slots = static_cast<BlockEntry *>(mem);
    auto *ring = reinterpret_cast<Released *>(slots + nslots);
    const uint32_t shift = 64 - static_cast<uint32_t>(__builtin_ctz(nslots));

    for (uint32_t i = 0; i < rec.nslots; ++i)
        if (rec.slots[i].state != BlockState::empty)
            *probe(slots, nslots, shift, rec.slots[i].addr) = rec.slots[i];
    for (uint32_t i = 0; i < rec.ringcount; ++i) ring[i] = rec.ring[(rec.ringhead + i) & (rec.ringcap() - 1)];

    std::free(rec.slots);
    rec.slots = slots;
    rec.ring = ring;
    rec.nslots = nslots;
    rec.shift = shift;
    rec.ringhead = 0;
    return true;
}

} // namespace

bool record_reserve() { return rec.live < rec.maxlive() || grow(); }

void record_live(const void *addr)
{
    const auto a = reinterpret_cast<uintptr_t>(addr);
    BlockEntry *e = probe(rec.slots, rec.nslots, rec.shift, a);
    // An address the system allocator hands out again replaces its released entry.
    if (e->state != BlockState::live) ++rec.live;
    *e = BlockEntry{a, 0, BlockState::live, 0};
}

BlockEntry *record_find(const void *addr)
{
    if (rec.nslots == 0) return nullptr;
    BlockEntry *e = probe(rec.slots, rec.nslots, rec.shift, reinterpret_cast<uintptr_t>(addr));
    return e->state == BlockState::empty ? nullptr : e;
}

void record_released(const void *addr, bool oversize, tavhandle handle)
{
    // Forgetting the oldest release can move entries, so look addr up after it.
    if (rec.ringcount == rec.ringcap()) forget_oldest_release();
    BlockEntry *slot = probe(rec.slots, rec.nslots, rec.shift, reinterpret_cast<uintptr_t>(addr));
    --rec.live;
    slot->handle = handle;
    slot->state = oversize ? BlockState::released_oversize : BlockState::released_pooled;
    slot->serial = ++rec.serial;
    rec.ring[(rec.ringhead + rec.ringcount) & (rec.ringcap() - 1)] = Released{slot->addr, slot->serial};
    ++rec.ringcount;
}

} // namespace tav
