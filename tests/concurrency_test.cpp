#include <atomic>
#include <random>
#include <thread>

#include "host/books.hpp"
#include "host/fixture.hpp"

using Concurrency = Registry;

TEST_F(Concurrency, ThreadsAllocateAndReleaseWhileOthersPrint)
{
    constexpr int kTypes = 4, kPools = 3;
    constexpr int32_t kPoolSizes[kPools] = {16, 64, 256}, kDefsize[kTypes] = {20, 8, 100, 64};
    const tavhandle g0 = group("g0"), g1 = group("g1", 2048);
    for (int32_t s : kPoolSizes) pool(s);
    // Budgets small enough that both kinds refuse some requests.
    const tavhandle types[kTypes] = {type(g0, "t0", kDefsize[0]), type(g0, "t1", kDefsize[1], 1024),
                                     type(g1, "t2", kDefsize[2]), type(g1, "t3", kDefsize[3], 768)};
    std::atomic<uint32_t> pooled[kPools][kTypes] = {};
    std::atomic<uint64_t> oversize[kTypes] = {}, refused{0}, errors{0}; // oversize: refused ones too
    std::atomic<bool> done{false};
    const auto writer = [&](unsigned seed) {
        std::mt19937 rng(seed);
        std::vector<std::pair<int, void *>> held;
        for (int i = 0; i < 1500 || !held.empty(); ++i) { // then drained
            if (i % 100 == 0) // beyond g1's budget and beyond t1's: refused however the threads interleave
                for (const auto &[t, size] : {std::pair{2, 4096}, std::pair{1, 2000}})
                    ++oversize[t], refused += tavpoolalloc(types[t], size) == nullptr;
            if (i >= 1500 || held.size() == 8 || (!held.empty() && rng() % 2 == 0)) {
                const size_t k = rng() % held.size();
                errors += tavpoolfree(types[held[k].first], held[k].second) != 0;
                held[k] = held.back();
                held.pop_back();
                continue;
            }
            const int t = static_cast<int>(rng() % kTypes);
            const uint32_t pick = rng() % 16;
            const int32_t size =
                pick == 0 ? 0 : static_cast<int32_t>(pick == 1 ? 300 + rng() % 300 : 1 + rng() % 256);
            int pool = 0;
            while (pool < kPools && (size == 0 ? kDefsize[t] : size) > kPoolSizes[pool]) ++pool;
            void *p = tavpoolalloc(types[t], size);
            oversize[t] += pool == kPools;
            refused += p == nullptr;
            if (p != nullptr && pool < kPools) ++pooled[pool][t];
            if (p != nullptr) held.emplace_back(t, p);
        }
    };
    const auto reader = [&] {
        for (int round = 0; round < 300 && !done; ++round) {
            errors += (tavgroupdumpinfo(nullptr) | tavtypedumpinfo(nullptr) | tavpooldumpinfo(0) |
                       tavpooldumpblockstats(0) | tavpooldumpblockstatsdetailed(64, nullptr) |
                       tavpooldumpblockstatsfortype("t2", 0)) != 0;
            // Under the read lock no allocation or release is seen half done.
            pthread_rwlock_rdlock(&tavnode.lock);
            for (int i = 0; i < tavnode.npools; ++i) {
                const tavpool &p = tavnode.pools[i];
                uint32_t alloced = 0, asucc = 0;
                for (int t = 0; t < tavnode.ntypes; ++t)
                    alloced += p.typestats.alloced[t], asucc += p.typestats.asucc[t];
                errors += p.free != -static_cast<int32_t>(p.alloced) || alloced != p.alloced ||
                          asucc != p.asucc || p.asucc - p.fsucc != p.alloced;
            }
            pthread_rwlock_unlock(&tavnode.lock);
        }
    };
    {
        host::StdoutCapture tables; // standard output is process-wide: captured once around all threads
        std::jthread r1(reader), r2(reader);
        {
            std::vector<std::jthread> writers;
            for (unsigned seed = 1000; seed < 1004; ++seed) writers.emplace_back(writer, seed);
        }
        done = true;
    }
    EXPECT_EQ(errors.load(), 0u);
    EXPECT_EQ(host::books_problem({}), ""); // every byte and block charged back
    uint64_t failures = 0;
    for (int g = 0; g < 2; ++g) { // types 2g and 2g+1 are group g's
        EXPECT_EQ(tavnode.groups[g].bigcount, oversize[2 * g] + oversize[2 * g + 1]) << g;
        failures +=
            tavnode.groups[g].failcount + tavnode.types[2 * g].failcount + tavnode.types[2 * g + 1].failcount;
    }
    EXPECT_EQ(failures, refused.load());
    EXPECT_GT(tavnode.groups[1].failcount * (tavnode.types[1].failcount + tavnode.types[3].failcount), 0u);
    for (int i = 0; i < kPools; ++i) {
        for (int t = 0; t < kTypes; ++t) {
            const tavcounters &c = tavnode.pools[i].typestats;
            EXPECT_EQ(std::pair(c.asucc[t], c.fsucc[t]), std::pair(pooled[i][t].load(), pooled[i][t].load()))
                << i << t;
        }
    }
}
