// The C++ layer over the real library: status codes, allocator, memory resource and block
// charges, refusals, and the counter arrays and trace in snapshots.
#include <functional>
#include <list>

#include "host/fixture.hpp"
#include "tav/caller.hpp"
#include "tav/tav.hpp"

// The trace names this function as the caller (the barrier keeps the call from becoming a tail jump).
extern "C" [[gnu::noinline]] void *tavtest_alloc_site(tavhandle t)
{
    void *p = tavpoolalloc(t, 16);
    asm volatile("" ::: "memory");
    return p;
}

// From two hidden-visibility shared libraries: the refusal to register "app" twice.
std::error_code tavtest_hidden_error_a();
std::error_code tavtest_hidden_error_b();

namespace {

// A group of 4096 bytes; size classes of 16, 64 and 256 bytes.
class Cxx : public Registry {
protected:
    void SetUp() override
    {
        g = tav::register_group("app", 4096).value();
        for (int32_t size : {16, 64, 256}) (void)tav::register_pool(size).value();
    }
    static int32_t charged(tav::type_handle t) { return tav::statistics(t).value().balloc; }
    tav::type_handle type(const char *n, int32_t b = 0) { return tav::register_type(g, n, 16, b).value(); }
    tav::group_handle g;
};

TEST_F(Cxx, EveryRefusalIsTheErrcOfWhatWentWrong)
{
    const std::pair<std::error_code, tav::errc> cases[] = {
        {tav::register_group("app").error(), tav::errc::group_exists},
        {tav::register_type({}, "t", 0).error(), tav::errc::bad_group},
        {tav::register_type(g, "t", 64, 32).error(), tav::errc::budget_below_default_size},
        {tav::register_type(g, "t", 64, 8192).error(), tav::errc::budget_above_group},
        {tav::register_pool(6).error(), tav::errc::bad_pool_size},
        {tav::register_pool(8, 3, 10).error(), tav::errc::maximum_not_multiple},
        {tav::find_type("none").error(), tav::errc::not_found},
        {tav::statistics(tav::pool_handle(0x03000007)).error(), tav::errc::not_found},
        {tav::release(type("t"), nullptr), tav::errc::bad_header},
    };
    for (const auto &[got, want] : cases) EXPECT_EQ(got, want) << got.message();
    // The pool queries' success code (-3) is a value, not an error.
    EXPECT_TRUE(tav::statistics(tav::find_pool(64).value()).has_value());
    EXPECT_THROW((void)tav::find_group("none").value(), std::system_error);
    host::fail_calloc(1);
    EXPECT_EQ(tav::register_group("late").error(), std::errc::not_enough_memory);
    // Libraries built with hidden visibility share the one category.
    EXPECT_EQ(tavtest_hidden_error_a(), tavtest_hidden_error_b());
    EXPECT_EQ(tavtest_hidden_error_a(), tav::errc::group_exists);
}

TEST_F(Cxx, ContainersAndBlocksGiveBackWithTheTypeTheyWereChargedTo)
{
    const tav::type_handle a = type("a"), b = type("b");
    {
        std::vector<int, tav::allocator<int>> va(tav::allocator<int>{a}), vb(tav::allocator<int>{b});
        va.reserve(10); // 40 bytes: the 64-byte class
        vb.reserve(50); // 200 bytes: the 256-byte class
        EXPECT_EQ(charged(a), 64);
        EXPECT_EQ(charged(b), 256);
        std::vector<int, tav::allocator<int>> vc(tav::allocator<int>{a});
        vc = vb; // a copy keeps its own type: charges stay with their container
        EXPECT_EQ(vc.get_allocator().type(), a);
        vb = std::move(va); // b's storage goes back as b; a's moves over with its allocator
        EXPECT_EQ(charged(b), 0);
        std::list<int, tav::allocator<int>> nodes({1, 2, 3}, tav::allocator<int>{b}); // rebound to nodes
        EXPECT_EQ(charged(b), 3 * 64);                                                // of 24 bytes
        swap(vb, va);
    }
    EXPECT_EQ(charged(a) + charged(b), 0);
    const tav::type_handle c = type("c"), d = type("d", 256);
    tav::block x(c, 20), y(d, 100);
    EXPECT_EQ(x.size(), 64);
    y = std::move(x);
    EXPECT_EQ(charged(d), 0);
    EXPECT_EQ(charged(c), 64);
    EXPECT_THROW(tav::block(d, 300), tav::refusal); // oversize, beyond d's budget
    EXPECT_EQ(y.free(), std::error_code());
    EXPECT_EQ(charged(c), 0);
    void *raw = tav::block(c, 0).detach(); // size 0: the type's default pool
    EXPECT_EQ(tav::release(d, raw), tav::errc::mismatch);
    EXPECT_EQ(tav::release(c, raw), std::error_code());
}

TEST_F(Cxx, RefusalsNameTheBudgetAndAlignmentsAboveSixteenAreRefused)
{
    tav::memory_resource aligned(type("w"));
    for (int i = 0; i < 8; ++i)
        EXPECT_THROW((void)aligned.allocate(64, 32), std::bad_alloc); // even when aligned by chance
    for (size_t align : {1, 2, 4, 8, 16}) {
        void *p = aligned.allocate(24, align);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % align, 0u) << align;
        aligned.deallocate(p, 24, align);
    }
    EXPECT_EQ(charged(aligned.type()), 0);
    const tav::type_handle t = type("t", 128), u = type("u");
    const tav::type_handle big = tav::register_type(tav::register_group("big").value(), "big", 16).value();
    std::vector<int, tav::allocator<int>> v(tav::allocator<int>{t});
    v.reserve(16);
    tav::memory_resource r(u);
    tav::block held;
    std::pmr::vector<char> pv(&r);
    const std::pair<std::function<void()>, const char *> cases[] = {
        {[&] { v.reserve(40); }, "tav: type \"t\" refused 160 bytes: type budget 128 bytes, 64 charged"},
        {[&] { held = tav::block(u, 4000), pv.reserve(100); },
         "tav: type \"u\" refused 100 bytes: group \"app\" budget 4096 bytes, 4064 charged"},
        // The library refuses a charge that would pass what 32 bits hold; nothing checks it before.
        {[&] {
             tavnode.groups[1].balloc = 2'000'000'000, (void)tav::allocator<char>(big).allocate(200'000'000);
         },
         "tav: type \"big\" refused 200000000 bytes: group \"big\" charge limit 2147483647 bytes, 2000000000 "
         "charged"},
    };
    for (const auto &[allocate, what] : cases) try {
            allocate();
            ADD_FAILURE() << "served: " << what;
        } catch (const tav::refusal &e) {
            EXPECT_STREQ(e.what(), what);
        }
    EXPECT_EQ(tav::statistics(t).value().failcount, 1u);
    // 2^32 + 8 bytes must not reach the library as 8.
    EXPECT_THROW((void)tav::allocator<char>(t).allocate((size_t{1} << 32) + 8), std::bad_alloc);
    EXPECT_EQ(std::pair(charged(big), tav::statistics(big).value().failcount), std::pair(0, 0u));
    tavnode.groups[1].balloc = 0;
    EXPECT_EQ(charged(t), 64);
}

