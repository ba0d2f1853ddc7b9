// Releases that must never crash the host they protect: late repeats of
// blocks whose memory the system has taken back, addresses that are not
// mapped, null arguments, and a host that calls the library while the lock is
// already its own.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "host/books.hpp"
#include "host/fixture.hpp"

namespace {

int32_t quiet_release(tavhandle t, uintptr_t addr)
{
    int32_t rc = 1;
    EXPECT_EQ(host::captured([&] { rc = tavpoolfree(t, reinterpret_cast<void *>(addr)); }), "") << addr;
    return rc;
}

} // namespace

using ReleaseSafety = Registry;

TEST_F(ReleaseSafety, LateRepeatsAreAnsweredWithoutReadingReleasedMemory)
{
    const tavhandle t = type(group("net"), "big");
    pool(64);
    pool(1024);
    // glibc maps a 1 MiB block of its own and unmaps it on release.
    void *big = tavpoolalloc(t, 1 << 20);
    ASSERT_NE(big, nullptr);
    ASSERT_EQ(tavpoolfree(t, big), 0);
    // One hot address, reused thousands of times, leaves the window once:
    // the old release is still known. (A sanitizer's quarantine hands out a
    // new address each time instead; then the release has left the window.)
    std::set<void *> addresses;
    for (int i = 0; i < 5000; ++i) {
        void *p = tavpoolalloc(t, 64);
        addresses.insert(p);
        ASSERT_EQ(tavpoolfree(t, p), 0);
    }
    char line[160];
    std::snprintf(line, sizeof line, "tavtest: Double memory free %p type \"big\"!!!\n", big);
    const bool hot = addresses.size() < 1000;
    EXPECT_EQ(host::captured([&] { EXPECT_EQ(tavpoolfree(t, big), hot ? -4 : -1); }), hot ? line : "");

    // Many pooled blocks released from the top of the heap down, so that
    // glibc trims it, then all released again: more than the window holds.
    std::vector<void *> blocks(20000);
    for (void *&p : blocks) ASSERT_NE(p = tavpoolalloc(t, 1000), nullptr);
    for (auto p = blocks.rbegin(); p != blocks.rend(); ++p) ASSERT_EQ(tavpoolfree(t, *p), 0);
    for (void *p : blocks) EXPECT_EQ(quiet_release(t, reinterpret_cast<uintptr_t>(p)), -1);
    EXPECT_EQ(host::books_problem({}), "");
}

TEST_F(ReleaseSafety, AddressesThatCannotBeReadAreRefusedQuietly)
{
    const tavhandle t = type(group("net"), "x");
    pool(64);
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto *map = static_cast<char *>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(map, MAP_FAILED);
    munmap(map, page);                         // nothing mapped in front of map + page
    mprotect(map + 2 * page, page, PROT_NONE); // the last page cannot be read
    const auto at = [](const char *p) { return reinterpret_cast<uintptr_t>(p); };
    // A header that would pass every check, where the block starts a mapping: never released.
    const tavblkhdr h{0, {}, TAV_BLK_MAGIC, 64, 0, t, 0};
    std::memcpy(map + page, &h, sizeof h);
    for (uintptr_t a : {uintptr_t{0x1000}, uintptr_t{0xdeadbeef}, uintptr_t{8}, UINTPTR_MAX - 15, at(map) + 64,
                        at(map + page), at(map + page + 16), at(map + 2 * page + 64), at(map + page + 32)})
        EXPECT_EQ(quiet_release(t, a), -1) << std::hex << a;
    munmap(map + page, 2 * page);
    EXPECT_EQ(host::books_problem({}), "");
}

