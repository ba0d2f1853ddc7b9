// The C++ layer over the real library: status categories, allocator and
// memory-resource charges, owning blocks, the snapshot against the tables.
#include <gtest/gtest.h>

#include <atomic>
#include <list>
#include <sstream>

#include "tav/caller.hpp"
#include "tav/json.hpp"
#include "tav/monitor.hpp"
#include "tav/tav.hpp"

struct tavnode tavnode;

extern "C" {
void *__libc_calloc(size_t n, size_t size);
void *__interceptor_calloc(size_t n, size_t size) __attribute__((weak));
}

namespace {
std::atomic<int> calloc_countdown{0}; // the n-th following calloc fails
} // namespace

extern "C" void *calloc(size_t n, size_t size)
{
    if (calloc_countdown.load() > 0 && --calloc_countdown == 0) return nullptr;
    return __interceptor_calloc != nullptr ? __interceptor_calloc(n, size) : __libc_calloc(n, size);
}

// Allocates from here, so that the trace names this function as the caller
// (the barrier keeps the call from becoming a tail jump).
extern "C" [[gnu::noinline]] void *tavtest_alloc_site(tavhandle t)
{
    void *p = tavpoolalloc(t, 16);
    asm volatile("" ::: "memory");
    return p;
}

namespace {

// The rows that fn prints after `heading` lines, as numbers; column `text` is skipped.
template <class Fn> std::vector<std::vector<long>> table_rows(Fn fn, int heading, int text = -1)
{
    testing::internal::CaptureStdout();
    fn();
    std::istringstream lines(testing::internal::GetCapturedStdout());
    std::vector<std::vector<long>> rows;
    std::string line, cell;
    for (int n = 0; std::getline(lines, line); ++n) {
        std::istringstream cells(line);
        if (n >= heading) rows.emplace_back();
        for (int c = 0; n >= heading && cells >> cell; ++c)
            if (c != text) rows.back().push_back(std::stol(cell));
    }
    return rows;
}

// A group with a 4096-byte budget and size classes of 16, 64 and 256 bytes.
class Cxx : public ::testing::Test {
protected:
    void SetUp() override
    {
        tav::shutdown();
        g = tav::register_group("app", 4096).value();
        for (int32_t size : {16, 64, 256}) (void)tav::register_pool(size).value();
    }
    void TearDown() override { tav::shutdown(); }
    static int32_t charged(tav::type_handle t) { return tav::statistics(t).value().balloc; }
    tav::type_handle type(const char *name, int32_t budget = 0)
    {
        return tav::register_type(g, name, 16, budget).value();
    }
    tav::group_handle g;
};

using CxxStatus = Cxx;
using CxxAllocator = Cxx;
using CxxBlock = Cxx;
using CxxSnapshot = Cxx;

TEST_F(CxxStatus, EveryRefusalCarriesItsCodeInTheCategoryThatNamesIt)
{
    struct Case {
        std::error_code got;
        int code;
        const std::error_category &category;
        const char *name;
    };
    const Case cases[] = {
        {tav::register_group("app").error(), -1, tav::group_register_category, "TAV_GROUP_EXISTS"},
        {tav::register_type({}, "t", 0).error(), -1, tav::type_register_category, "TAV_TYPE_BADGROUP"},
        {tav::register_type(g, "t", 64, 32).error(), -3, tav::type_register_category,
         "_BUDGET_BELOW_DEFSIZE"},
        {tav::register_type(g, "t", 64, 8192).error(), -4, tav::type_register_category,
         "_BUDGET_ABOVE_GROUP"},
        {tav::register_pool(6).error(), -1, tav::pool_register_category, "TAV_POOL_BADSIZE"},
        {tav::register_pool(8, 3, 10).error(), -3, tav::pool_register_category, "TAV_POOL_MAX_NOT_MULTIPLE"},
        {tav::find_type("none").error(), -2, tav::lookup_category, "TAV_E_NOTFOUND"},
        {tav::statistics(tav::pool_handle(0x03000007)).error(), -2, tav::lookup_category, "TAV_E_NOTFOUND"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.got.value(), c.code) << c.name;
        EXPECT_EQ(&c.got.category(), &c.category) << c.name;
        EXPECT_NE(c.got.message().find(c.name), std::string::npos) << c.got.message();
    }
    // The pool queries' success code (-3) is a value, not an error.
    EXPECT_TRUE(tav::statistics(tav::find_pool(64).value()).has_value());
    EXPECT_THROW((void)tav::find_group("none").value(), std::system_error);
}

TEST_F(CxxAllocator, ContainersAreChargedToTheirTypeAndGiveBackWithIt)
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
    EXPECT_EQ(charged(a), 0);
    EXPECT_EQ(charged(b), 0);
    EXPECT_EQ(tav::statistics(g).value().balloc, 0);
}

