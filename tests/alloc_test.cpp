#include <malloc.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

#include "host/fixture.hpp"

namespace {

const tavblkhdr &header(const void *p) { return static_cast<const tavblkhdr *>(p)[-1]; }
bool zeroed(const void *p, size_t n) { return std::memcmp(p, std::vector<char>(n).data(), n) == 0; }

} // namespace

using AllocBlock = Registry;

TEST_F(AllocBlock, PooledBlockIsRoundedUpChargedAndHeadered)
{
    const tavhandle g = group("net");
    for (int32_t size : {16, 32, 64}) pool(size);
    const tavhandle none = type(g, "none"); // default size 0: no default pool
    const tavhandle t = type(g, "pkt", 20);
    const tavhandle wide = t | (0xABCDull << 40); // ignored to resolve, kept in the header
    void *p = tavpoolalloc(wide, 40), *q = tavpoolalloc(t, 64);
    ASSERT_TRUE(p != nullptr && q != nullptr);
    unsigned char want[32] = {0, 0, 0, 0, 0xAA, 0xAA, 0xAA, 0xAA, 64};
    std::memcpy(want + 16, &wide, 8);
    EXPECT_EQ(std::memcmp(&header(p), want, 32), 0);
    EXPECT_TRUE(zeroed(p, 64));
    EXPECT_LT(malloc_usable_size(&const_cast<tavblkhdr &>(header(q))), size_t{2 * 96}); // header and block
    EXPECT_EQ(std::tuple(tavnode.groups[0].balloc, tavnode.types[1].balloc, tavnode.types[0].balloc),
              std::tuple(128, 128, 0));
    EXPECT_EQ(pool_row(2, 1), (Row{2, 2, -2, 2, 0, 0, 2, 2, 2, 0}));
    EXPECT_EQ(pool_row(2, 0), (Row{2, 2, -2, 2, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(pool_row(1, 1), Row(10, 0));
    void *d = tavpoolalloc(t, 0), *n = tavpoolalloc(t, -5);
    ASSERT_TRUE(d != nullptr && n != nullptr);
    // The default pool, the smallest pool; no oversize block.
    EXPECT_EQ(std::tuple(header(d).size, header(n).size, tavnode.groups[0].bigcount), std::tuple(32, 16, 0u));

    const Row before = counters();
    EXPECT_EQ(tavpoolalloc(none, 0), nullptr);
    tavnode.pools[2].inuse = 0; // a covering pool not in use
    EXPECT_EQ(tavpoolalloc(t, 40), nullptr);
    tavnode.pools[2].inuse = 1;
    for (tavhandle bad : {tavhandle{0}, g, t + 1, t + 0x01000000})
        EXPECT_EQ(tavpoolalloc(bad, 16), nullptr) << bad;
    EXPECT_EQ(counters(), before);
    ASSERT_EQ(tavpoolfree(wide, p), 0);
    for (void *b : {q, d, n}) EXPECT_EQ(tavpoolfree(t, b), 0);
    EXPECT_EQ(pool_row(2, 1), (Row{0, 2, 0, 2, 2, 0, 0, 2, 2, 2}));
    void *again[2] = {tavpoolalloc(t, 64), tavpoolalloc(t, 64)}; // back to the peak, not past it
    EXPECT_EQ(pool_row(2, 1), (Row{2, 2, -2, 4, 2, 0, 2, 2, 4, 2}));
    for (void *b : again) EXPECT_EQ(tavpoolfree(t, b), 0);
    pool(8192); // above the sizes looked up directly (4096): just above, and an exact fit, are still pooled
    for (int32_t size : {4097, 8192}) {
        void *large = tavpoolalloc(t, size);
        EXPECT_EQ(std::pair(header(large).flags, header(large).size), std::pair(uint8_t{0}, 8192)) << size;
        EXPECT_EQ(tavpoolfree(t, large), 0);
    }
}

TEST_F(AllocBlock, OversizeBlockHasExactSizeAndTouchesNoPool)
{
    const tavhandle t = type(group("net"), "pkt");
    // No pool at all: a negative size is refused outright, a positive one is oversize.
    const Row before = counters();
    const long calls = host::calloc_calls();
    EXPECT_EQ(tavpoolalloc(t, -4), nullptr);
    EXPECT_EQ(host::calloc_calls(), calls);
    EXPECT_EQ(counters(), before);
    void *bare = tavpoolalloc(t, 1); // the smallest block there is
    pool(16);
    pool(64);
    void *p = tavpoolalloc(t, 100);
    ASSERT_TRUE(bare != nullptr && p != nullptr);
    EXPECT_EQ(header(bare).size, 1);
    unsigned char want[32] = {2, 0, 0, 0, 0xAA, 0xAA, 0xAA, 0xAA, 100};
    std::memcpy(want + 16, &t, 8);
    EXPECT_EQ(std::memcmp(&header(p), want, 32), 0);
    EXPECT_TRUE(zeroed(p, 100));
    EXPECT_EQ(std::tuple(tavnode.groups[0].bigcount, tavnode.groups[0].balloc, tavnode.types[0].balloc),
              std::tuple(2u, 101, 101));
    EXPECT_EQ(pool_row(0, 0), Row(10, 0));
    EXPECT_EQ(pool_row(1, 0), Row(10, 0));
    EXPECT_EQ(tavpoolfree(t, bare) | tavpoolfree(t, p), 0);
}

using AllocBudget = Registry;

TEST_F(AllocBudget, GroupIsTestedBeforeTypeAtAndAroundTheLimits)
{
    struct Case {
        int32_t gmax, tmax, defsize;
        std::vector<int32_t> sizes;  // requests in order, with pools 32 and 64
        std::vector<int32_t> blocks; // block size charged, 0 for refused
        uint32_t gfail, tfail, big;
    };
    const Case cases[] = {
        {100, 0, 0, {64, 64, 32}, {64, 0, 32}, 1, 0, 0},
        {96, 0, 0, {64, 32, 1}, {64, 32, 0}, 1, 0, 0}, // equal to the budget fits
        {0, 100, 0, {64, 64, 32}, {64, 0, 32}, 0, 1, 0},
        {64, 64, 0, {64, 32}, {64, 0}, 1, 0, 0}, // both full: only the group counts
        {200, 100, 0, {64, 64}, {64, 0}, 0, 1, 0},
        {0, 100, 0, {200, 100}, {0, 100}, 0, 1, 2}, // bigcount stays for a refused oversize
        {0, 40, 20, {0, 0}, {32, 0}, 0, 1, 0},      // the default pool's size counts, not defsize
        {16, 0, 0, {0}, {0}, 0, 0, 0},              // no default pool: refused before any budget
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "group " << c.gmax << " type " << c.tmax);
        tavshutdown();
        pool(32);
        pool(64);
        const tavhandle t = type(group("g", c.gmax), "t", c.defsize, c.tmax);
        std::vector<void *> held;
        int64_t charged = 0;
        for (size_t i = 0; i < c.sizes.size(); ++i) {
            void *p = tavpoolalloc(t, c.sizes[i]);
            EXPECT_EQ(p == nullptr ? 0 : header(p).size, c.blocks[i]) << "request " << i;
            charged += c.blocks[i];
            if (p != nullptr) held.push_back(p);
        }
        const tavgroup &gr = tavnode.groups[0];
        const tavtype &ty = tavnode.types[0];
        EXPECT_EQ(
            (Row{gr.balloc, int64_t(gr.failcount), int64_t(gr.bigcount), ty.balloc, int64_t(ty.failcount)}),
            (Row{charged, c.gfail, c.big, charged, c.tfail}));
        for (void *p : held) EXPECT_EQ(tavpoolfree(t, p), 0);
    }
}

// A charge never wraps: a block that would take the group's, then the type's charge past INT32_MAX
// is refused like a budget refusal (that record's failcount, nothing else), with a budget or none.
TEST_F(AllocBudget, AChargeNeverPassesInt32Max)
{
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    struct Case {
        int32_t gmax, gcharged, tcharged, size;
        int64_t gfail, tfail; // counters() holds the group's failcount at 3, bigcount at 4, the type's at 6
    };
    const Case cases[] = {
        {100, kMax - 10, 0, 64, 1, 0},                // the budget test alone would let the wrapped sum in
        {0, kMax - 63, kMax - 63, 64, 1, 0},          // both would pass: the group counts
        {0, 1468006400, 1468006400, 734003200, 1, 0}, // a third block of 700 MiB, oversize
        {0, 0, kMax - 63, 64, 0, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "charged " << c.gcharged << " and " << c.tcharged);
        tavshutdown();
        pool(64);
        const tavhandle t = type(group("g", c.gmax), "t");
        tavnode.groups[0].balloc = c.gcharged;
        tavnode.types[0].balloc = c.tcharged;
        Row want = counters();
        EXPECT_EQ(tavpoolalloc(t, c.size), nullptr);
        want[3] += c.gfail, want[4] += c.size > 64, want[6] += c.tfail;
        EXPECT_EQ(counters(), want);
    }
    tavnode.groups[0].balloc = tavnode.types[0].balloc = kMax - 64; // up to INT32_MAX exactly
    void *p = tavpoolalloc(0x02000000u, 64);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::pair(tavnode.groups[0].balloc, tavnode.types[0].balloc), std::pair(kMax, kMax));
    EXPECT_EQ(tavpoolfree(0x02000000u, p), 0);
}
