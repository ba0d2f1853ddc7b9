#include "alloc/blockrecord.hpp"

#include <cstdlib>

namespace tav {
namespace {

// 4096 slots remember the last 1024 releases, the depth of the trace ring.
constexpr uint32_t kInitialSlots = 4096;

struct Record {
    BlockEntry *slots;
    uintptr_t *ring; // released addresses, oldest first from ringhead; 0 where reused since
    uint32_t nslots; // a power of two
    uint32_t shift;  // 64 - log2(nslots)
    uint32_t live;
    uint32_t ringhead;
    uint32_t ringcount;

    uint32_t ringcap() const { return nslots / 4; }
    uint32_t ringmask() const { return ringcap() - 1; }
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
        if (slots[i].addr == addr || slots[i].addr == 0) return &slots[i];
}

BlockEntry *probe(uintptr_t addr) { return probe(rec.slots, rec.nslots, rec.shift, addr); }

// Linear probing without tombstones: close the gap by moving later entries of
// the same cluster back.
void erase(BlockEntry *gap)
{
    const uint32_t mask = rec.nslots - 1;
    auto hole = static_cast<uint32_t>(gap - rec.slots);
    for (uint32_t i = (hole + 1) & mask; rec.slots[i].addr != 0; i = (i + 1) & mask) {
        const uint32_t home = home_of(rec.slots[i].addr, rec.shift);
        // Movable when its home is not cyclically within (hole, i].
        if (((i - home) & mask) >= ((i - hole) & mask)) {
            rec.slots[hole] = rec.slots[i];
            hole = i;
        }
    }
    rec.slots[hole] = BlockEntry{};
}

// Makes room in the ring; true when that erased an entry (entries moved).
bool forget_oldest_release()
{
    const uintptr_t oldest = rec.ring[rec.ringhead];
    rec.ringhead = (rec.ringhead + 1) & rec.ringmask();
    --rec.ringcount;
    if (oldest == 0) return false;
    erase(probe(oldest));
    return true;
}

bool grow()
{
    const uint32_t nslots = rec.nslots == 0 ? kInitialSlots : rec.nslots * 2;
    // One allocation holds both the slots and the ring.
    void *mem = std::calloc(1, nslots * sizeof(BlockEntry) + nslots / 4 * sizeof(uintptr_t));
    if (mem == nullptr) return false;
    auto *slots = static_cast<BlockEntry *>(mem);
    auto *ring = reinterpret_cast<uintptr_t *>(slots + nslots);
    const uint32_t shift = 64 - static_cast<uint32_t>(__builtin_ctz(nslots));

    for (uint32_t i = 0; i < rec.nslots; ++i)
        if (rec.slots[i].addr != 0) *probe(slots, nslots, shift, rec.slots[i].addr) = rec.slots[i];
    // The ring keeps its order, without the holes.
    uint32_t count = 0;
    for (uint32_t i = 0; i < rec.ringcount; ++i) {
        const uintptr_t addr = rec.ring[(rec.ringhead + i) & rec.ringmask()];
        if (addr == 0) continue;
        probe(slots, nslots, shift, addr)->ringpos = count;
        ring[count++] = addr;
    }

    std::free(rec.slots);
    rec.slots = slots;
    rec.ring = ring;
    rec.nslots = nslots;
    rec.shift = shift;
    rec.ringhead = 0;
    rec.ringcount = count;
    return true;
}

} // namespace

bool record_reserve() { return rec.live < rec.maxlive() || grow(); }

void record_live(const void *addr)
{
    const auto a = reinterpret_cast<uintptr_t>(addr);
    BlockEntry *e = probe(a);
    // The system allocator handed a released address out again: its ring
    // place becomes a hole, so the ring never evicts the live block.
    if (e->addr == a && e->state != BlockState::live) rec.ring[e->ringpos] = 0;
    if (e->addr != a || e->state != BlockState::live) ++rec.live;
    *e = BlockEntry{a, 0, BlockState::live, 0};
}

BlockEntry *record_find(const void *addr)
{
    if (rec.nslots == 0) return nullptr;
    BlockEntry *e = probe(reinterpret_cast<uintptr_t>(addr));
    return e->addr != 0 ? e : nullptr;
}

void record_released(BlockEntry *e, bool oversize, tavhandle handle)
{
    const uintptr_t addr = e->addr;
    if (rec.ringcount == rec.ringcap() && forget_oldest_release()) e = probe(addr);
    --rec.live;
    const uint32_t pos = (rec.ringhead + rec.ringcount++) & rec.ringmask();
    rec.ring[pos] = addr;
    *e =
        BlockEntry{addr, handle, oversize ? BlockState::released_oversize : BlockState::released_pooled, pos};
}

} // namespace tav