TEST_F(CxxAllocator, BudgetAndSizeRefusalsAreBadAlloc)
{
    const tav::type_handle t = type("t", 128);
    std::vector<int, tav::allocator<int>> v(tav::allocator<int>{t});
    v.reserve(16);
    EXPECT_THROW(v.reserve(40), std::bad_alloc); // a 256-byte block breaks the budget
    EXPECT_EQ(tav::statistics(t).value().failcount, 1u);
    tav::memory_resource r(t);
    std::pmr::vector<char> pv(&r);
    EXPECT_THROW(pv.reserve(100), std::bad_alloc);
    EXPECT_EQ(tav::statistics(t).value().failcount, 2u);
    // 2^32 + 8 bytes must not reach the library as 8.
    EXPECT_THROW((void)tav::allocator<char>(t).allocate((size_t{1} << 32) + 8), std::bad_alloc);
    EXPECT_EQ(charged(t), 64);
}

TEST_F(CxxAllocator, AlignmentsAboveSixteenAreRefusedTheOthersHeld)
{
    const tav::type_handle t = type("t");
    tav::memory_resource r(t);
    for (int i = 0; i < 8; ++i)
        EXPECT_THROW((void)r.allocate(64, 32), std::bad_alloc); // even when aligned by chance
    EXPECT_EQ(charged(t), 0);
    for (size_t align : {1, 2, 4, 8, 16}) {
        void *p = r.allocate(24, align);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % align, 0u) << align;
        r.deallocate(p, 24, align);
    }
    EXPECT_EQ(charged(t), 0);
    tav::memory_resource same(t), other(type("u"));
    EXPECT_TRUE(r.is_equal(same));
    EXPECT_FALSE(r.is_equal(other));
}

TEST_F(CxxBlock, ReleasesWithTheTypeItWasChargedTo)
{
    const tav::type_handle a = type("a"), b = type("b", 256);
    tav::block x(a, 20), y(b, 100);
    EXPECT_EQ(x.size(), 64);
    EXPECT_EQ(y.size(), 256);
    y = std::move(x);
    EXPECT_EQ(charged(b), 0);
    EXPECT_EQ(charged(a), 64);
    EXPECT_THROW(tav::block(b, 300), std::bad_alloc); // oversize, beyond b's budget
    EXPECT_EQ(y.free(), std::error_code());
    EXPECT_EQ(charged(a), 0);

    void *raw = tav::block(a, 0).detach(); // size 0: the type's default pool
    EXPECT_EQ(tav::release(b, raw), std::error_code(TAV_FREE_MISMATCH, tav::release_category));
    EXPECT_EQ(tav::release(a, raw), std::error_code());
}

