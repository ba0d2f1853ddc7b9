#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>

#include "host/books.hpp"
#include "host/fixture.hpp"

using ReleaseSafety = Registry;

// Late repeats of blocks the system took back, and unreadable addresses: answered unread, quietly.
TEST_F(ReleaseSafety, WhatCannotBeReadIsNeverRead)
{
    const tavhandle t = type(group("net"), "big");
    for (int32_t size : {64, 1024}) pool(size);
    const auto quiet_release = [t](const void *p) {
        int32_t rc = 1;
        EXPECT_EQ(host::captured([&] { rc = tavpoolfree(t, const_cast<void *>(p)); }), "") << p;
        return rc;
    };
    void *big = tavpoolalloc(t, 1 << 20); // glibc maps it and unmaps it on release
    ASSERT_EQ(tavpoolfree(t, big), 0);
    // A hot address reused 5000 times leaves the window once: big is still known (not under a sanitizer).
    std::set<void *> addresses;
    for (int i = 0; i < 5000; ++i) ASSERT_EQ(tavpoolfree(t, *addresses.insert(tavpoolalloc(t, 64)).first), 0);
    char line[160];
    std::snprintf(line, sizeof line, "tavtest: Double memory free %p type \"big\"!!!\n", big);
    const bool hot = addresses.size() < 1000;
    EXPECT_EQ(host::captured([&] { EXPECT_EQ(tavpoolfree(t, big), hot ? -4 : -1); }), hot ? line : "");
    // More pooled blocks than the window holds, released top down so glibc trims the heap, then again.
    std::vector<void *> blocks(20000);
    for (void *&p : blocks) ASSERT_NE(p = tavpoolalloc(t, 1000), nullptr);
    for (auto p = blocks.rbegin(); p != blocks.rend(); ++p) ASSERT_EQ(tavpoolfree(t, *p), 0);
    for (void *p : blocks) EXPECT_EQ(quiet_release(p), -1);
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto *map = static_cast<char *>(
        mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(map, MAP_FAILED);
    munmap(map, page);                         // nothing mapped in front of map + page
    mprotect(map + 2 * page, page, PROT_NONE); // the last page cannot be read
    // A header that would pass every check, where the block starts a mapping: never released.
    const tavblkhdr h{0, {}, TAV_BLK_MAGIC, 64, 0, t, 0};
    std::memcpy(map + page, &h, sizeof h);
    for (const char *a : {(char *)0x1000, (char *)0xdeadbeef, (char *)8, (char *)(UINTPTR_MAX - 15), map + 64,
                          map + page, map + page + 16, map + 2 * page + 64, map + page + 32})
        EXPECT_EQ(quiet_release(a), -1);
    munmap(map + page, 2 * page);
}

// The window answers for the last 1024 released addresses, each counted once: one handed out
// again leaves it and pushes nothing out. Oversize blocks tell which side of the window an
// address is on: a known repeat is -4, a forgotten one is read as foreign memory, -1.
TEST_F(ReleaseSafety, TheWindowHoldsTheLastAddressesReleasedEachOnce)
{
    host::StdoutCapture quiet; // the double-free messages
    const tavhandle t = type(group("net"), "big");
    pool(16);
    std::vector<void *> recent, forgotten, held, fresh; // oldest first
    const auto alloc = [&](int32_t size) {
        void *p = tavpoolalloc(t, size);
        std::erase(recent, p);
        std::erase(forgotten, p);
        return p;
    };
    const auto release = [&](void *p) {
        ASSERT_EQ(tavpoolfree(t, p), 0);
        recent.push_back(p);
        if (recent.size() > 1024) forgotten.push_back(recent.front()), recent.erase(recent.begin());
    };
    for (int i = 0; i < 1000; ++i) fresh.insert(fresh.end(), {alloc(100), alloc(200)});
    for (void *p : fresh) release(p);
    for (int i = 0; i < 300; ++i) held.push_back(alloc(100)); // from the free lists: holes among the newest
    fresh.clear();
    for (int i = 0; i < 1200; ++i) fresh.push_back(alloc(300));
    for (void *p : fresh) release(p);
    ASSERT_EQ(recent.size(), 1024u);
    for (void *p : recent) EXPECT_EQ(tavpoolfree(t, p), TAV_FREE_DEAD) << p;
    for (void *p : forgotten) EXPECT_EQ(tavpoolfree(t, p), TAV_FREE_BADHEADER) << p;
    for (void *p : held) EXPECT_EQ(tavpoolfree(t, p), 0);
}

TEST_F(ReleaseSafety, NullNamesAndOutPointersAreRefusedWithoutTheLock)
{
    const tavhandle g = group("net");
    ASSERT_EQ(pthread_rwlock_rdlock(&tavnode.lock), 0); // a refusal taking the write lock would hang here
    tavhandle h = 42;
    uint32_t index = 7;
    EXPECT_EQ(std::tuple(tavgroupregister(nullptr, 0, &h), tavgroupregister("disk", 0, nullptr),
                         tavtyperegister(g, nullptr, 0, 0, &h), tavtyperegister(g, "rx", 0, 0, nullptr),
                         tavpoolregister(64, 0, 0, nullptr), tavtypenametoindex(nullptr, &index),
                         tavtypenametoindex("rx", nullptr), h, index),
              std::tuple(-1, -1, -1, -1, -1, -1, -1, 42u, 7u));
    pthread_rwlock_unlock(&tavnode.lock);
    EXPECT_EQ(std::tuple(tavnode.ngroups, tavnode.ntypes, tavnode.npools), std::tuple(1, 0, 0));
}

// A thread that holds the write lock already (the host's own hold, or a platform
// hook run inside a registration) gets answers; its writers are refused and change nothing.
TEST_F(ReleaseSafety, UnderItsOwnWriteLockReadersAnswerAndWritersAreRefused)
{
    const tavhandle g = group("net");
    pool(64);
    void *p = nullptr;
    const auto under_hold = [&](int32_t charged) {
        tavhandle h = 0, other = 0;
        int32_t bytes = -1;
        uint32_t refused = 9;
        EXPECT_EQ(tavtypenametohandle("rx", &h), 0); // in the hook: the new type is counted by then
        EXPECT_EQ(std::tuple(tavtypegetstatistics(h, &bytes, &refused), bytes, refused),
                  std::tuple(0, charged, 0u));
        EXPECT_NE(host::captured([] { EXPECT_EQ(tavtypedumpinfo("rx"), 0); }).find("00 1 000 rx "),
                  std::string::npos);
        EXPECT_EQ(std::tuple(tavpoolalloc(h, 0), tavpoolfree(h, p), tavgroupregister("disk", 0, &other),
                             tavtyperegister(g, "tx", 0, 0, &other), tavpoolregister(32, 0, 0, &other),
                             tavshutdown()),
                  std::tuple(nullptr, -1, -1, -1, -1, EDEADLK));
        return h;
    };
    tavhandle found = 0;
    host::on_announce() = [&] { found = under_hold(0); };
    const tavhandle t = type(g, "rx", 64);
    host::on_announce() = nullptr;
    EXPECT_EQ(found, t);
    p = tavpoolalloc(t, 0);
    ASSERT_EQ(pthread_rwlock_wrlock(&tavnode.lock), 0);
    EXPECT_EQ(under_hold(64), t);
    int other = 0; // the hold is still the host's
    std::thread([&] { other = pthread_rwlock_tryrdlock(&tavnode.lock); }).join();
    EXPECT_EQ(other, EBUSY);
    ASSERT_EQ(pthread_rwlock_unlock(&tavnode.lock), 0);
    EXPECT_EQ(host::books_problem({{{t, p}}}), "");
    EXPECT_EQ(std::tuple(tavnode.ngroups, tavnode.ntypes, tavnode.npools), std::tuple(1, 1, 1));
    EXPECT_EQ(tavpoolfree(t, p), 0);
}
