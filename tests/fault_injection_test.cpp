// Out of memory at every step: a long scenario runs once per system
// allocation it makes, with exactly that allocation failing. After every call
// the books must balance against the blocks held and the lock be free, and
// shutdown must leave the empty registry.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "host/books.hpp"
#include "host/fixture.hpp"

namespace {

using host::Held;

// Registers, allocates, releases and prints, interleaved, checking after
// every call; returns with every granted block released again.
void scenario()
{
    std::vector<tavhandle> groups, types;
    std::vector<Held> blocks;
    tavhandle h = 0;
    auto step = [&blocks] {
        std::vector<Held> held;
        for (const Held &b : blocks)
            if (b.ptr != nullptr) held.push_back(b);
        ASSERT_EQ(host::books_problem(held), "");
    };

    for (const char *g : {"net", "storage", "ui"}) {
        if (tavgroupregister(g, g[0] == 'n' ? 8192 : 0, &h) == 0) groups.push_back(h);
        step();
    }
    for (int32_t size : {256, 64}) {
        tavpoolregister(size, 0, 0, &h);
        step();
    }
    const char *names[] = {"rx", "tx", "page", "glyph", "journal", "socket"};
    const int32_t defsizes[] = {200, 0, 4096, 20, 48, 128};
    for (int i = 0; i < 6; ++i) {
        if (!groups.empty() &&
            tavtyperegister(groups[i % groups.size()], names[i], defsizes[i], 0, &h) == 0)
            types.push_back(h);
        step();
        if (i == 2 || i == 4) {
            tavpoolregister(i == 2 ? 16 : 1024, 0, 0, &h);
            step();
        }
    }
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < types.size(); ++i) {
            for (int32_t size : {0, 12, 100, 900, 5000}) {
                if (void *p = tavpoolalloc(types[i], size)) blocks.push_back({types[i], p});
                step();
            }
        }
        for (size_t i = round; i < blocks.size(); i += 2) {
            if (blocks[i].ptr == nullptr) continue;
            ASSERT_EQ(tavpoolfree(blocks[i].type, blocks[i].ptr), 0);
            blocks[i].ptr = nullptr;
            step();
        }
        tavpooldumpblockstats(0);
        tavpooldumpblockstatsdetailed(100, nullptr);
        tavtypedumpinfo(nullptr);
        step();
    }
    for (Held &b : blocks) {
        if (b.ptr == nullptr) continue;
        ASSERT_EQ(tavpoolfree(b.type, std::exchange(b.ptr, nullptr)), 0);
        step();
    }
    // Every class served blocks, unless its node was never made.
    for (const tavsizenode *s = tavnode.sizelist; s != nullptr; s = s->next)
        EXPECT_GT(tavnode.pools[s->pindex].apeak, 0u);
}

} // namespace

using FaultInjection = Registry;

TEST_F(FaultInjection, EveryAllocationFailingInTurnLeavesAConsistentRegistry)
{
    // The tables and "Error in adding Pool to List" are not the point here;
    // gtest's own report of a failure is, so it goes to stderr.
    host::StdoutCapture quiet;
    struct Replay {
        host::StdoutCapture &cap;
        ~Replay()
        {
            const std::string out = cap.take();
            if (testing::Test::HasFailure()) std::fputs(out.c_str(), stderr);
        }
    } replay{quiet};
    scenario(); // once first: the process-wide block record is made by the first allocation
    tavshutdown();
    const long before = host::calloc_calls();
    scenario();
    const long total = host::calloc_calls() - before;
    ASSERT_GT(total, 40) << "the scenario should make many system allocations";
    tavshutdown();

    for (long nth = 1; nth <= total; ++nth) {
        SCOPED_TRACE(testing::Message() << "allocation " << nth << " of " << total << " fails");
        const long start = host::calloc_calls();
        host::fail_calloc(static_cast<int>(nth));
        scenario();
        host::fail_calloc_never();
        ASSERT_GE(host::calloc_calls() - start, nth) << "the failure was never reached";
        ASSERT_EQ(tavshutdown(), 0);
        ASSERT_EQ(host::books_problem({}), "");
        ASSERT_EQ(tavnode.ngroups + tavnode.ntypes + tavnode.npools, 0);
        ASSERT_EQ(tavnode.sizelist, nullptr);
        if (HasFatalFailure()) return;
    }
}
