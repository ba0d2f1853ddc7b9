// Memory types: the unit callers allocate in. Each belongs to one group, has
// a default request size and an optional budget; names are unique across
// groups and announced to the platform's namespace registry.
#include <algorithm>
#include <cstring>

#include "core/counters.hpp"
#include "core/covering.hpp"
#include "core/lock.hpp"
#include "core/names.hpp"
#include "core/records.hpp"
#include "registry/query.hpp"

using namespace tav;

namespace {

int32_t default_pool_for(int32_t defsize) { return defsize == 0 ? -1 : covering_pool(defsize); }

// Every pool's counters gain an entry for the new type. A failed resize stops
// the growth but not the registration: the shorter arrays stay readable by
// their own length.
void grow_counters_of_all_pools()
{
    for (int32_t i = 0; i < tavnode.npools; ++i)
        if (resize_counters(tavnode.pools[i].typestats, tavnode.ntypes) != 0) return;
}

// The namespace is the group's name followed by "TavMemType": at most 42
// characters, built with the string functions the library already needs.
void announce(const tavgroup &g, const char *name)
{
    static constexpr char kSuffix[] = "TavMemType";
    static constexpr size_t kNamespaceBuffer = 100;
    static_assert(sizeof g.name - 1 + sizeof kSuffix <= kNamespaceBuffer);
    char ns[kNamespaceBuffer];
    // strlcpy answers the source's length: never more than it copied here.
    const size_t n = std::min(strlcpy(ns, g.name, sizeof g.name), sizeof g.name - 1);
    std::memcpy(ns + n, kSuffix, sizeof kSuffix);
    zunoNamespaceAdd(ns, name, 0);
}

} // namespace

extern "C" {

int32_t tavtyperegister(tavhandle group, const char *name, int32_t defsize, int32_t bmax, tavhandle *type)
{
    if (name == nullptr || type == nullptr) return TAV_TYPE_BADGROUP;
    *type = 0;
    WriteLock lock;
    if (!lock) return TAV_TYPE_BADGROUP;
    const tavgroup *g = resolve<TAV_KIND_GROUP>(group);
    if (g == nullptr) return TAV_TYPE_BADGROUP;
    if (bmax != 0 && bmax < defsize) return TAV_TYPE_BUDGET_BELOW_DEFSIZE;
    if (g->bmax != 0 && g->bmax < bmax) return TAV_TYPE_BUDGET_ABOVE_GROUP;
    if (find_type(Scan::all, name) >= 0) return TAV_TYPE_EXISTS;

    const uint32_t gindex = g->index;
    tavtype *t = grow_by_one<TAV_KIND_TYPE>();
    if (t == nullptr) return TAV_TYPE_NOMEM;
    t->inuse = 1;
    t->index = static_cast<uint32_t>(tavnode.ntypes);
    store_name(t->name, name);
    t->defsize = defsize;
    t->bmax = bmax;
    t->gindex = gindex;
    t->pidx = default_pool_for(defsize);
    ++tavnode.ntypes;
    *type = make_handle(TAV_KIND_TYPE, t->index);

    grow_counters_of_all_pools();
    tavgroup &owner = tavnode.groups[gindex];
    ++owner.ntypes;
    announce(owner, name);
    return TAV_OK;
}

int32_t tavtypenametoindex(const char *name, uint32_t *index)
{
    if (name == nullptr || index == nullptr) return -1;
    *index = 0;
    const int32_t i = find_type(Scan::live, name);
    if (i < 0) return -1;
    *index = static_cast<uint32_t>(i);
    return TAV_OK;
}

int32_t tavtypenametohandle(const char *name, tavhandle *type)
{
    if (name == nullptr || type == nullptr) return TAV_E_NULL;
    return lookup<TAV_KIND_TYPE>(type, [name](const tavtype &t) { return same_name(t.name, name); });
}

int32_t tavtypehandletoname(tavhandle type, char *name)
{
    if (name == nullptr) return TAV_E_NULL;
    return query<TAV_KIND_TYPE>(type, [&](const tavtype &t) { copy_name_out(name, t.name); });
}

int32_t tavtypegetconfig(tavhandle type, char *name, int32_t *defsize, int32_t *bmax, char *groupname)
{
    if (name == nullptr || defsize == nullptr || bmax == nullptr || groupname == nullptr) return TAV_E_NULL;
    return query<TAV_KIND_TYPE>(type, [&](const tavtype &t) {
        copy_name_out(name, t.name);
        *defsize = t.defsize;
        *bmax = t.bmax;
        copy_name_out(groupname, group_of(t).name);
    });
}

int32_t tavtypegetstatistics(tavhandle type, int32_t *balloc, uint32_t *failcount)
{
    if (balloc == nullptr || failcount == nullptr) return TAV_E_NULL;
    return query<TAV_KIND_TYPE>(type, [&](const tavtype &t) {
        *balloc = t.balloc;
        *failcount = static_cast<uint32_t>(t.failcount);
    });
}

} // extern "C"
