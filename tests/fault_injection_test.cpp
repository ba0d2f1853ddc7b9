// Out of memory at every step: a long scenario runs once per system
// allocation it makes, with exactly that allocation failing. After every call
// the registry must be consistent and the lock free; at the end every charge
// must balance and shutdown must leave the empty registry.
#include <pthread.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host/fixture.hpp"

namespace {

struct Block {
    tavhandle type;
    void *ptr;
};

void expect_lock_free()
{
    ASSERT_EQ(pthread_rwlock_trywrlock(&tavnode.lock), 0) << "a call left the lock held";
    pthread_rwlock_unlock(&tavnode.lock);
}

void expect_consistent()
{
    expect_lock_free();
    const struct tavnode &n = tavnode;
    ASSERT_EQ(n.groups == nullptr, n.ngroups == 0);
    ASSERT_EQ(n.types == nullptr, n.ntypes == 0);
    ASSERT_EQ(n.pools == nullptr, n.npools == 0);

    std::vector<int64_t> group_bytes(n.ngroups, 0);
    uint32_t typed = 0;
    for (int32_t i = 0; i < n.ngroups; ++i) {
        ASSERT_EQ(n.groups[i].index, uint32_t(i));
        typed += n.groups[i].ntypes;
    }
    ASSERT_EQ(typed, uint32_t(n.ntypes));
    for (int32_t i = 0; i < n.ntypes; ++i) {
        const tavtype &t = n.types[i];
        ASSERT_EQ(t.index, uint32_t(i));
        ASSERT_LT(t.gindex, uint32_t(n.ngroups));
        ASSERT_TRUE(t.pidx == -1 || (t.pidx >= 0 && t.pidx < n.npools));
        group_bytes[t.gindex] += t.balloc;
    }
    for (int32_t i = 0; i < n.ngroups; ++i) ASSERT_EQ(n.groups[i].balloc, group_bytes[i]);
    for (int32_t i = 0; i < n.npools; ++i) {
        const tavpool &p = n.pools[i];
        ASSERT_EQ(p.index, uint32_t(i));
        ASSERT_EQ(p.free, -int32_t(p.alloced));
        ASSERT_EQ(p.asucc - p.fsucc, p.alloced);
    }
    std::vector<bool> listed(n.npools, false);
    for (const tavsizenode *s = n.sizelist; s != nullptr; s = s->next) {
        ASSERT_LT(s->pindex, uint32_t(n.npools));
        ASSERT_FALSE(listed[s->pindex]);
        listed[s->pindex] = true;
        ASSERT_EQ(n.pools[s->pindex].size, s->bsize);
        if (s->next != nullptr) {
            ASSERT_LT(s->bsize, s->next->bsize);
        }
    }
}

// A pool whose size-class node could not be allocated can still be a type's
// default pool, and its blocks are then charged back through the next larger
// class: the books balance only when every pool has its node.
bool every_pool_listed()
{
    int32_t listed = 0;
    for (const tavsizenode *s = tavnode.sizelist; s != nullptr; s = s->next) ++listed;
    return listed == tavnode.npools;
}

// Registers, allocates, releases and prints, interleaved, checking after
// every call; returns with every granted block released again.
void scenario()
{
    std::vector<tavhandle> groups, types;
    std::vector<Block> blocks;
    tavhandle h = 0;
    auto step = [] { expect_consistent(); };

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
    for (Block &b : blocks) {
        if (b.ptr == nullptr) continue;
        ASSERT_EQ(tavpoolfree(b.type, b.ptr), 0);
        step();
    }
    if (!every_pool_listed()) return;
    for (int32_t i = 0; i < tavnode.ngroups; ++i) EXPECT_EQ(tavnode.groups[i].balloc, 0);
    for (int32_t i = 0; i < tavnode.npools; ++i) {
        EXPECT_EQ(tavnode.pools[i].alloced, 0u);
        EXPECT_GT(tavnode.pools[i].apeak, 0u);
    }
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
        expect_consistent();
        ASSERT_EQ(tavnode.ngroups + tavnode.ntypes + tavnode.npools, 0);
        ASSERT_EQ(tavnode.sizelist, nullptr);
        if (HasFatalFailure()) return;
    }
}
