// tavpoolfree: takes a block back, undoing every charge its allocation made.
//
// The checks run on the header in front of the address. Which header that is
// depends on what the block record knows of the address:
//  - a live block: its real header, as it stands now;
//  - a block released and not handed out again: the header the release left
//    (a pooled one had its magic cleared; an oversize one keeps its magic and
//    is seen with the freed bit), rebuilt from the record, never read;
//  - an unknown address: the 32 bytes in front of it. Such a block is never
//    released: where every check passes, the answer is -1.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc/block.hpp"
#include "alloc/blockrecord.hpp"
#include "core/covering.hpp"
#include "core/lock.hpp"
#include "core/records.hpp"
#include "core/trace.hpp"
#include "platform/zuno.h"

using namespace tav;

namespace {

void report_null_free() { std::printf("%s: NULL pointer free!!!\n", zunoGetProcessName()); }

void report_double_free(const void *ptr, const tavtype &t)
{
    std::printf("%s: Double memory free %p type \"%s\"!!!\n", zunoGetProcessName(), ptr, t.name);
}

tavblkhdr header_left_by_release(const BlockEntry &e)
{
    tavblkhdr h{};
    if (e.state == BlockState::released_oversize) {
        h.flags = TAV_BLK_OVERSIZE | TAV_BLK_FREED;
        h.magic = TAV_BLK_MAGIC;
        h.handle = e.handle;
    } else {
        h.flags = TAV_BLK_FREED;
    }
    return h;
}

struct Verdict {
    int32_t code;
    tavtype *type; // set when code is 0
    tavpool *pool; // set when code is 0 and the block is pooled
};

// The release checks, in their order. A pooled block whose type is gone
// counts a failed release in its pool; a block marked freed is reported.
Verdict check(const tavblkhdr &h, tavhandle type, const void *ptr)
{
    if (h.magic != TAV_BLK_MAGIC) return {TAV_FREE_BADHEADER, nullptr, nullptr};
    if (h.handle != type) return {TAV_FREE_MISMATCH, nullptr, nullptr};

    tavpool *p = nullptr;
    if ((h.flags & TAV_BLK_OVERSIZE) == 0) {
        if (h.size == 0) return {TAV_FREE_MISMATCH, nullptr, nullptr};
        const tavsizenode *n = covering_class(h.size);
        if (n == nullptr) return {TAV_FREE_MISMATCH, nullptr, nullptr};
        p = &tavnode.pools[n->pindex];
        if (p->inuse == 0) return {TAV_FREE_POOL_UNUSED, nullptr, nullptr};
    }
    tavtype *t = resolve<TAV_KIND_TYPE>(h.handle);
    if (t == nullptr) {
        if (p != nullptr) ++p->ffail;
        return {TAV_FREE_DEAD, nullptr, nullptr};
    }
    if ((h.flags & TAV_BLK_FREED) != 0) {
        report_double_free(ptr, *t);
        return {TAV_FREE_DEAD, nullptr, nullptr};
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

    BlockEntry *known = record_find(ptr);
    const bool live = known != nullptr && known->state == BlockState::live;
    tavblkhdr h;
    if (known != nullptr && !live)
        h = header_left_by_release(*known);
    else
        std::memcpy(&h, header_of(ptr), sizeof h);

    const Verdict v = check(h, type, ptr);
    if (v.code != TAV_OK) return v.code;
    if (!live) return TAV_FREE_BADHEADER;

    // A pooled block is charged back by its pool's size, an oversize one by its header's.
    const bool pooled = v.pool != nullptr;
    const int32_t bytes = pooled ? v.pool->size : h.size;
    tavgroup &g = group_of(*v.type);
    g.balloc = wrap_sub(g.balloc, bytes);
    v.type->balloc = wrap_sub(v.type->balloc, bytes);
    record_released(known, !pooled, h.handle);

    tavblkhdr *real = header_of(ptr);
    if (pooled) {
        pool_count_release(*v.pool, v.type->index);
        trace_record(TAV_TRACE_FREE, 0, ptr, caller);
        // Marked dead; an oversize block leaves its header as it was.
        real->magic = 0;
        real->handle = 0;
        real->flags = static_cast<uint8_t>((real->flags | TAV_BLK_FREED) & ~TAV_BLK_OVERSIZE);
    }
    std::free(real);
    return TAV_OK;
}
