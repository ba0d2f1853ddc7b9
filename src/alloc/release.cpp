// tavpoolfree: takes a block back, undoing every charge its allocation made.
//
// The checks run on the header in front of the address. Which header that is
// depends on what the library knows of the address (alloc/blocks.hpp):
//  - a live block: its real header, as it stands now;
//  - an address released within the window and not handed out again: the
//    header its release left (a pooled one had its magic cleared; an
//    oversize one keeps its magic and is seen with the freed bit), rebuilt
//    from the window, never read: that memory is the system allocator's;
//  - any other address: the 32 bytes in front of it, read only once they are
//    known to be readable (else -1). Such an address is never released:
//    where every check passes, the answer is -1.
#include <cstdlib>

#include "alloc/block.hpp"
#include "alloc/blocks.hpp"
#include "alloc/charges.hpp"
#include "alloc/peek.hpp"
#include "core/covering.hpp"
#include "core/lock.hpp"
#include "core/messages.hpp"
#include "core/records.hpp"
#include "core/trace.hpp"

using namespace tav;

namespace {

tavblkhdr header_left_by_release(const BlockFacts &b)
{
    tavblkhdr h{};
    if (b.state == BlockState::released_oversize) {
        h.flags = TAV_BLK_OVERSIZE | TAV_BLK_FREED;
        h.magic = TAV_BLK_MAGIC;
        h.handle = b.handle;
    } else {
        h.flags = TAV_BLK_FREED;
    }
    return h;
}

// The header in front of an address nothing vouches for, if it can be read
// at all. Out of line: the common releases never come here.
[[gnu::noinline]] bool header_of_unknown(uintptr_t addr, tavblkhdr *h)
{
    return peek(header_address(addr), h, sizeof *h);
}

// What the checks found, in their order; each failure is one status code.
enum class Finding : uint8_t {
    bad_magic,    // -1
    other_handle, // -2
    no_class,     // -2: a pooled size of 0, or one no pool covers
    pool_unused,  // -3
    dead_type,    // -4, counted in the covering pool's ffail for a pooled block
    freed,        // -4, with the double-free message
    sound,
};

struct Verdict {
    Finding finding;
    int32_t pool;  // the covering pool, or -1 (an oversize block, or none found)
    tavtype *type; // for freed and sound
};

// The release checks of a header, in their order. Changes nothing.
Verdict judge(const tavblkhdr &h, tavhandle type)
{
    if (h.magic != TAV_BLK_MAGIC) return {Finding::bad_magic, -1, nullptr};
    if (h.handle != type) return {Finding::other_handle, -1, nullptr};
    int32_t p = -1;
    if ((h.flags & TAV_BLK_OVERSIZE) == 0) {
        p = h.size == 0 ? -1 : covering_pool(h.size);
        if (p < 0) return {Finding::no_class, -1, nullptr};
        if (tavnode.pools[p].inuse == 0) return {Finding::pool_unused, p, nullptr};
    }
    tavtype *t = resolve<TAV_KIND_TYPE>(h.handle);
    if (t == nullptr) return {Finding::dead_type, p, nullptr};
    return {(h.flags & TAV_BLK_FREED) != 0 ? Finding::freed : Finding::sound, p, t};
}

} // namespace

extern "C" int32_t tavpoolfree(tavhandle type, void *ptr)
{
    if (ptr == nullptr) {
        report_null_free();
        return TAV_FREE_BADHEADER;
    }
    void *const caller = __builtin_return_address(0);
    WriteLock lock;
    if (!lock) return TAV_FREE_BADHEADER;

    const auto addr = reinterpret_cast<uintptr_t>(ptr);
    const BlockFacts known = blocks_find(addr);
    const bool live = known.state == BlockState::live;
    // A live block's header is judged where it stands; any other is a copy.
    tavblkhdr copy;
    if (known.state == BlockState::unknown) {
        if (!header_of_unknown(addr, &copy)) return TAV_FREE_BADHEADER;
    } else if (!live) {
        copy = header_left_by_release(known);
    }
    const tavblkhdr &h = live ? *header_of(ptr) : copy;

    const Verdict v = judge(h, type);
    switch (v.finding) {
    case Finding::bad_magic:
        return TAV_FREE_BADHEADER;
    case Finding::other_handle:
    case Finding::no_class:
        return TAV_FREE_MISMATCH;
    case Finding::pool_unused:
        return TAV_FREE_POOL_UNUSED;
    case Finding::dead_type:
        if (v.pool >= 0) ++tavnode.pools[v.pool].ffail;
        return TAV_FREE_DEAD;
    case Finding::freed:
        report_double_free(ptr, *v.type);
        return TAV_FREE_DEAD;
    case Finding::sound:
        if (!live) return TAV_FREE_BADHEADER; // never released: nothing vouches for it
        break;
    }

    // A pooled block is charged back by its pool's size, an oversize one by its header's.
    const bool pooled = v.pool >= 0;
    const int32_t bytes = pooled ? tavnode.pools[v.pool].size : h.size;
    tavgroup &g = group_of(*v.type);
    g.balloc = wrap_sub(g.balloc, bytes);
    v.type->balloc = wrap_sub(v.type->balloc, bytes);
    blocks_take_back(known, addr, !pooled, h.handle);

    tavblkhdr *real = header_of(ptr);
    if (pooled) {
        pool_count_release(tavnode.pools[v.pool], v.type->index);
        trace_record(TAV_TRACE_FREE, 0, ptr, caller);
        // Marked dead; an oversize block leaves its header as it was.
        real->magic = 0;
        real->handle = 0;
        real->flags = static_cast<uint8_t>((real->flags | TAV_BLK_FREED) & ~TAV_BLK_OVERSIZE);
    }
    std::free(real);
    return TAV_OK;
}
