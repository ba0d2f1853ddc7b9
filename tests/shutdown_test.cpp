#include <malloc.h>

#include <memory>
#include <tuple>
#include <vector>

#include "host/fixture.hpp"

using Shutdown = Registry;

namespace {

void expect_empty()
{
    EXPECT_EQ(std::tuple(tavnode.ngroups, tavnode.ntypes, tavnode.npools), std::tuple(0, 0, 0));
    EXPECT_EQ(std::tuple(tavnode.groups, tavnode.types, tavnode.pools, tavnode.sizelist),
              std::tuple(nullptr, nullptr, nullptr, nullptr));
}

} // namespace

TEST_F(Shutdown, OfAnUnusedRegistryAndTwiceInARow)
{
    EXPECT_EQ(tavshutdown(), 0);
    expect_empty();
    type(group("net"), "buf", 8);
    pool(32);
    pool(16);
    EXPECT_EQ(tavshutdown(), 0);
    expect_empty();
    EXPECT_EQ(tavshutdown(), 0);
    expect_empty();
}

TEST_F(Shutdown, ForgetsEveryHandleButKeepsTheTraceRing)
{
    const tavhandle g = group("net");
    const tavhandle t = type(g, "buf", 16);
    const tavhandle p = pool(16);
    void *blk = tavpoolalloc(t, 0);
    ASSERT_NE(blk, nullptr);
    EXPECT_EQ(tavpoolfree(t, blk), 0);
    const auto ring = std::tuple(tavnode.trace, tavnode.tracenext, tavnode.tracesize, tavnode.tracewraps);
    ASSERT_NE(tavnode.trace, nullptr);

    EXPECT_EQ(tavshutdown(), 0);
    expect_empty();
    char name[32];
    int32_t size = 0;
    tavhandle h = 42;
    EXPECT_EQ(tavgrouphandletoname(g, name), -2);
    EXPECT_EQ(tavtypehandletoname(t, name), -2);
    EXPECT_EQ(tavpoolhandletosize(p, &size), -2);
    EXPECT_EQ(tavgroupnametohandle("net", &h), -2);
    EXPECT_EQ(tavtypenametohandle("buf", &h), -2);
    EXPECT_EQ(tavpoolsizetohandle(16, &h), -2);
    EXPECT_EQ(tavtyperegister(g, "buf", 0, 0, &h), -1);

    const long calls = host::calloc_calls();
    EXPECT_EQ(group("disk"), 0x01000000u);
    EXPECT_EQ(host::calloc_calls() - calls, 1); // the table only: the ring is still there
    EXPECT_EQ(std::tuple(tavnode.trace, tavnode.tracenext, tavnode.tracesize, tavnode.tracewraps), ring);
    EXPECT_EQ(type(0x01000000, "buf"), 0x02000000u);
}

// What the library takes from the system allocator it gives back: every
// block when released, everything else at shutdown (but the trace ring and
// the block record, made once for the process: the first round makes them).
TEST_F(Shutdown, ReturnsEveryByteItTook)
{
    const auto in_use = [] { return static_cast<long>(mallinfo2().uordblks + mallinfo2().hblkhd); };
    const auto round = [] {
        const tavhandle g = group("net");
        for (int32_t size = 16; size <= 256; size *= 2) pool(size);
        std::vector<tavhandle> types;
        for (int i = 0; i < 200; ++i) types.push_back(type(g, ("t" + std::to_string(i)).c_str(), 20));
        for (int i = 0; i < 2000; ++i)
            for (int32_t size : {20, 200, 5000}) ASSERT_EQ(tavpoolfree(types[0], tavpoolalloc(types[0], size)), 0);
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
