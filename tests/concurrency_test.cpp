#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "host/books.hpp"
#include "host/fixture.hpp"

namespace {

constexpr int kWriters = 4, kReaders = 2, kIterations = 1500, kHeld = 8, kTypes = 4, kPools = 3;
constexpr int32_t kPoolSizes[kPools] = {16, 64, 256};
constexpr int32_t kDefsize[kTypes] = {20, 8, 100, 64};

// What the threads saw, to compare with the library's counters at the end.
struct Seen {
    std::atomic<uint32_t> pooled[kPools][kTypes] = {};
    std::atomic<uint64_t> oversize[kTypes] = {}; // requests, refused ones included
    std::atomic<uint64_t> refused{0}, errors{0};
};

int pool_for(int32_t size) // -1 for an oversize block
{
    for (int i = 0; i < kPools; ++i)
        if (size <= kPoolSizes[i]) return i;
    return -1;
}

void writer(unsigned seed, const std::vector<tavhandle> &types, Seen &seen)
{
    std::mt19937 rng(seed);
    std::vector<std::pair<int, void *>> held;
    auto release = [&](size_t i) {
        seen.errors += tavpoolfree(types[held[i].first], held[i].second) != 0;
        held[i] = held.back();
        held.pop_back();
    };
    for (int i = 0; i < kIterations; ++i) {
        if (i % 100 == 0) {
            // Beyond g1's budget and beyond t1's: refused however the threads interleave.
            for (const auto &[t, size] : {std::pair{2, 4096}, std::pair{1, 2000}}) {
                ++seen.oversize[t];
                seen.refused += tavpoolalloc(types[t], size) == nullptr;
            }
        }
        if (held.size() == kHeld || (!held.empty() && rng() % 2 == 0)) {
            release(rng() % held.size());
            continue;
        }
        const int t = static_cast<int>(rng() % kTypes);
        const uint32_t pick = rng() % 16;
        const int32_t size =
            pick == 0 ? 0 : static_cast<int32_t>(pick == 1 ? 300 + rng() % 300 : 1 + rng() % 256);
        const int pool = pool_for(size == 0 ? kDefsize[t] : size);
        if (pool < 0) ++seen.oversize[t];
        void *p = tavpoolalloc(types[t], size);
        if (p == nullptr) {
            ++seen.refused;
            continue;
        }
        if (pool >= 0) ++seen.pooled[pool][t];
        held.emplace_back(t, p);
    }
    while (!held.empty()) release(0);
}

// Queries and tables, and a look under the read lock that each pool's
// counters agree with each other: no allocation or release is seen half done.
void reader(const std::atomic<bool> &done, const std::vector<tavhandle> &types, Seen &seen)
{
    for (int round = 0; round < 300 && !done; ++round) {
        int32_t balloc = 0, nfree = 0, size = 0;
        uint32_t fail = 0, s[5] = {};
        seen.errors += tavgroupgetstatistics(0x01000001, &balloc, &fail) != 0;
        seen.errors += tavtypegetstatistics(types[round % kTypes], &balloc, &fail) != 0;
        seen.errors +=
            tavpoolgetstatistics(0x03000001, &nfree, &s[0], &s[1], &s[2], &s[3], &s[4], &fail) != -3;
        seen.errors += tavpoolhandletosize(0x03000002, &size) != -3;
        seen.errors += tavgroupdumpinfo(nullptr) + tavtypedumpinfo(nullptr) + tavpooldumpinfo(0) != 0;
        seen.errors += tavpooldumpblockstats(0) + tavpooldumpblockstatsdetailed(64, nullptr) != 0;
        seen.errors += tavpooldumpblockstatsfortype("t2", 0) != 0;

        pthread_rwlock_rdlock(&tavnode.lock);
        for (int i = 0; i < tavnode.npools; ++i) {
            const tavpool &p = tavnode.pools[i];
            uint32_t alloced = 0, asucc = 0;
            for (int t = 0; t < tavnode.ntypes; ++t) {
                alloced += p.typestats.alloced[t];
                asucc += p.typestats.asucc[t];
            }
            seen.errors += p.free != -static_cast<int32_t>(p.alloced) || alloced != p.alloced ||
                           asucc != p.asucc || p.asucc - p.fsucc != p.alloced;
        }
        pthread_rwlock_unlock(&tavnode.lock);
    }
}

} // namespace

using Concurrency = Registry;

TEST_F(Concurrency, ThreadsAllocateAndReleaseWhileOthersPrint)
{
    const tavhandle g0 = group("g0"), g1 = group("g1", 2048);
    for (int32_t s : kPoolSizes) pool(s);
    // Budgets small enough that both kinds refuse some requests.
    const std::vector<tavhandle> types = {type(g0, "t0", kDefsize[0]), type(g0, "t1", kDefsize[1], 1024),
                                          type(g1, "t2", kDefsize[2]), type(g1, "t3", kDefsize[3], 768)};
    const int group_of[kTypes] = {0, 0, 1, 1};

    Seen seen;
    std::atomic<bool> done{false};
    // Tables go to /dev/null; redirected once, as standard output is process-wide.
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO), devnull = open("/dev/null", O_WRONLY);
    ASSERT_GE(devnull, 0);
    dup2(devnull, STDOUT_FILENO);
    {
        std::vector<std::thread> readers, writers;
        for (int i = 0; i < kReaders; ++i)
            readers.emplace_back(reader, std::cref(done), std::cref(types), std::ref(seen));
        for (int i = 0; i < kWriters; ++i)
            writers.emplace_back(writer, 1000u + i, std::cref(types), std::ref(seen));
        for (auto &w : writers) w.join();
        done = true;
        for (auto &r : readers) r.join();
    }
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(devnull);

    EXPECT_EQ(seen.errors.load(), 0u);
    EXPECT_EQ(host::books_problem({}), ""); // every byte and block charged back
    uint64_t failures = 0, big[2] = {};
    for (int t = 0; t < kTypes; ++t) {
        failures += tavnode.types[t].failcount;
        big[group_of[t]] += seen.oversize[t];
    }
    for (int g = 0; g < 2; ++g) {
        EXPECT_EQ(tavnode.groups[g].bigcount, big[g]) << g;
        failures += tavnode.groups[g].failcount;
    }
    EXPECT_EQ(failures, seen.refused.load());
    EXPECT_GT(tavnode.groups[1].failcount, 0u);
    EXPECT_GT(tavnode.types[1].failcount + tavnode.types[3].failcount, 0u);
    for (int i = 0; i < kPools; ++i) {
        uint32_t total = 0;
        for (int t = 0; t < kTypes; ++t) {
            EXPECT_EQ(tavnode.pools[i].typestats.asucc[t], seen.pooled[i][t].load()) << i << "/" << t;
            EXPECT_EQ(tavnode.pools[i].typestats.fsucc[t], seen.pooled[i][t].load()) << i << "/" << t;
            total += seen.pooled[i][t];
        }
        EXPECT_GT(total, 0u);
        EXPECT_EQ(tavnode.pools[i].asucc, total);
    }
}