TEST_F(CxxSnapshot, AgreesWithTheTablesAndItsJson)
{
    const tav::type_handle a = type("alpha", 1024), b = type("beta");
    (void)tav::register_group("\xff\xfe", 0).value(); // not UTF-8: replaced in JSON, not thrown
    std::vector<tav::block> held;
    for (int32_t size : {8, 20, 60, 100, 16, 1000}) held.emplace_back(size < 100 ? a : b, size);
    (void)held[1].free();
    EXPECT_THROW(tav::block(a, 1000), std::bad_alloc);
    const tav::snapshot s = tav::take_snapshot();

    const auto groups = table_rows([] { tavgroupdumpinfo(nullptr); }, 2, 3);
    ASSERT_EQ(groups.size(), 2u);
    for (size_t i = 0; i < groups.size(); ++i) {
        const tav::group_record &r = s.groups[i];
        EXPECT_EQ(groups[i], (std::vector<long>{long(i), r.inuse, r.index, r.ntypes, r.bmax, r.balloc}));
    }
    EXPECT_EQ(s.groups[0].bigcount, 2u); // the refused oversize request counts too
    const auto pools = table_rows([] { tavpooldumpblockstats(0); }, 2);
    ASSERT_EQ(pools.size(), 3u);
    for (size_t i = 0; i < pools.size(); ++i) {
        const tav::pool_record &p = s.pools[i];
        EXPECT_EQ(pools[i], (std::vector<long>{long(i), p.inuse, p.index, p.size, p.alloced, p.apeak, p.free,
                                               p.asucc, p.fsucc, p.afail, p.ffail}));
        const auto types = table_rows([&p] { tavpooldumpblockstatsdetailed(p.size, nullptr); }, 3, 3);
        ASSERT_EQ(types.size(), 2u);
        for (uint32_t t = 0; t < types.size(); ++t) {
            std::vector<long> want{long(t), s.types[t].inuse, s.types[t].index};
            for (int k = 0; k < TAV_STAT_COUNT; ++k) want.push_back(p.typestat(k, t));
            EXPECT_EQ(types[t], want) << "pool " << p.size << " type " << t;
        }
    }
    EXPECT_EQ(s.pools[0].typestats[TAV_STAT_ALLOCED], (std::vector<uint32_t>{2, 0}));
    EXPECT_EQ(s.pools[1].typestats[TAV_STAT_FSUCC], (std::vector<uint32_t>{1, 0}));

    const nlohmann::json j = nlohmann::json::parse(tav::statistics_json(s, 2));
    EXPECT_EQ(j["groups"][1]["name"], "\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(j["types"][1]["balloc"], s.types[1].balloc);
    EXPECT_EQ(j["pools"][1]["typestats"]["fsucc"], nlohmann::json::array({1, 0}));
    EXPECT_EQ(j["pools"][0]["free"], -2);
    EXPECT_EQ(j["trace"]["entries"].back()["event"], "free");
}

TEST_F(CxxSnapshot, ReadsShortCounterArraysByTheirOwnLength)
{
    tav::block x(type("first"), 16);
    calloc_countdown = 4; // the type table, the pool's alloced and apeak arrays; asucc fails
    const tav::type_handle late = type("late");
    calloc_countdown = 0;
    const tav::pool_record p = tav::take_snapshot().pools[0];
    for (int k = 0; k < TAV_STAT_COUNT; ++k) EXPECT_EQ(p.typestats[k].size(), k < 2 ? 2u : 1u) << k;
    EXPECT_EQ(p.typestat(TAV_STAT_ASUCC, 0), 1u);
    EXPECT_EQ(p.typestat(TAV_STAT_ASUCC, late.index()), 0u);
}

TEST_F(CxxSnapshot, TraceInEventOrderAcrossTheWrapWithCallerNames)
{
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
        ASSERT_EQ(s.trace[k].ptr, reinterpret_cast<std::uintptr_t>(ptr)) << k;
    }
    const std::string caller = tav::describe_caller(s.trace[s.trace.size() - 2].caller); // last allocation
    EXPECT_EQ(caller.rfind("tavtest_alloc_site+0x", 0), 0u) << caller;
    for (void *p : live) EXPECT_FALSE(tav::release(t, p));
}

} // namespace
