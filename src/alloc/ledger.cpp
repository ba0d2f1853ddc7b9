#include "alloc/ledger.hpp"

#include <algorithm>
#include <cstdlib>

namespace tav {
namespace {

// A window of 1024 released addresses at the least, the depth of the trace ring.
constexpr uint32_t kInitialSlots = 4096;
// Beyond this the slot count and the ring's indices would not fit 32 bits.
constexpr uint64_t kMaxSlots = uint64_t{1} << 30;

struct Slot {
    uintptr_t addr; // 0: empty
    BlockState state;
    uint32_t ringpos; // of a released address: its ring entry
};

struct Released {
    uintptr_t addr; // 0: a hole, the address was handed out again
    tavhandle handle;
};

static_assert(sizeof(Slot) == 16 && sizeof(Released) == 16);

struct Ledger {
    Slot *slots = nullptr;
    Released *ring = nullptr; // in the same allocation, after the slots
    uint32_t nslots = 0;      // a power of two, or 0 before the first block
    uint32_t shift = 0;       // 64 - log2(nslots)
    uint32_t live = 0, released = 0;
    uint32_t head = 0, used = 0;                   // ring entries from head, oldest first, holes included
    uint32_t ringcap = 0, window = 0, maxlive = 0; // nslots / 2, / 4, / 2

