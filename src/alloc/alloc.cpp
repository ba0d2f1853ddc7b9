// tavpoolalloc: a zero-filled block charged to its type, group and size class.
#include <cstdlib>

#include "alloc/block.hpp"
#include "alloc/blocks.hpp"
#include "alloc/charges.hpp"
#include "core/covering.hpp"
#include "core/lock.hpp"
#include "core/records.hpp"
#include "core/trace.hpp"

using namespace tav;

namespace {

// What serves a request: a pool, or no pool (an oversize block), or nothing.
struct Choice {
    tavpool *pool; // null for an oversize block
    int32_t bsize; // the block size charged
    bool served;
};

// The covering class of a non-zero size, or the type's default pool for size 0.
Choice choose(const tavtype &t, int32_t size)
{
    const int32_t p = size == 0 ? (t.pidx < tavnode.npools ? t.pidx : -1) : covering_pool(size);
    if (p >= 0) {
        tavpool *pool = &tavnode.pools[p];
        return {pool, pool->size, pool->inuse != 0};
    }
    // No default pool; or a negative size no class covers, which would be a
    // block smaller than its header.
    return {nullptr, size, size > 0};
}

} // namespace

extern "C" void *tavpoolalloc(tavhandle type, int32_t size)
{
    void *const caller = __builtin_return_address(0);
    WriteLock lock;
    if (!lock) return nullptr;
    tavtype *t = resolve<TAV_KIND_TYPE>(type);
    if (t == nullptr) return nullptr;
    tavgroup &g = group_of(*t);

    const Choice c = choose(*t, size);
    if (!c.served) return nullptr;
    if (c.pool == nullptr) ++g.bigcount;

    // A budget refusal, or a charge that would pass what 32 bits hold: the group first.
    if (!may_charge(g.bmax, g.balloc, c.bsize)) {
        ++g.failcount;
        return nullptr;
    }
    if (!may_charge(t->bmax, t->balloc, c.bsize)) {
        ++t->failcount;
        return nullptr;
    }

    auto *h = static_cast<tavblkhdr *>(std::calloc(1, sizeof(tavblkhdr) + static_cast<size_t>(c.bsize)));
    if (h == nullptr) return nullptr;
    void *data = data_of(h);
    if (!blocks_hand_out(reinterpret_cast<uintptr_t>(data))) {
        std::free(h);
        return nullptr;
    }
    h->flags = c.pool == nullptr ? TAV_BLK_OVERSIZE : 0;
    h->magic = TAV_BLK_MAGIC;
    h->size = c.bsize;
    h->handle = type;

    charge(g.balloc, c.bsize);
    charge(t->balloc, c.bsize);
    if (c.pool != nullptr) pool_count_alloc(*c.pool, t->index);
    trace_record(TAV_TRACE_ALLOC, static_cast<uint32_t>(c.bsize), data, caller);
    return data;
}
