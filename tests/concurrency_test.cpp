#include <atomic>
#include <random>
#include <thread>

#include "host/books.hpp"
#include "host/fixture.hpp"

using Concurrency = Registry;

// Writers allocate and release under budgets that refuse some requests while readers print every table
// and look at the counters under the read lock: no half-done operation is ever seen, and once the
// writers have drained, every byte and block is charged back and each refusal counted once.
TEST_F(Concurrency, ThreadsAllocateAndReleaseWhileOthersPrint)
{
    const tavhandle g0 = group("g0"), g1 = group("g1", 2048);
    for (int32_t s : {16, 64, 256}) pool(s);
    const tavhandle types[] = {type(g0, "t0", 20), type(g0, "t1", 8, 1024), type(g1, "t2", 100),
                               type(g1, "t3", 64, 768)};
    std::atomic<uint64_t> refused{0}, errors{0};
    std::atomic<bool> done{false};
    const auto writer = [&](unsigned seed) {
        std::mt19937 rng(seed);
        std::vector<std::pair<tavhandle, void *>> held;
        for (int i = 0; i < 1500 || !held.empty(); ++i) { // then drained
            if (i % 100 == 0) // beyond g1's budget and beyond t1's: refused however the threads interleave
                refused +=
                    (tavpoolalloc(types[2], 4096) == nullptr) + (tavpoolalloc(types[1], 2000) == nullptr);
            if (i >= 1500 || held.size() == 8 || (!held.empty() && rng() % 2 == 0)) {
                const size_t k = rng() % held.size();
                errors += tavpoolfree(held[k].first, held[k].second) != 0;
                held[k] = held.back();
                held.pop_back();
                continue;
            }
            const tavhandle t = types[rng() % 4];
            const uint32_t pick = rng() % 16;
            const int32_t size =
                pick == 0 ? 0 : static_cast<int32_t>(pick == 1 ? 300 + rng() % 300 : 1 + rng() % 256);
            void *p = tavpoolalloc(t, size);
            refused += p == nullptr;
            if (p != nullptr) held.emplace_back(t, p);
        }
    };
    const auto reader = [&] {
        for (int round = 0; round < 300 && !done; ++round) {
            errors += (tavgroupdumpinfo(nullptr) | tavtypedumpinfo(nullptr) | tavpooldumpinfo(0) |
                       tavpooldumpblockstats(0) | tavpooldumpblockstatsdetailed(64, nullptr) |
                       tavpooldumpblockstatsfortype("t2", 0)) != 0;
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
    EXPECT_EQ(host::books_problem({}), "");
    uint64_t failures = 0;
    for (int g = 0; g < tavnode.ngroups; ++g) failures += tavnode.groups[g].failcount;
    for (int t = 0; t < tavnode.ntypes; ++t) failures += tavnode.types[t].failcount;
    EXPECT_EQ(failures, refused.load());
    EXPECT_GT(tavnode.groups[1].failcount * (tavnode.types[1].failcount + tavnode.types[3].failcount), 0u);
    for (int i = 0; i < tavnode.npools; ++i) {
        const tavcounters &c = tavnode.pools[i].typestats;
        for (int t = 0; t < 4; ++t) EXPECT_EQ(c.asucc[t], c.fsucc[t]) << i << t;
    }
}
