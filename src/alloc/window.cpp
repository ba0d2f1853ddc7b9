#include "alloc/window.hpp"

#include <algorithm>
#include <cstdlib>

#include "alloc/pagemap.hpp"
#include "core/dcheck.hpp"

namespace tav {
namespace {

constexpr uint32_t kSlots = 4 * kWindowAddresses;       // at most half in use: short probes
constexpr uint32_t kRingEntries = 2 * kWindowAddresses; // holes included, so compaction is O(1) amortized
constexpr uint32_t kShift = 64 - 12;                    // log2(kSlots) high bits of the hash
static_assert(uint32_t{1} << (64 - kShift) == kSlots);

struct Slot {
    uintptr_t addr;    // 0: empty
    uint32_t ringpos;  // of a released address: its ring entry
    uint32_t released; // 0: handed out again since; the slot is kept for its next release
};

struct Entry {
    uintptr_t addr;   // 0: a hole, the address was handed out again
    tavhandle handle; // of an oversize block; 0 for a pooled one
};

struct Window {
    Slot slots[kSlots];
    Entry ring[kRingEntries];
    // The newest address waits outside the table until the next release: the
    // system allocator usually hands it straight back, and then the table
    // never sees it. Its ring entry is the last one.
    Slot newest;
    uint32_t head, used; // ring entries from head, oldest first, holes included
    uint32_t count;      // addresses held, the newest included
    // Slots of addresses handed out again. An address released, handed out
    // and released again (a batch freed and refilled) finds its slot where
    // it was; when they would crowd the table, it is rebuilt without them.
    uint32_t kept;
};

Window *win = nullptr;

uint32_t ring_at(uint32_t i) { return (win->head + i) % kRingEntries; }

uint32_t home_of(uintptr_t addr)
{
    // Blocks are 16-byte aligned; Fibonacci hashing spreads the rest.
    return static_cast<uint32_t>(((addr >> 4) * 0x9E3779B97F4A7C15ull) >> kShift);
}

// The slot keyed by addr, or the empty slot where it would go.
Slot *probe(uintptr_t addr)
{
    for (uint32_t i = home_of(addr);; i = (i + 1) % kSlots)
        if (win->slots[i].addr == addr || win->slots[i].addr == 0) return &win->slots[i];
}

// Linear probing without tombstones: close the gap by moving later entries of
// the same cluster back. Ring entries name addresses, not slots, so they stay valid.
void erase(Slot *gap)
{
    auto hole = static_cast<uint32_t>(gap - win->slots);
    for (uint32_t i = (hole + 1) % kSlots; win->slots[i].addr != 0; i = (i + 1) % kSlots) {
        const uint32_t home = home_of(win->slots[i].addr);
        // Movable when its home is not cyclically within (hole, i].
        if ((i - home) % kSlots >= (i - hole) % kSlots) {
            win->slots[hole] = win->slots[i];
            hole = i;
        }
    }
    win->slots[hole] = Slot{};
}

// The ring is full of entries and holes: squeeze the holes out in place. At
// most a window's worth of entries remain, half the ring.
[[gnu::noinline]] void compact_ring()
{
    std::rotate(win->ring, win->ring + win->head, win->ring + kRingEntries);
    uint32_t n = 0;
    for (uint32_t i = 0; i < win->used; ++i) {
        const Entry e = win->ring[i];
        if (e.addr == 0) continue;
        probe(e.addr)->ringpos = n;
        win->ring[n++] = e; // entries only move forward
    }
    win->head = 0;
    win->used = n;
}

// The table again, from the ring alone: the kept slots go.
[[gnu::noinline]] void rebuild_table()
{
    std::fill(win->slots, win->slots + kSlots, Slot{});
    for (uint32_t i = 0; i < win->used; ++i)
        if (const uint32_t pos = ring_at(i); win->ring[pos].addr != 0)
            *probe(win->ring[pos].addr) = Slot{win->ring[pos].addr, pos, 1};
    win->kept = 0;
}

// The newest address goes into the table, into its kept slot if it has one.
void file_newest()
{
    Slot *s = probe(win->newest.addr);
    if (s->addr == win->newest.addr) {
        --win->kept;
    } else if (win->count + win->kept > kSlots / 2) {
        rebuild_table(); // files the newest too
        s = probe(win->newest.addr);
    }
    *s = win->newest;
}

// The window is full: the oldest address leaves it.
void forget_oldest()
{
    for (;;) {
        const Entry e = win->ring[win->head];
        win->head = (win->head + 1) % kRingEntries;
        --win->used;
        if (e.addr != 0) {
            erase(probe(e.addr));
            --win->count;
            return;
        }
    }
}

} // namespace

bool window_make()
{
    if (win == nullptr) win = static_cast<Window *>(std::calloc(1, sizeof(Window)));
    return win != nullptr;
}

Released window_find(uintptr_t addr)
{
    if (win == nullptr || addr == 0) return {false, false, 0};
    const Slot *s = addr == win->newest.addr ? &win->newest : probe(addr);
    if (s->addr != addr || s->released == 0) return {false, false, 0};
    const tavhandle handle = win->ring[s->ringpos].handle;
    return {true, handle != 0, handle};
}

void window_add(uintptr_t addr, bool oversize, tavhandle handle)
{
    TAV_DCHECK(!window_find(addr).found);
    if (win->newest.addr != 0) file_newest();
    if (win->count == kWindowAddresses) forget_oldest();
    if (win->used == kRingEntries) compact_ring();
    const uint32_t pos = ring_at(win->used++);
    win->ring[pos] = Entry{addr, oversize ? handle : 0};
    win->newest = Slot{addr, pos, 1};
    ++win->count;
}

void window_forget(uintptr_t addr)
{
    if (addr == win->newest.addr) {
        win->newest = Slot{};
        --win->used;
        --win->count;
        return;
    }
    Slot *s = probe(addr);
    if (s->addr != addr || s->released == 0) return;
    // The last ring entry is dropped; an older one becomes a hole.
    if (s->ringpos == ring_at(win->used - 1))
        --win->used;
    else
        win->ring[s->ringpos].addr = 0;
    s->released = 0;
    ++win->kept;
    --win->count;
}

bool window_sound()
{
    if (win == nullptr) return true;
    if (win->count > kWindowAddresses || win->used > kRingEntries || win->head >= kRingEntries ||
        win->count + win->kept > kSlots / 2 + 1)
        return false;
    uint32_t released = 0, kept = 0, entries = 0;
    const auto filed = [](const Slot &s) { // a released address's slot, as its ring entry says
        const Entry &e = win->ring[s.ringpos];
        return (s.ringpos - win->head) % kRingEntries < win->used && e.addr == s.addr &&
               !pagemap_live(s.addr);
    };
    const Slot &n = win->newest;
    if (n.addr != 0 &&
        (n.released == 0 || n.ringpos != ring_at(win->used - 1) || !filed(n) || probe(n.addr)->released != 0))
        return false;
    for (const Slot &s : win->slots) {
        if (s.addr == 0) continue;
        if (probe(s.addr) != &s || (s.released != 0 && !filed(s))) return false; // unreachable, or astray
        ++(s.released != 0 ? released : kept);
    }
    for (uint32_t i = 0; i < win->used; ++i) entries += win->ring[ring_at(i)].addr != 0;
    return released + (n.addr != 0) == win->count && entries == win->count && kept == win->kept;
}

} // namespace tav
