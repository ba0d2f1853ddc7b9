// The block structures driven directly, through the library's objects linked
// into this executable: the page map of live blocks and the window of
// released addresses, on plain integers (neither reads the memory at an
// address), and the first allocation of a process, which makes them.
#include <vector>

#include "alloc/pagemap.hpp"
#include "alloc/window.hpp"
#include "host/fixture.hpp"

using namespace tav;

namespace {

constexpr uintptr_t kRange = uintptr_t{1} << 34; // what a middle node covers; a leaf covers 2 MiB
constexpr uintptr_t kBase = 40 * kRange;         // far from this process's own heap

bool live(uintptr_t a)
{
    const bool set = pagemap_bit(a).set();
    EXPECT_EQ(pagemap_live(a), set) << std::hex << a;
    return set;
}

} // namespace

using FirstBlock = Registry;

// The first allocation of a process (this test runs first) makes the window
// and the page map's first nodes: each calloc failing in turn refuses it cleanly.
TEST_F(FirstBlock, EachFailedCallocRefusesTheAllocationAndChangesNothing)
{
    const tavhandle t = type(group("net"), "rx", 64);
    pool(64);
    const Row before = counters();
    int made = 0;
    for (int nth = 1; made == 0; ++nth) {
        host::fail_calloc(nth);
        void *p = tavpoolalloc(t, 0);
        host::fail_calloc_never();
        EXPECT_EQ(p == nullptr ? counters() : before, before) << "calloc " << nth << " failed";
        if (p != nullptr) {
            made = nth;
            EXPECT_EQ(tavpoolfree(t, p), 0);
        }
    }
    // Refused at the block, the window, and the chunk the map's root, middle node and leaf are carved from.
    EXPECT_EQ(made, 4);
}

TEST(PageMap, KnowsExactlyTheStartsItWasGiven)
{
    const uintptr_t a = kBase + 0x1040;
    ASSERT_NE(pagemap_place(a).word, nullptr);
    pagemap_set(pagemap_place(a));
    pagemap_set(pagemap_place(a + (uintptr_t{2} << 20))); // the next leaf
    EXPECT_TRUE(live(a) && live(a + (uintptr_t{2} << 20)));
    for (uintptr_t other : {a - 16, a + 16, a + 8, a + 4096, a + (uintptr_t{1} << 20), a + kRange})
        EXPECT_FALSE(live(other)) << std::hex << other;
    for (uintptr_t nowhere : {a + 8, uintptr_t{1} << 48, ~uintptr_t{15}}) {
        EXPECT_EQ(pagemap_place(nowhere).word, nullptr) << std::hex << nowhere;
        EXPECT_EQ(pagemap_bit(nowhere).word, nullptr) << std::hex << nowhere;
    }
    EXPECT_TRUE(pagemap_sound());
    pagemap_clear(pagemap_bit(a));
    EXPECT_FALSE(live(a));
    EXPECT_TRUE(live(a + (uintptr_t{2} << 20)) && pagemap_sound());
    pagemap_clear(pagemap_bit(a + (uintptr_t{2} << 20)));
}

// Nodes come per 2 MiB range, not per block, carved from chunks of 256 KiB; a
// failed calloc leaves the map as it was.
TEST(PageMap, CarvesANodePerRangeAndNothingWhenCallocFails)
{
    ASSERT_NE(pagemap_place(kBase).word, nullptr); // the root, elsewhere
    const uintptr_t a = kBase + 3 * kRange, leaf = uintptr_t{2} << 20;
    long before = host::calloc_calls();
    host::fail_calloc(1);
    uintptr_t placed = 0; // ranges served by what the last chunk had left
    while (pagemap_place(a + placed * leaf).word != nullptr) ++placed;
    host::fail_calloc_never();
    EXPECT_EQ(host::calloc_calls() - before, 1);
    EXPECT_LT(placed, 16u);
    EXPECT_EQ(pagemap_bit(a + placed * leaf + 4096).word, nullptr);
    before = host::calloc_calls();
    for (uintptr_t i = placed; i < placed + 40; ++i) ASSERT_NE(pagemap_place(a + i * leaf).word, nullptr);
    EXPECT_LE(host::calloc_calls() - before, 3); // 40 leaves of 16 KiB, maybe a middle node of 64 KiB
    EXPECT_EQ(pagemap_place(a + leaf - 16).word, pagemap_bit(a).word + 2047); // the same leaf
    EXPECT_TRUE(pagemap_sound());
}

// The window holds the last kWindowAddresses addresses added, each once; one
// forgotten leaves a gap that pushes nothing out.
TEST(Window, HoldsTheLastAddressesAddedEachOnce)
{
    ASSERT_TRUE(window_make());
    const auto at = [](uintptr_t i) { return kBase + 16 * i; };
    const auto held = [&](uintptr_t from, uintptr_t to) { // whether [from, to) are all in, as added
        for (uintptr_t i = from; i < to; ++i) {
            const Released r = window_find(at(i));
            if (!r.found || r.oversize != (i % 2 == 1) || r.handle != (i % 2 == 1 ? 0x02000000 + i : 0))
                return false;
        }
        return true;
    };
    const auto add = [&](uintptr_t from, uintptr_t to) {
        for (uintptr_t i = from; i < to; ++i) window_add(at(i), i % 2 == 1, 0x02000000 + i);
    };
    add(0, 1100);
    EXPECT_TRUE(held(1100 - kWindowAddresses, 1100));
    EXPECT_FALSE(window_find(at(1100 - kWindowAddresses - 1)).found);
    // Handed out again: the newest, one in the middle and the oldest; the three newcomers push nothing out.
    for (uintptr_t i : {1099u, 600u, 1100u - kWindowAddresses}) window_forget(at(i));
    for (uintptr_t i : {1099u, 600u}) EXPECT_FALSE(window_find(at(i)).found);
    add(1100, 1103);
    EXPECT_TRUE(held(1101 - kWindowAddresses, 600) && held(601, 1099) && held(1100, 1103));
    EXPECT_TRUE(window_sound());
    // Holes fill the ring until it is compacted; the order survives it.
    for (uintptr_t i = 200; i < 1099; ++i) window_forget(at(i));
    add(2000, 4000);
    EXPECT_TRUE(held(4000 - kWindowAddresses, 4000) && window_sound());
    EXPECT_FALSE(window_find(at(4000 - kWindowAddresses - 1)).found || window_find(at(1102)).found);
    // Released again after being handed out (their slots were kept), until the kept slots crowd the table.
    for (uintptr_t i = 4000 - kWindowAddresses; i < 4000; ++i) window_forget(at(i));
    add(200, 1600);
    EXPECT_TRUE(held(1600 - kWindowAddresses, 1600) && window_sound());
    for (uintptr_t i = 1600 - kWindowAddresses; i < 1600; ++i) window_forget(at(i));
    add(5000, 5100);
    EXPECT_TRUE(held(5000, 5100) && window_sound());
}