TEST_F(ReleaseSafety, NullNamesAndOutPointersAreRefusedWithoutTheLock)
{
    const tavhandle g = group("net");
    // A refusal that took the write lock would wait for this read lock forever.
    ASSERT_EQ(pthread_rwlock_rdlock(&tavnode.lock), 0);
    tavhandle h = 42;
    uint32_t index = 7;
    EXPECT_EQ(tavgroupregister(nullptr, 0, &h), -1);
    EXPECT_EQ(tavgroupregister("disk", 0, nullptr), -1);
    EXPECT_EQ(tavtyperegister(g, nullptr, 0, 0, &h), -1);
    EXPECT_EQ(tavtyperegister(g, "rx", 0, 0, nullptr), -1);
    EXPECT_EQ(tavpoolregister(64, 0, 0, nullptr), -1);
    EXPECT_EQ(tavtypenametoindex(nullptr, &index), -1);
    EXPECT_EQ(tavtypenametoindex("rx", nullptr), -1);
    EXPECT_EQ(std::tuple(h, index), std::tuple(42u, 7u));
    pthread_rwlock_unlock(&tavnode.lock);
    EXPECT_EQ(std::tuple(tavnode.ngroups, tavnode.ntypes, tavnode.npools), std::tuple(1, 0, 0));
}

TEST_F(ReleaseSafety, AHostHoldingTheWriteLockGetsAnswersAndKeepsItsHold)
{
    const tavhandle g = group("net");
    pool(64);
    const tavhandle t = type(g, "rx", 64);
    void *p = tavpoolalloc(t, 0);
    ASSERT_EQ(pthread_rwlock_wrlock(&tavnode.lock), 0);
    tavhandle h = 0;
    int32_t bytes = 0;
    uint32_t refused = 9;
    EXPECT_EQ(tavgroupnametohandle("net", &h), 0); // readers go on under the host's hold
    EXPECT_EQ(h, g);
    EXPECT_EQ(tavtypegetstatistics(t, &bytes, &refused), 0);
    EXPECT_EQ(std::tuple(bytes, refused), std::tuple(64, 0u));
    EXPECT_NE(host::captured([] { EXPECT_EQ(tavgroupdumpinfo(nullptr), 0); }), "");
    // Writers fail with their first failure code and change nothing.
    EXPECT_EQ(tavpoolalloc(t, 0), nullptr);
    EXPECT_EQ(tavpoolfree(t, p), -1);
    EXPECT_EQ(tavgroupregister("disk", 0, &h), -1);
    EXPECT_EQ(tavtyperegister(g, "tx", 0, 0, &h), -1);
    EXPECT_EQ(tavpoolregister(32, 0, 0, &h), -1);
    EXPECT_EQ(tavshutdown(), EDEADLK);
    // The hold is still the host's: no other thread gets the lock.
    int other = 0;
    std::thread([&] { other = pthread_rwlock_tryrdlock(&tavnode.lock); }).join();
    EXPECT_EQ(other, EBUSY);
    ASSERT_EQ(pthread_rwlock_unlock(&tavnode.lock), 0);
    EXPECT_EQ(host::books_problem({{{t, p}}}), "");
    EXPECT_EQ(std::tuple(tavnode.ngroups, tavnode.ntypes, tavnode.npools), std::tuple(1, 1, 1));
    EXPECT_EQ(tavpoolfree(t, p), 0);
}

TEST_F(ReleaseSafety, APlatformThatCallsBackDuringRegistrationGetsAnswers)
{
    const tavhandle g = group("net");
    pool(64);
    tavhandle found = 0, h = 0;
    std::string table;
    void *inside = &found;
    int32_t registered = 1;
    host::on_announce() = [&] {
        EXPECT_EQ(tavtypenametohandle("rx", &found), 0); // the new type is counted by then
        table = host::captured([] { tavtypedumpinfo("rx"); });
        inside = tavpoolalloc(found, 0); // a writer inside the writer: refused
        registered = tavgroupregister("disk", 0, &h);
    };
    const tavhandle t = type(g, "rx", 20);
    host::on_announce() = nullptr;
    EXPECT_EQ(std::tuple(found, inside, registered), std::tuple(t, nullptr, -1));
    EXPECT_NE(table.find("00 1 000 rx "), std::string::npos) << table;
    void *p = tavpoolalloc(t, 0); // the lock came back sound
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(tavpoolfree(t, p), 0);
}
