// Releases everything the registries own and leaves the empty registry.
// The trace ring stays for the life of the process, and so do the structures of
// handed-out blocks (alloc/blocks.hpp): blocks outlive a shutdown and stay recognisable.
#include <cstdlib>

#include "core/counters.hpp"
#include "core/lock.hpp"
#include "registry/sizelist.hpp"
#include "tav.h"

using namespace tav;

extern "C" int32_t tavshutdown(void)
{
    WriteLock lock;
    if (!lock) return lock.status();
    std::free(tavnode.groups);
    std::free(tavnode.types);
    for (int32_t i = 0; i < tavnode.npools; ++i) release_counters(tavnode.pools[i].typestats);
    std::free(tavnode.pools);
    sizelist_release();
    tavnode.ngroups = tavnode.ntypes = tavnode.npools = 0;
    tavnode.groups = nullptr;
    tavnode.types = nullptr;
    tavnode.pools = nullptr;
    return TAV_OK;
}
