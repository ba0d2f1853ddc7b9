// tavpoolalloc: a zero-filled block charged to its type, group and size class.
#include <cstdlib>

#include "alloc/block.hpp"
#include "alloc/blockrecord.hpp"
#include "core/covering.hpp"
#include "core/lock.hpp"
#include "core/records.hpp"
#include "core/trace.hpp"

using namespace tav;

namespace {

// The pool that serves a request: the covering class of a non-zero size, or
// the type's default pool for size 0. Null with *oversize set when no class
// covers a positive size; null alone when the request cannot be served.
tavpool *choose_pool(const tavtype &t, int32_t size, bool *oversize)
{
    *oversize = false;
    if (size == 0) {
        if (t.pidx < 0 || t.pidx >= tavnode.npools) return nullptr;
        tavpool *p = &tavnode.pools[t.pidx];
        return p->inuse != 0 ? p : nullptr;
    }
    if (const tavsizenode *n = covering_class(size)) {
        tavpool *p = &tavnode.pools[n->pindex];
        return p->inuse != 0 ? p : nullptr;
    }
    // A negative size no class covers would be a block smaller than its header.
    *oversize = size > 0;
    return nullptr;
}

} // namespace

extern "C" void *tavpoolalloc(tavhandle type, int32_t size)
{
    void *const caller = __builtin_return_address(0);
    WriteLock lock;
    tavtype *t = resolve<TAV_KIND_TYPE>(type);
    if (t == nullptr) return nullptr;
    tavgroup &g = group_of(*t);

    bool oversize = false;
    tavpool *p = choose_pool(*t, size, &oversize);
    if (p == nullptr && !oversize) return nullptr;
    if (oversize) ++g.bigcount;
    const int32_t bsize = oversize ? size : p->size;

    if (over_budget(g.bmax, g.balloc, bsize)) {
        ++g.failcount;
        return nullptr;
    }
    if (over_budget(t->bmax, t->balloc, bsize)) {
        ++t->failcount;
        return nullptr;
    }

    if (!record_reserve()) return nullptr;
    auto *h = static_cast<tavblkhdr *>(std::calloc(1, sizeof(tavblkhdr) + static_cast<size_t>(bsize)));
    if (h == nullptr) return nullptr;
    h->flags = oversize ? TAV_BLK_OVERSIZE : 0;
    h->magic = TAV_BLK_MAGIC;
    h->size = bsize;
    h->handle = type;
    void *data = data_of(h);
    record_live(data);

    g.balloc = wrap_add(g.balloc, bsize);
    t->balloc = wrap_add(t->balloc, bsize);
    if (p != nullptr) pool_count_alloc(*p, t->index);
    trace_record(TAV_TRACE_ALLOC, static_cast<uint32_t>(bsize), data, caller);
    return data;
}
