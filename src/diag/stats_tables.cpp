// The statistics tables: block and chunk counters per pool, and the per-type
// counters of one size class or of one type across pools.
#include <tuple>

#include "core/counters.hpp"
#include "core/covering.hpp"
#include "core/lock.hpp"
#include "core/names.hpp"
#include "diag/formats.hpp"

using namespace tav;

namespace {

// The six per-type counters of type t, 0 where an array is missing or short.
auto type_counters(const tavcounters &c, uint32_t t)
{
    return std::tuple{num(counter_at(c.alloced, t)), num(counter_at(c.apeak, t)),
                      num(counter_at(c.asucc, t)),   num(counter_at(c.fsucc, t)),
                      num(counter_at(c.afail, t)),   num(counter_at(c.ffail, t))};
}

auto pool_cells(int32_t i)
{
    const tavpool &p = tavnode.pools[i];
    return std::tuple{i, num(p.inuse), num(p.index), p.size};
}

auto size_filter(int32_t size)
{
    return [size](int32_t i) { return size == 0 || tavnode.pools[i].size == size; };
}

} // namespace

extern "C" {

int32_t tavpooldumpblockstats(int32_t size)
{
    ReadLock lock;
    if (!lock) return kTableLockFailed;
    print_table(formats::blockstats, tavnode.npools, size_filter(size), [](int32_t i) {
        const tavpool &p = tavnode.pools[i];
        return std::tuple_cat(pool_cells(i), std::tuple{num(p.alloced), num(p.apeak), p.free, num(p.asucc),
                                                        num(p.fsucc), num(p.afail), num(p.ffail)});
    });
    return 0;
}

int32_t tavpooldumpchunkstats(int32_t size)
{
    ReadLock lock;
    if (!lock) return kTableLockFailed;
    print_table(formats::chunkstats, tavnode.npools, size_filter(size), [](int32_t i) {
        const uint32_t *c = tavnode.pools[i].chunkstats;
        return std::tuple_cat(pool_cells(i), std::tuple{num(c[TAV_STAT_ALLOCED]), num(c[TAV_STAT_APEAK]),
                                                        num(c[TAV_STAT_ASUCC]), num(c[TAV_STAT_FSUCC]),
                                                        num(c[TAV_STAT_AFAIL]), num(c[TAV_STAT_FFAIL])});
    });
    return 0;
}

int32_t tavpooldumpblockstatsdetailed(int32_t size, const char *type)
{
    ReadLock lock;
    if (!lock) return kTableLockFailed;
    const int32_t t = type != nullptr ? find_type(Scan::live, type) : -1;
    if (type != nullptr && t < 0) return TAV_DUMP_NOTYPE;
    if (size == 0) return TAV_DUMP_NOCLASS;
    const int32_t p = covering_pool(size);
    if (p < 0) return TAV_DUMP_NOCLASS;
    const tavcounters &c = tavnode.pools[p].typestats;

    std::printf(formats::size_selection, size);
    print_table(
        formats::typestats, tavnode.ntypes, [type, t](int32_t i) { return type == nullptr || i == t; },
        [&c](int32_t i) {
            const tavtype &r = tavnode.types[i];
            return std::tuple_cat(std::tuple{i, num(r.inuse), num(r.index), r.name},
                                  type_counters(c, static_cast<uint32_t>(i)));
        });
    return 0;
}

int32_t tavpooldumpblockstatsfortype(const char *type, int32_t size)
{
    ReadLock lock;
    if (!lock) return kTableLockFailed;
    const int32_t t = type != nullptr ? find_type(Scan::live, type) : -1;
    if (t < 0) return TAV_DUMP_NOTYPE;

    std::printf(formats::type_selection, type);
    print_table(formats::chunkstats, tavnode.npools, size_filter(size), [t](int32_t i) {
        return std::tuple_cat(pool_cells(i),
                              type_counters(tavnode.pools[i].typestats, static_cast<uint32_t>(t)));
    });
    return 0;
}

int32_t tavpooldumpchunkinfo(void) { return 0; }

} // extern "C"
