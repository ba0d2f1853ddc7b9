#include <pthread.h>

#include <array>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "host/fixture.hpp"

using PoolRegistry = Registry;
using PoolOutOfMemory = Registry;

namespace {

using List = std::vector<std::pair<int32_t, uint32_t>>;

// The size-class list as (bsize, pindex), head first.
List sizelist()
{
    List out;
    for (const tavsizenode *n = tavnode.sizelist; n != nullptr; n = n->next)
        out.emplace_back(n->bsize, n->pindex);
    return out;
}

} // namespace

TEST_F(PoolRegistry, ValidationRefusesWithoutTakingTheLock)
{
    const struct {
        int32_t size, inc, max, code;
    } refused[] = {{0, 0, 0, -1},  {2, 0, 0, -1},   {6, 0, 0, -1},  {-4, 0, 0, -1}, {0, 16, 8, -1},
                   {8, 16, 8, -2}, {8, 20, 10, -2}, {8, 3, 10, -3}, {8, -3, 10, -3}};
    // A registration that took the write lock would wait for this read lock forever.
    ASSERT_EQ(pthread_rwlock_rdlock(&tavnode.lock), 0);
    for (const auto &c : refused) {
        tavhandle h = 42;
        EXPECT_EQ(tavpoolregister(c.size, c.inc, c.max, &h), c.code)
            << c.size << ' ' << c.inc << ' ' << c.max;
        EXPECT_EQ(h, 0u);
    }
    pthread_rwlock_unlock(&tavnode.lock);
    EXPECT_EQ(tavnode.npools, 0);
    for (const auto [size, inc, max, handle] : {std::array{8, 0, 10, 0}, {12, -3, 0, 1}, {16, 4, 4, 2}})
        EXPECT_EQ(pool(size, inc, max), 0x03000000u + handle);
}

TEST_F(PoolRegistry, NewPoolsBecomeDefaultOfTypesTheyCoverMoreTightly)
{
    const tavhandle g = group("net");
    pool(8);
    for (auto [name, defsize] : {std::pair{"twenty", 20}, {"zero", 0}, {"large", 128}, {"eight", 8}})
        type(g, name, defsize);
    EXPECT_EQ(tavnode.types[1].pidx, -1);
    const struct {
        int32_t size;
        std::vector<int32_t> pidx;
    } steps[] = {{64, {1, 1, -1, 0}}, {32, {2, 2, -1, 0}}, {16, {2, 3, -1, 0}}, {128, {2, 3, 4, 0}}};
    for (const auto &s : steps) {
        pool(s.size);
        std::vector<int32_t> pidx;
        for (int i = 0; i < tavnode.ntypes; ++i) pidx.push_back(tavnode.types[i].pidx);
        EXPECT_EQ(pidx, s.pidx) << "after pool " << s.size;
    }
}

// The callocs of a registration: the table, the size-class node, then the six
// counter arrays (alloced, apeak, asucc, fsucc, afail, ffail).
TEST_F(PoolOutOfMemory, NodeFailurePrintsAndRegistersThePoolUnlisted)
{
    tavhandle h = 42;
    int32_t rc = 1;
    host::fail_calloc(2);
    EXPECT_EQ(host::captured([&] { rc = tavpoolregister(32, 0, 0, &h); }), "Error in adding Pool to List\n");
    EXPECT_EQ(std::tuple(rc, h, tavnode.npools, tavnode.sizelist), std::tuple(0, 0x03000000u, 1, nullptr));
    pool(16);
    EXPECT_EQ(sizelist(), (List{{16, 1}}));
}

TEST_F(PoolOutOfMemory, CounterFailureGivesMinusSixWithThePoolLinked)
{
    for (int failing = 0; failing < 6; ++failing) {
        SCOPED_TRACE(failing);
        reset();
        const tavhandle g = group("net"), t = type(g, "buf", 20);
        tavhandle h = 42;
        host::fail_calloc(3 + failing);
        EXPECT_EQ(tavpoolregister(32, 0, 0, &h), -6);
        EXPECT_EQ(std::tuple(h, tavnode.npools, tavnode.types[0].pidx), std::tuple(0u, 1, 0));
        EXPECT_EQ(sizelist(), (List{{32, 0}}));
        const tavcounters &c = tavnode.pools[0].typestats;
        const uint32_t *a[] = {c.alloced, c.apeak, c.asucc, c.fsucc, c.afail, c.ffail};
        for (int k = 0; k < 6; ++k) EXPECT_EQ(a[k] != nullptr, k < failing) << k;
        // The partial counters must stand allocation, release and a later resize.
        void *blk = tavpoolalloc(t, 0);
        ASSERT_NE(blk, nullptr);
        EXPECT_EQ(tavpoolfree(t, blk), 0);
        type(g, "more");
        EXPECT_NE(tavnode.pools[0].typestats.ffail, nullptr);
    }
}
