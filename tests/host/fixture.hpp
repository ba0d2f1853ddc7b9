// The fixture every library test derives from: each test starts and ends
// with an empty registry and no calloc failure armed.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdint>
#include <vector>

#include "host/host.hpp"

class Registry : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override
    {
        // Every path that takes the lock must release it: a held lock fails here, not in a hang later.
        ASSERT_EQ(pthread_rwlock_trywrlock(&tavnode.lock), 0) << "the test left tavnode.lock held";
        pthread_rwlock_unlock(&tavnode.lock);
        reset();
    }

    static void reset()
    {
        host::fail_calloc_never();
        tavshutdown();
        host::announcements().clear();
        host::on_announce() = nullptr;
    }

    static tavhandle group(const char *name, int32_t bmax = 0)
    {
        tavhandle h = 0;
        EXPECT_EQ(tavgroupregister(name, bmax, &h), 0) << name;
        return h;
    }
    static tavhandle type(tavhandle g, const char *name, int32_t defsize = 0, int32_t bmax = 0)
    {
        tavhandle h = 0;
        EXPECT_EQ(tavtyperegister(g, name, defsize, bmax, &h), 0) << name;
        return h;
    }
    static tavhandle pool(int32_t size, int32_t inc = 0, int32_t max = 0)
    {
        tavhandle h = 0;
        EXPECT_EQ(tavpoolregister(size, inc, max, &h), 0) << size;
        return h;
    }
};

using Row = std::vector<int64_t>;

// Pool i's alloced, apeak, free, asucc, fsucc, ffail, then its alloced, apeak, asucc, fsucc for type t.
inline Row pool_row(int i, int t)
{
    const tavpool &p = tavnode.pools[i];
    const tavcounters &c = p.typestats;
    return {p.alloced, p.apeak,      p.free,     p.asucc,    p.fsucc,
            p.ffail,   c.alloced[t], c.apeak[t], c.asucc[t], c.fsucc[t]};
}

// Every counter an allocation or a release can move, so that "nothing changed" is one comparison.
inline Row counters()
{
    Row v{tavnode.tracenext, int64_t(tavnode.tracewraps)};
    for (int i = 0; i < tavnode.ngroups; ++i) {
        const tavgroup &g = tavnode.groups[i];
        v.insert(v.end(), {g.balloc, int64_t(g.failcount), int64_t(g.bigcount)});
    }
    for (int i = 0; i < tavnode.ntypes; ++i)
        v.insert(v.end(), {tavnode.types[i].balloc, int64_t(tavnode.types[i].failcount)});
    for (int i = 0; i < tavnode.npools; ++i)
        for (int t = 0; t < tavnode.ntypes; ++t) {
            const Row r = pool_row(i, t);
            v.insert(v.end(), r.begin(), r.end());
        }
    return v;
}
