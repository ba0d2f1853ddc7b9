// The record of handed-out and released blocks as it grows: thousands of
// live blocks make it rehash, and what it knew of released blocks must come
// through unchanged.
#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "host/fixture.hpp"

using ReleaseRecord = Registry;

TEST_F(ReleaseRecord, KeepsLiveAndReleasedBlocksAcrossGrowth)
{
    const tavhandle g = group("bulk");
    pool(64);
    pool(512);
    const tavhandle t = type(g, "item", 64);

    // One release of each kind, remembered before the record grows. Their
    // sizes differ from the live blocks', so no allocator hands them out again.
    void *pooled = tavpoolalloc(t, 500);
    void *oversize = tavpoolalloc(t, 1000);
    ASSERT_EQ(tavpoolfree(t, oversize), 0);
    ASSERT_EQ(tavpoolfree(t, pooled), 0);

    // More live blocks than the record's first table holds, twice over.
    std::vector<void *> live(5000);
    for (void *&p : live) {
        ASSERT_NE(p = tavpoolalloc(t, 0), nullptr);
        ASSERT_TRUE(p != pooled && p != oversize);
    }
    EXPECT_EQ(tavnode.pools[0].alloced, 5000u);

    // The released addresses are still answered from the record, not from freed memory.
    EXPECT_EQ(tavpoolfree(t, pooled), TAV_FREE_BADHEADER);
    char expected[128];
    std::snprintf(expected, sizeof expected, "tavtest: Double memory free %p type \"item\"!!!\n", oversize);
    EXPECT_EQ(host::captured([&] { EXPECT_EQ(tavpoolfree(t, oversize), TAV_FREE_DEAD); }), expected);

    for (void *p : live) ASSERT_EQ(tavpoolfree(t, p), 0);
    EXPECT_EQ(tavpoolfree(t, live.back()), TAV_FREE_BADHEADER);
    EXPECT_EQ(tavnode.pools[0].alloced, 0u);
    EXPECT_EQ(tavnode.pools[0].fsucc, 5000u);
    EXPECT_EQ(tavnode.groups[0].balloc, 0);
}

// Churn through growth, evictions from a full window and holes left by reused
// addresses: every held block is still taken back, and every address among
// the last 1000 released (and not handed out again) is still known as released.
TEST_F(ReleaseRecord, ChurnKeepsEveryHeldBlockAndTheRecentReleases)
{
    host::StdoutCapture quiet; // the double-free messages
    const tavhandle t = type(group("churn"), "big");
    pool(64); // requests of 100 bytes are oversize: a known repeat says -4, an unknown one -1
    std::mt19937 rng(7);
    std::vector<void *> held, released;
    for (int i = 0; i < 60000; ++i) {
        const unsigned pick = rng() % 8;
        if (pick < 4 && held.size() < 2000) { // near the most live blocks before the record grows: long clusters
            void *p = tavpoolalloc(t, 100);
            ASSERT_NE(p, nullptr);
            std::erase(released, p); // handed out again: no longer released
            held.push_back(p);
        } else if (pick < 7 && !held.empty()) {
            const size_t k = rng() % held.size();
            ASSERT_EQ(tavpoolfree(t, held[k]), 0) << i;
            released.push_back(held[k]);
            if (released.size() > 1000) released.erase(released.begin());
            held[k] = held.back();
            held.pop_back();
        } else if (!released.empty()) {
            ASSERT_EQ(tavpoolfree(t, released[rng() % released.size()]), TAV_FREE_DEAD) << i;
        }
        if (i % 5000 == 4999) {
            for (void *p : released) ASSERT_EQ(tavpoolfree(t, p), TAV_FREE_DEAD) << i;
        }
    }
    // Growth with the window wrapped round its ring: the recent releases move along.
    for (int i = 0; i < 3000; ++i) ASSERT_NE(held.emplace_back(tavpoolalloc(t, 200)), nullptr);
    for (void *p : released) {
        if (std::find(held.begin(), held.end(), p) == held.end()) {
            ASSERT_EQ(tavpoolfree(t, p), TAV_FREE_DEAD);
        }
    }
    for (void *p : held) ASSERT_EQ(tavpoolfree(t, p), 0);
    EXPECT_EQ(tavnode.groups[0].balloc, 0);
}
