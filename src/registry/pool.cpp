// Pools: block-size classes. A pool owns no memory; it fixes the block size
// of the requests it covers and carries their counters.
#include "core/counters.hpp"
#include "core/lock.hpp"
#include "core/messages.hpp"
#include "core/records.hpp"
#include "registry/query.hpp"
#include "registry/sizelist.hpp"

using namespace tav;

namespace {

// A new pool becomes the default of every type it covers more tightly than
// the type's current default.
void rechoose_default_pools(const tavpool &p)
{
    for (int32_t i = 0; i < tavnode.ntypes; ++i) {
        tavtype &t = tavnode.types[i];
        if (t.defsize > p.size) continue;
        if (t.pidx == -1 || p.size < tavnode.pools[t.pidx].size) t.pidx = static_cast<int32_t>(p.index);
    }
}

int32_t validate(int32_t size, int32_t incblks, int32_t maxblks)
{
    // Negative sizes would make blocks smaller than their header.
    if (size <= 0 || (size & 3) != 0) return TAV_POOL_BADSIZE;
    if (incblks > maxblks) return TAV_POOL_INC_ABOVE_MAX;
    // incblks == -1 with maxblks == INT32_MIN cannot reach here: incblks > maxblks.
    if (incblks != 0 && maxblks != 0 && maxblks % incblks != 0) return TAV_POOL_MAX_NOT_MULTIPLE;
    return TAV_OK;
}

} // namespace

extern "C" {

int32_t tavpoolregister(int32_t size, int32_t incblks, int32_t maxblks, tavhandle *pool)
{
    if (pool == nullptr) return TAV_POOL_BADSIZE;
    *pool = 0;
    if (int32_t rc = validate(size, incblks, maxblks); rc != TAV_OK) return rc;

    WriteLock lock;
    if (!lock) return TAV_POOL_BADSIZE;
    if (const int32_t i =
            find_record<TAV_KIND_POOL>(Scan::all, [size](const tavpool &p) { return p.size == size; });
        i >= 0) {
        *pool = make_handle(TAV_KIND_POOL, static_cast<uint32_t>(i));
        return TAV_OK;
    }

    tavpool *p = grow_by_one<TAV_KIND_POOL>();
    if (p == nullptr) return TAV_POOL_NOMEM;
    p->inuse = 1;
    p->index = static_cast<uint32_t>(tavnode.npools);
    p->size = size;
    p->incblks = incblks;
    p->maxblks = maxblks;
    ++tavnode.npools;
    const uint32_t index = p->index;

    if (!sizelist_insert(size, index)) report_pool_unlisted();
    rechoose_default_pools(tavnode.pools[index]);
    if (tavnode.ntypes != 0 && resize_counters(tavnode.pools[index].typestats, tavnode.ntypes) != 0)
        return TAV_POOL_NOMEM_COUNTERS;

    *pool = make_handle(TAV_KIND_POOL, index);
    return TAV_OK;
}

int32_t tavpoolsizetohandle(int32_t size, tavhandle *pool)
{
    if (pool == nullptr) return TAV_E_NULL;
    return lookup<TAV_KIND_POOL>(pool, [size](const tavpool &p) { return p.size == size; });
}

int32_t tavpoolhandletosize(tavhandle pool, int32_t *size)
{
    if (size == nullptr) return TAV_E_NULL;
    return query<TAV_KIND_POOL>(
        pool, [&](const tavpool &p) { *size = p.size; }, TAV_POOL_FOUND);
}

int32_t tavpoolgetconfig(tavhandle pool, int32_t *size, int32_t *incblks, int32_t *maxblks)
{
    if (size == nullptr || incblks == nullptr || maxblks == nullptr) return TAV_E_NULL;
    return query<TAV_KIND_POOL>(
        pool,
        [&](const tavpool &p) {
            *size = p.size;
            *incblks = p.incblks;
            *maxblks = p.maxblks;
        },
        TAV_POOL_FOUND);
}

int32_t tavpoolgetstatistics(tavhandle pool, int32_t *free, uint32_t *alloced, uint32_t *apeak,
                             uint32_t *asucc, uint32_t *fsucc, uint32_t *afail, uint32_t *ffail)
{
    if (free == nullptr || alloced == nullptr || apeak == nullptr || asucc == nullptr || fsucc == nullptr ||
        afail == nullptr || ffail == nullptr)
        return TAV_E_NULL;
    return query<TAV_KIND_POOL>(
        pool,
        [&](const tavpool &p) {
            *free = p.free;
            *alloced = p.alloced;
            *apeak = p.apeak;
            *asucc = p.asucc;
            *fsucc = p.fsucc;
            *afail = p.afail;
            *ffail = p.ffail;
        },
        TAV_POOL_FOUND);
}

} // extern "C"
