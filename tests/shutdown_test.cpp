#include <malloc.h>

#include "host/fixture.hpp"

using Shutdown = Registry;

TEST_F(Shutdown, ForgetsEveryHandleKeepsTheTraceRingAndReturnsEveryByte)
{
    const auto shutdown_leaves_nothing = [] {
        EXPECT_EQ(tavshutdown(), 0);
        EXPECT_EQ(std::tuple(tavnode.ngroups, tavnode.ntypes, tavnode.npools, tavnode.groups, tavnode.types,
                             tavnode.pools, tavnode.sizelist),
                  std::tuple(0, 0, 0, nullptr, nullptr, nullptr, nullptr));
    };
    shutdown_leaves_nothing(); // of an unused registry
    const tavhandle g = group("net"), t = type(g, "buf", 16), p = (pool(32), pool(16)); // 16 goes in front
    ASSERT_EQ(tavpoolfree(t, tavpoolalloc(t, 0)), 0);
    const auto ring = std::tuple(tavnode.trace, tavnode.tracenext, tavnode.tracesize, tavnode.tracewraps);
    ASSERT_NE(tavnode.trace, nullptr);
    shutdown_leaves_nothing();
    shutdown_leaves_nothing();
    char name[32];
    int32_t size = 0;
    tavhandle h = 42;
    EXPECT_EQ(std::tuple(tavgrouphandletoname(g, name), tavtypehandletoname(t, name),
                         tavpoolhandletosize(p, &size), tavgroupnametohandle("net", &h),
                         tavtypenametohandle("buf", &h), tavpoolsizetohandle(16, &h),
                         tavtyperegister(g, "buf", 0, 0, &h)),
              std::tuple(-2, -2, -2, -2, -2, -2, -1));
    const long calls = host::calloc_calls();
    EXPECT_EQ(group("disk"), 0x01000000u);
    EXPECT_EQ(host::calloc_calls() - calls, 1); // the table only: the ring is still there
    EXPECT_EQ(std::tuple(tavnode.trace, tavnode.tracenext, tavnode.tracesize, tavnode.tracewraps), ring);
    EXPECT_EQ(type(0x01000000, "buf"), 0x02000000u);
    // All taken from malloc is given back, but the trace ring and block record made by the first round.
    const auto in_use = [] { return static_cast<long>(mallinfo2().uordblks + mallinfo2().hblkhd); };
    const auto round = [] {
        const tavhandle net = group("net");
        for (int32_t bsize = 16; bsize <= 256; bsize *= 2) pool(bsize);
        std::vector<tavhandle> types;
        for (int i = 0; i < 200; ++i) types.push_back(type(net, ("t" + std::to_string(i)).c_str(), 20));
        for (int i = 0; i < 2000; ++i)
            for (int32_t bytes : {20, 200, 5000})
                ASSERT_EQ(tavpoolfree(types[0], tavpoolalloc(types[0], bytes)), 0);
        ASSERT_EQ(tavshutdown(), 0);
        host::announcements() = {};
    };
    round();
    const long before = in_use();
    if (auto probe = std::make_unique<char[]>(1 << 20); in_use() - before < (1 << 20))
        GTEST_SKIP() << "malloc is not glibc's (a sanitizer or valgrind)";
    round();
    EXPECT_LT(in_use() - before, 4096);
}
