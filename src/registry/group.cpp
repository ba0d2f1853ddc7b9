// Memory groups: the outermost accounting unit, with an optional byte budget
// over all of their types.
#include "core/lock.hpp"
#include "core/names.hpp"
#include "core/records.hpp"
#include "core/trace.hpp"
#include "registry/query.hpp"

using namespace tav;

extern "C" {

int32_t tavgroupregister(const char *name, int32_t bmax, tavhandle *group)
{
    if (name == nullptr || group == nullptr) return TAV_GROUP_EXISTS;
    WriteLock lock;
    if (!lock) return TAV_GROUP_EXISTS;
    *group = 0;
    if (find_record<TAV_KIND_GROUP>(Scan::all,
                                    [name](const tavgroup &g) { return same_name(g.name, name); }) >= 0)
        return TAV_GROUP_EXISTS;

    tavgroup *g = grow_by_one<TAV_KIND_GROUP>();
    if (g == nullptr) return TAV_GROUP_NOMEM;
    g->inuse = 1;
    g->index = static_cast<uint32_t>(tavnode.ngroups);
    store_name(g->name, name);
    g->bmax = bmax;
    ++tavnode.ngroups;
    *group = make_handle(TAV_KIND_GROUP, g->index);

    trace_create();
    return TAV_OK;
}

int32_t tavgroupnametohandle(const char *name, tavhandle *group)
{
    if (name == nullptr || group == nullptr) return TAV_E_NULL;
    return lookup<TAV_KIND_GROUP>(group, [name](const tavgroup &g) { return same_name(g.name, name); });
}

int32_t tavgrouphandletoname(tavhandle group, char *name)
{
    if (name == nullptr) return TAV_E_NULL;
    return query<TAV_KIND_GROUP>(group, [&](const tavgroup &g) { copy_name_out(name, g.name); });
}

int32_t tavgroupgetconfig(tavhandle group, char *name, int32_t *bmax)
{
    if (name == nullptr || bmax == nullptr) return TAV_E_NULL;
    return query<TAV_KIND_GROUP>(group, [&](const tavgroup &g) {
        copy_name_out(name, g.name);
        *bmax = g.bmax;
    });
}

int32_t tavgroupgetstatistics(tavhandle group, int32_t *balloc, uint32_t *failcount)
{
    if (balloc == nullptr || failcount == nullptr) return TAV_E_NULL;
    return query<TAV_KIND_GROUP>(group, [&](const tavgroup &g) {
        *balloc = g.balloc;
        *failcount = static_cast<uint32_t>(g.failcount);
    });
}

} // extern "C"
