// The registry tables: groups, types, pools and the size-class list.
#include <tuple>

#include "core/lock.hpp"
#include "core/names.hpp"
#include "diag/formats.hpp"

using namespace tav;

extern "C" {

int32_t tavgroupdumpinfo(const char *name)
{
    ReadLock lock;
    if (!lock) return kTableLockFailed;
    print_table(
        formats::group, tavnode.ngroups,
        [name](int32_t i) { return name == nullptr || same_name(name, tavnode.groups[i].name); },
        [](int32_t i) {
            const tavgroup &g = tavnode.groups[i];
            return std::tuple{i, num(g.inuse), num(g.index), g.name, num(g.ntypes), g.bmax, g.balloc};
        });
    return 0;
}

int32_t tavtypedumpinfo(const char *name)
{
    ReadLock lock;
    if (!lock) return kTableLockFailed;
    print_table(
        formats::type, tavnode.ntypes,
        [name](int32_t i) { return name == nullptr || same_name(name, tavnode.types[i].name); },
        [](int32_t i) {
            const tavtype &t = tavnode.types[i];
            return std::tuple{i,         num(t.inuse), num(t.index), t.name, t.gindex,
                              t.defsize, t.bmax,       t.balloc,     t.pidx};
        });
    return 0;
}

int32_t tavpooldumpinfo(int32_t size)
{
    ReadLock lock;
    if (!lock) return kTableLockFailed;
    print_table(
        formats::pool, tavnode.npools,
        [size](int32_t i) { return size == 0 || tavnode.pools[i].size == size; },
        [](int32_t i) {
            const tavpool &p = tavnode.pools[i];
            return std::tuple{i, num(p.inuse), num(p.index), p.size, p.incblks, p.maxblks, num(p.csize)};
        });
    return 0;
}

int32_t tavpooldumplistinfo(int32_t size)
{
    ReadLock lock;
    if (!lock) return kTableLockFailed;
    print_heading(formats::sizelist, 0);
    for (const tavsizenode *n = tavnode.sizelist; n != nullptr; n = n->next)
        if (size == 0 || n->bsize == size)
            print_row(formats::sizelist, std::tuple{0, n->bsize, num(n->pindex), static_cast<const void *>(n),
                                                    static_cast<const void *>(n->next)});
    return 0;
}

} // extern "C"
