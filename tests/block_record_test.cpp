#include <algorithm>
#include <random>

#include "host/fixture.hpp"

using ReleaseRecord = Registry;

// Churn through growth, evictions from a full window and holes left by reused addresses: every held
// block is taken back, and the last 1000 released (not handed out again) are still known as released.
TEST_F(ReleaseRecord, ChurnKeepsEveryHeldBlockAndTheRecentReleases)
{
    host::StdoutCapture quiet; // the double-free messages
    const tavhandle t = type(group("churn"), "big");
    pool(64); // 100 and 200 bytes are oversize: a known repeat says -4, an unknown one -1
    std::mt19937 rng(7);
    std::vector<void *> held, released;
    const auto all_released_known = [&] {
        std::erase_if(released,
                      [&](void *p) { return std::find(held.begin(), held.end(), p) != held.end(); });
        for (void *p : released) ASSERT_EQ(tavpoolfree(t, p), TAV_FREE_DEAD);
    };
    for (int i = 0; i < 60000; ++i) {
        const unsigned pick = rng() % 8;
        if (pick < 4 &&
            held.size() < 2000) { // near the most live blocks before the record grows: long clusters
            ASSERT_NE(held.emplace_back(tavpoolalloc(t, 100)), nullptr);
            std::erase(released, held.back()); // handed out again: no longer released
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
        if (i % 5000 == 4999) all_released_known();
    }
    // Growth with the window wrapped round its ring: the recent releases move along.
    for (int i = 0; i < 3000; ++i) ASSERT_NE(held.emplace_back(tavpoolalloc(t, 200)), nullptr);
    all_released_known();
    for (void *p : held) ASSERT_EQ(tavpoolfree(t, p), 0);
    EXPECT_EQ(tavnode.groups[0].balloc, 0);
}