    uint32_t ringmask() const { return ringcap - 1; }
};

Ledger led;

uint32_t home_of(uintptr_t addr, uint32_t shift)
{
    // Blocks are 16-byte aligned; Fibonacci hashing spreads the rest.
    return static_cast<uint32_t>(((addr >> 4) * 0x9E3779B97F4A7C15ull) >> shift);
}

Slot *probe(Slot *slots, uint32_t nslots, uint32_t shift, uintptr_t addr)
{
    const uint32_t mask = nslots - 1;
    for (uint32_t i = home_of(addr, shift);; i = (i + 1) & mask)
        if (slots[i].addr == addr || slots[i].addr == 0) return &slots[i];
}

Slot *probe(uintptr_t addr) { return probe(led.slots, led.nslots, led.shift, addr); }

// Linear probing without tombstones: close the gap by moving later entries of
// the same cluster back. Ring entries name addresses, not slots, so they stay valid.
[[gnu::noinline]] void erase(Slot *gap)
{
    const uint32_t mask = led.nslots - 1;
    auto hole = static_cast<uint32_t>(gap - led.slots);
    for (uint32_t i = (hole + 1) & mask; led.slots[i].addr != 0; i = (i + 1) & mask) {
        const uint32_t home = home_of(led.slots[i].addr, led.shift);
        // Movable when its home is not cyclically within (hole, i].
        if (((i - home) & mask) >= ((i - hole) & mask)) {
            led.slots[hole] = led.slots[i];
            hole = i;
        }
    }
    led.slots[hole] = Slot{};
}

// Copies the window, oldest first and without holes, to the front of `to`,
// pointing each released slot of `slots` at its new place.
void pack_ring(Released *to, Slot *slots, uint32_t nslots, uint32_t shift)
{
    uint32_t n = 0;
    for (uint32_t i = 0; i < led.used; ++i) {
        const Released r = led.ring[(led.head + i) & led.ringmask()];
        if (r.addr == 0) continue;
        probe(slots, nslots, shift, r.addr)->ringpos = n;
        to[n++] = r;
    }
    led.head = 0;
    led.used = n;
}

// The ring is full of entries and holes: squeeze the holes out in place. At
// most a window's worth of entries remain, half the ring.
[[gnu::noinline]] void compact_ring()
{
    std::rotate(led.ring, led.ring + led.head, led.ring + led.ringcap);
    led.head = 0;
    pack_ring(led.ring, led.slots, led.nslots, led.shift); // entries only move forward
}

// The window is full: the oldest released address leaves it.
[[gnu::noinline]] void forget_oldest()
{
    for (;;) {
        const Released r = led.ring[led.head];
        led.head = (led.head + 1) & led.ringmask();
        --led.used;
        if (r.addr != 0) {
            erase(probe(r.addr));
            --led.released;
            return;
        }
    }
}

[[gnu::noinline]] bool grow()
{
    const uint64_t n = led.nslots == 0 ? kInitialSlots : uint64_t{led.nslots} * 2;
    if (n > kMaxSlots) return false;
    const auto nslots = static_cast<uint32_t>(n);
    void *mem = std::calloc(1, nslots * sizeof(Slot) + nslots / 2 * sizeof(Released));
    if (mem == nullptr) return false;
    auto *slots = static_cast<Slot *>(mem);
    auto *ring = reinterpret_cast<Released *>(slots + nslots);
    const uint32_t shift = 64 - static_cast<uint32_t>(__builtin_ctz(nslots));
    for (uint32_t i = 0; i < led.nslots; ++i)
        if (led.slots[i].addr != 0) *probe(slots, nslots, shift, led.slots[i].addr) = led.slots[i];
    if (led.nslots != 0) pack_ring(ring, slots, nslots, shift);
    std::free(led.slots);
    led.slots = slots;
    led.ring = ring;
    led.nslots = nslots;
    led.shift = shift;
    led.ringcap = led.maxlive = nslots / 2;
    led.window = nslots / 4;
    return true;
}

} // namespace

bool ledger_reserve() { return led.live < led.maxlive || grow(); }

void ledger_live(uintptr_t addr)
{
    Slot *s = probe(addr);
    if (s->addr != addr) {
        ++led.live;
    } else if (s->state != BlockState::live) {
        // Handed out again: it leaves the window. The newest entry (the common
        // case: the allocator hands back what was just released) is simply
        // dropped; an older one becomes a hole.
        if (s->ringpos == ((led.head + led.used - 1) & led.ringmask()))
            --led.used;
        else
            led.ring[s->ringpos].addr = 0;
        --led.released;
        ++led.live;
    }
    *s = Slot{addr, BlockState::live, 0};
}

BlockFacts ledger_find(uintptr_t addr)
{
    if (led.nslots == 0) return {BlockState::unknown, 0, 0};
    const Slot *s = probe(addr);
    const auto slot = static_cast<uint32_t>(s - led.slots);
    if (s->addr != addr) return {BlockState::unknown, slot, 0};
    return {s->state, slot, s->state == BlockState::released_oversize ? led.ring[s->ringpos].handle : 0};
}

void ledger_released(const BlockFacts &live, uintptr_t addr, bool oversize, tavhandle handle)
{
    Slot *s = &led.slots[live.slot];
    if (led.released == led.window || led.used == led.ringcap) [[unlikely]] {
        if (led.released == led.window) forget_oldest();
        if (led.used == led.ringcap) compact_ring();
        s = probe(addr); // slots may have moved
    }
    const uint32_t pos = (led.head + led.used++) & led.ringmask();
    led.ring[pos] = Released{addr, handle};
    *s = Slot{addr, oversize ? BlockState::released_oversize : BlockState::released_pooled, pos};
    --led.live;
    ++led.released;
}

bool ledger_sound()
{
    if (led.nslots == 0) return led.live == 0 && led.released == 0 && led.used == 0;
    if ((led.nslots & (led.nslots - 1)) != 0 || led.nslots < kInitialSlots) return false;
    if (led.live > led.nslots / 2 || led.released > led.window || led.used > led.ringcap) return false;
    uint32_t live = 0, released = 0, entries = 0;
    for (uint32_t i = 0; i < led.nslots; ++i) {
        const Slot &s = led.slots[i];
        if (s.addr == 0) continue;
        if (probe(s.addr) != &s) return false; // unreachable from its home
        if (s.state == BlockState::live) {
            ++live;
        } else {
            ++released;
            if (((s.ringpos - led.head) & led.ringmask()) >= led.used || led.ring[s.ringpos].addr != s.addr)
                return false;
        }
    }
    for (uint32_t i = 0; i < led.used; ++i) entries += led.ring[(led.head + i) & led.ringmask()].addr != 0;
    return live == led.live && released == led.released && entries == led.released;
}

} // namespace tav

#ifdef TAV_DEBUG_CHECKS
#include "core/lock.hpp"

// Builds made for testing export the ledger's self-check, for the test host
// and the fuzzer to call between operations; shipped builds do not.
extern "C" __attribute__((visibility("default"))) int tav_debug_ledger_sound(void)
{
    tav::ReadLock lock;
    return lock && tav::ledger_sound() ? 1 : 0;
}
#endif
