#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/fixture.hpp"

namespace {

std::string double_free(const void *p, const char *type)
{
    char line[128];
    std::snprintf(line, sizeof line, "tavtest: Double memory free %p type \"%s\"!!!\n", p, type);
    return line;
}

// Releases with standard output captured; returns what was printed.
std::string release(tavhandle h, void *p, int32_t expect)
{
    return host::captured([&] { EXPECT_EQ(tavpoolfree(h, p), expect); });
}

void craft(void *at, uint8_t flags, int32_t size, tavhandle h)
{
    const tavblkhdr hd{flags, {}, TAV_BLK_MAGIC, size, 0, h, 0};
    std::memcpy(at, &hd, sizeof hd);
}

} // namespace

using ReleaseCodes = Registry;

TEST_F(ReleaseCodes, RefusalsComeInCheckOrderAndRepeatsAreCaught)
{
    const tavhandle g = group("net");
    const tavhandle a = type(g, "a"), b = type(g, "b");
    pool(64);
    EXPECT_EQ(release(a, nullptr, -1), "tavtest: NULL pointer free!!!\n");
    void *p = tavpoolalloc(a, 20);
    ASSERT_NE(p, nullptr);
    alignas(16) unsigned char foreign[96] = {};
    const Row before = counters();
    EXPECT_EQ(release(a, foreign + 32, -1), "");
    EXPECT_EQ(release(b, p, -2), "");
    EXPECT_EQ(release(a | (1ull << 32), p, -2), ""); // all 64 bits must match
    tavnode.pools[0].inuse = 0;
    EXPECT_EQ(release(a, p, -3), "");
    tavnode.pools[0].inuse = 1;
    EXPECT_EQ(counters(), before);
    tavnode.types[0].inuse = 0;
    EXPECT_EQ(release(a, p, -4), "");
    tavnode.types[0].inuse = 1;
    EXPECT_EQ(pool_row(0, 0), (Row{1, 1, -1, 1, 0, 1, 1, 1, 1, 0}));
    EXPECT_EQ(tavnode.groups[0].balloc, 64);
    ASSERT_EQ(tavpoolfree(a, p), 0); // charged back by the pool's size, not the 20 asked for
    EXPECT_EQ(pool_row(0, 0), (Row{0, 1, 0, 1, 1, 1, 0, 1, 1, 1}));
    EXPECT_EQ(pool_row(0, 1), (Row{0, 1, 0, 1, 1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(std::pair(tavnode.groups[0].balloc, tavnode.types[0].balloc), std::pair(0, 0));
    Row now = counters();
    EXPECT_EQ(release(a, p, -1), ""); // a pooled block released twice
    EXPECT_EQ(counters(), now);

    // An oversize block keeps its header: a repeat is reported while its type lives.
    void *q = tavpoolalloc(a, 100);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(tavnode.groups[0].balloc, 100);
    ASSERT_EQ(tavpoolfree(a, q), 0); // charged back by the header's size
    EXPECT_EQ(std::pair(tavnode.groups[0].balloc, tavnode.types[0].balloc), std::pair(0, 0));
    now = counters();
    EXPECT_EQ(release(a, q, -4), double_free(q, "a"));
    EXPECT_EQ(release(b, q, -2), "");
    tavnode.types[0].inuse = 0;
    EXPECT_EQ(release(a, q, -4), "");
    tavnode.types[0].inuse = 1;
    EXPECT_EQ(counters(), now);
}

TEST_F(ReleaseCodes, ForeignMemoryIsNeverReleased)
{
    const tavhandle a = type(group("net"), "a");
    pool(64);
    struct Case {
        uint8_t flags;
        int32_t size;
        tavhandle handle;
        int32_t rc;
        bool reported;
        uint32_t ffail;
    };
    const Case cases[] = {
        {0, 64, a, -1, false, 0}, // every check passes, yet the block is not ours
        {0, 20, a, -1, false, 0},      {2, 100, a, -1, false, 0},
        {0, 0, a, -2, false, 0},       {0, 100, a, -2, false, 0}, // no pool covers it
        {1, 64, a, -4, true, 0},       {3, 100, a, -4, true, 0},
        {0, 64, a + 5, -4, false, 1}, // no such type: the pool counts it
        {2, 100, a + 5, -4, false, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "flags " << int{c.flags} << " size " << c.size);
        alignas(16) unsigned char buf[32 + 64] = {}, copy[sizeof buf];
        craft(buf, c.flags, c.size, c.handle);
        std::memcpy(copy, buf, sizeof buf);
        const Row before = counters();
        const uint32_t ffail = tavnode.pools[0].ffail;
        EXPECT_EQ(release(c.handle, buf + 32, c.rc), c.reported ? double_free(buf + 32, "a") : "");
        EXPECT_EQ(std::memcmp(buf, copy, sizeof buf), 0);
        EXPECT_EQ(tavnode.pools[0].ffail - ffail, c.ffail);
        tavnode.pools[0].ffail = ffail; // the one counter a release of no known type moves
        EXPECT_EQ(counters(), before);
    }
    // A valid-looking header inside a live block does not make its interior releasable.
    auto *p = static_cast<unsigned char *>(tavpoolalloc(a, 64));
    ASSERT_NE(p, nullptr);
    craft(p, 0, 64, a);
    const Row before = counters();
    EXPECT_EQ(release(a, p + 32, -1), "");
    EXPECT_EQ(counters(), before);
    EXPECT_EQ(tavpoolfree(a, p), 0);
}

using ReleaseCharge = Registry;

TEST_F(ReleaseCharge, BlocksOutlivingShutdownWaitForMatchingRecords)
{
    const tavhandle g = group("net");
    type(g, "a");
    const tavhandle b = type(g, "b");
    pool(64);
    void *p = tavpoolalloc(b, 20), *q = tavpoolalloc(b, 100);
    ASSERT_TRUE(p != nullptr && q != nullptr);
    tavshutdown();
    EXPECT_EQ(release(b, p, -2), ""); // no pool covers 64 any more
    EXPECT_EQ(release(b, q, -4), ""); // its type is gone

    // Fewer types than before: the pooled block's type is still missing.
    const tavhandle g2 = group("disk");
    type(g2, "x");
    pool(128);
    EXPECT_EQ(release(b, p, -4), "");
    EXPECT_EQ(release(b, q, -4), "");
    EXPECT_EQ(tavnode.pools[0].ffail, 1u);

    // Same type index and a covering pool: charged back against the new records.
    EXPECT_EQ(type(g2, "y"), b);
    const uint32_t at = tavnode.tracenext;
    EXPECT_EQ(tavpoolfree(b, p), 0);
    EXPECT_EQ(std::pair(tavnode.types[1].balloc, tavnode.groups[0].balloc), std::pair(-128, -128));
    EXPECT_EQ(pool_row(0, 1), (Row{0xFFFFFFFF, 0, 1, 0, 1, 1, 0xFFFFFFFF, 0, 0, 1}));
    EXPECT_EQ(std::pair(tavnode.trace[at].op, tavnode.trace[at].ptr), std::pair(15u, p));
    EXPECT_EQ(tavpoolfree(b, q), 0);
    EXPECT_EQ(std::pair(tavnode.types[1].balloc, tavnode.groups[0].balloc), std::pair(-228, -228));
}
