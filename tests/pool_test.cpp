#include <pthread.h>

#include <array>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "host/fixture.hpp"

using PoolRegistry = Registry;

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
