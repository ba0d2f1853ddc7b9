// tavpoolfree: takes a block back, undoing every charge its allocation made.
//
// The checks run on the header in front of the address. Which header that is
// depends on what the ledger knows of the address:
//  - a live block: its real header, as it stands now;
//  - an address released within the window and not handed out again: the
//    header its release left (a pooled one had its magic cleared; an
//    oversize one keeps its magic and is seen with the freed bit), rebuilt
//    from the ledger, never read: that memory is the system allocator's;
//  - any other address: the 32 bytes in front of it, read only once they are
//    known to be readable (else -1). Such an address is never released:
//    where every check passes, the answer is -1.
#include <cstdlib>

#include "alloc/block.hpp"
#include "alloc/charges.hpp"
#include "alloc/ledger.hpp"
#include "alloc/peek.hpp"
#include "core/covering.hpp"
#include "core/lock.hpp"
#include "core/records.hpp"
#include "core/trace.hpp"
#include "core/messages.hpp"

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

// The header in front of an address the ledger does not know, if it can be
// read at all. Out of line: the common releases never come here.
[[gnu::noinline]] bool header_of_unknown(uintptr_t addr, tavblkhdr *h)
{
    return peek(header_address(addr), h, sizeof *h);
}

struct Verdict {
    int32_t code;
    tavtype *type; // set when code is 0
    int32_t pool;  // set when code is 0: the covering pool, or -1 for an oversize block
};

// The release checks, in their order. Judging also counts and reports: a
// pooled block whose type is gone counts a failed release in its pool, and a
// block marked freed prints the double-free message.
Verdict judge_counting_and_reporting(const tavblkhdr &h, tavhandle type, const void *ptr)
{
    if (h.magic != TAV_BLK_MAGIC) return {TAV_FREE_BADHEADER, nullptr, -1};
    if (h.handle != type) return {TAV_FREE_MISMATCH, nullptr, -1};

    int32_t p = -1;
    if ((h.flags & TAV_BLK_OVERSIZE) == 0) {
        if (h.size == 0) return {TAV_FREE_MISMATCH, nullptr, -1};
        p = covering_pool(h.size);
        if (p < 0) return {TAV_FREE_MISMATCH, nullptr, -1};
        if (tavnode.pools[p].inuse == 0) return {TAV_FREE_POOL_UNUSED, nullptr, -1};
    }
    tavtype *t = resolve<TAV_KIND_TYPE>(h.handle);
    if (t == nullptr) {
        if (p >= 0) ++tavnode.pools[p].ffail;
        return {TAV_FREE_DEAD, nullptr, -1};
    }
    if ((h.flags & TAV_BLK_FREED) != 0) {
        report_double_free(ptr, *t);
        return {TAV_FREE_DEAD, nullptr, -1};
    }
    return {TAV_OK, t, p};
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
    const BlockFacts known = ledger_find(addr);
    const bool live = known.state == BlockState::live;
    // A live block's header is judged where it stands; any other is a copy.
    tavblkhdr copy;
    if (known.state == BlockState::unknown) {
        if (!header_of_unknown(addr, &copy)) return TAV_FREE_BADHEADER;
    } else if (!live) {
        copy = header_left_by_release(known);
    }
    const tavblkhdr &h = live ? *header_of(ptr) : copy;

    const Verdict v = judge_counting_and_reporting(h, type, ptr);
    if (v.code != TAV_OK) return v.code;
    if (!live) return TAV_FREE_BADHEADER;

    // A pooled block is charged back by its pool's size, an oversize one by its header's.
    const bool pooled = v.pool >= 0;
    const int32_t bytes = pooled ? tavnode.pools[v.pool].size : h.size;
    tavgroup &g = group_of(*v.type);
    g.balloc = wrap_sub(g.balloc, bytes);
    v.type->balloc = wrap_sub(v.type->balloc, bytes);
    ledger_released(known, addr, !pooled, h.handle);

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
