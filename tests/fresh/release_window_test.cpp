// The release record's window, in a process where the record has never grown:
// its size is then known, where in tav_tests it depends on the tests before.
#include <vector>

#include "host/fixture.hpp"

using ReleaseWindow = Registry;

// The record answers for the last 1024 released addresses (a quarter of its
// slots once it has grown), each counted once:
// one handed out again leaves it and pushes nothing out. Oversize blocks tell
// which side of the window an address is on: a known repeat is -4, a
// forgotten one is read as foreign memory, -1.
TEST_F(ReleaseWindow, TheWindowHoldsTheLastAddressesReleasedEachOnce)
{
    host::StdoutCapture quiet; // the double-free messages
    const tavhandle t = type(group("net"), "big");
    pool(16);
    std::vector<void *> recent, forgotten; // oldest first
    size_t window = 1024;
    auto alloc = [&](int32_t size) {
        void *p = tavpoolalloc(t, size);
        std::erase(recent, p);
        std::erase(forgotten, p);
        return p;
    };
    auto release = [&](void *p) {
        ASSERT_EQ(tavpoolfree(t, p), 0);
        recent.push_back(p);
        if (recent.size() > window) forgotten.push_back(recent.front()), recent.erase(recent.begin());
    };
    std::vector<void *> held;
    for (int i = 0; i < 1000; ++i) held.insert(held.end(), {alloc(100), alloc(200)});
    for (void *p : held) release(p);
    // Reused from the free lists: holes among the newest releases.
    held.clear();
    for (int i = 0; i < 300; ++i) held.push_back(alloc(100));
    std::vector<void *> fresh;
    for (int i = 0; i < 1200; ++i) fresh.push_back(alloc(300));
    for (void *p : fresh) release(p);
    // More than 2048 live blocks double the record's slots, and its window with them.
    fresh.clear();
    for (int i = 0; i < 2100; ++i) fresh.push_back(alloc(400));
    window = 2048;
    for (void *p : fresh) release(p);
    ASSERT_EQ(recent.size(), window);
    for (void *p : recent) EXPECT_EQ(tavpoolfree(t, p), TAV_FREE_DEAD) << p;
    for (void *p : forgotten) EXPECT_EQ(tavpoolfree(t, p), TAV_FREE_BADHEADER) << p;
    for (void *p : held) EXPECT_EQ(tavpoolfree(t, p), 0);
}