TEST_F(Cxx, ReleasesNobodyCouldCheckGoToTheHandler)
{
    static std::vector<std::pair<void *, std::error_code>> refused;
    const auto previous = tav::set_release_failure_handler(
        [](tav::type_handle, void *p, std::error_code why) noexcept { refused.emplace_back(p, why); });
    const tav::type_handle a = type("a");
    void *storage = nullptr;
    {
        std::vector<int, tav::allocator<int>> v(4, 0, tav::allocator<int>{a});
        storage = v.data();
        tav::block b(a, 16);
        tav::shutdown(); // the containers outlive the registry
    }
    ASSERT_EQ(refused.size(), 2u);
    EXPECT_EQ(refused[1], std::make_pair(storage, std::error_code(tav::errc::mismatch))); // no pool is left
    // Records with their handles take them back, or LeakSanitizer would see blocks nobody holds.
    (void)tav::register_type(tav::register_group("app").value(), "a", 16).value(), (void)tav::register_pool(16);
    for (const auto &[p, why] : refused) EXPECT_FALSE(tav::release(a, p));
    tav::set_release_failure_handler(previous);
#ifndef NDEBUG // the default handler says it in one line
    testing::internal::CaptureStderr();
    tav::detail::release_or_report(a, &storage);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("tav: release of 0x", 0), 0u);
#endif
}

TEST_F(Cxx, SnapshotsReadShortCounterArraysAndTheTraceInEventOrder)
{
    tav::block x(type("first"), 16);
    host::fail_calloc(4); // the type table, the pool's alloced and apeak arrays; asucc fails
    const tav::type_handle late = type("late");
    const tav::per_type_counters c = tav::take_snapshot().pools[0].by_type;
    EXPECT_EQ(c.blocks.size(), 2u);
    EXPECT_EQ(c.peak_blocks.size(), 2u);
    EXPECT_EQ(c.allocations.size(), 1u); // short: `late` has no entry
    EXPECT_EQ(c.allocations[0], 1u);
    EXPECT_EQ(late.index(), 1u);
    const tav::type_handle t = tav::register_type(tav::register_group("unbounded").value(), "t", 16).value();
    std::vector<std::pair<uint32_t, const void *>> events;
    std::vector<void *> live;
    for (int i = 0; i < 800; ++i) { // 1200 events: the ring wraps within them
        live.push_back(tavtest_alloc_site(t.value()));
        events.emplace_back(TAV_TRACE_ALLOC, live.back());
        if (i % 2 == 0) continue;
        ASSERT_FALSE(tav::release(t, live.back()));
        events.emplace_back(TAV_TRACE_FREE, live.back());
        live.pop_back();
    }
    const tav::snapshot s = tav::take_snapshot();
    ASSERT_EQ(s.trace.size(), size_t{TAV_TRACE_ENTRIES});
    for (size_t k = 0; k < s.trace.size(); ++k) {
        const auto &[op, ptr] = events[events.size() - s.trace.size() + k];
        ASSERT_EQ(s.trace[k].op, op) << k;
        ASSERT_EQ(s.trace[k].address, reinterpret_cast<std::uintptr_t>(ptr)) << k;
    }
    const std::string caller = tav::describe_caller(s.trace[s.trace.size() - 2].caller); // last allocation
    EXPECT_EQ(caller.rfind("tavtest_alloc_site+0x", 0), 0u) << caller;
    for (void *p : live) EXPECT_FALSE(tav::release(t, p)); // or LeakSanitizer sees blocks nobody holds
}

} // namespace
