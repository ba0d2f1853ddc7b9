// Snapshots through memory sources (this process, changing or corrupt memory)
// and the monitoring view rendered from them.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <regex>
#include <set>
#include <thread>

#include "host/fixture.hpp"
#include "tav/monitor.hpp"
#include "tav/tav.hpp"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete" // these operators are a malloc/free pair
#endif

static bool watch_lock = false;
static int allocations_under_lock = 0;

// A host whose operator new is charged through the library would deadlock on
// an allocation made under tavnode's lock: count those.
void *operator new(std::size_t n)
{
    if (watch_lock && pthread_rwlock_trywrlock(&tavnode.lock) != 0)
        ++allocations_under_lock;
    else if (watch_lock)
        pthread_rwlock_unlock(&tavnode.lock);
    if (void *p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace {

// Another process's memory, seen as a copy of this one's with a change applied
// to tavnode on each reading (read() of tavnode itself is the reading's start).
struct altered_memory {
    std::function<void(struct tavnode &, int reading)> change;
    int readings = 0;
    bool read(std::uintptr_t a, void *into, std::size_t n)
    {
        if (!tav::local_memory{}.read(a, into, n)) return false;
        if (a == reinterpret_cast<std::uintptr_t>(&tavnode) && change)
            change(*static_cast<struct tavnode *>(into), readings++);
        return a != 0;
    }
};

// Group "net" with types rx (no budget) and tx; rx holds two blocks of 32 bytes, tx one of 64.
class Monitor : public Registry {
protected:
    void SetUp() override
    {
        net = tav::register_group("net", 4096).value();
        for (int32_t size : {32, 64}) (void)tav::register_pool(size).value();
        rx = tav::register_type(net, "rx", 20).value();
        tx = tav::register_type(net, "tx", 40, 1024).value();
        void *first = tavpoolalloc(rx.value(), 0);
        for (tav::type_handle t : {rx, rx, tx}) ASSERT_NE(tavpoolalloc(t.value(), 0), nullptr);
        ASSERT_FALSE(tav::release(rx, first)); // the trace ends with an allocation and a release
    }
    tav::group_handle net;
    tav::type_handle rx, tx;
};

// Read untouched, changed or corrupt, the records are those of take_snapshot(), which
// allocates nothing under the lock and agrees with the queries.
TEST_F(Monitor, SnapshotsAreBoundedRetriedAndAgreeWithTheQueries)
{
    watch_lock = true;
    const tav::snapshot local = tav::take_snapshot();
    watch_lock = false;
    EXPECT_EQ(allocations_under_lock, 0);
    ASSERT_EQ(local.types.size(), 2u);
    for (const tav::type_record &t : local.types)
        EXPECT_EQ(t.charged_bytes, tav::statistics(t.handle).value().balloc);
    for (const tav::pool_record &p : local.pools)
        EXPECT_EQ(p.blocks, tav::statistics(p.handle).value().alloced);
    const auto at = reinterpret_cast<std::uintptr_t>(&tavnode);
    using E = tav::snapshot_error;
    using N = struct tavnode;
    // The type table replaced by an edited copy.
    const auto types_with = [](std::function<void(tavtype *)> edit) {
        auto copy = std::make_shared<std::vector<tavtype>>(tavnode.types, tavnode.types + tavnode.ntypes);
        edit(copy->data());
        return [copy](N &n, int) { n.types = copy->data(); };
    };
    // what, change, error, settled, whether the records are those of the unchanged host
    const std::tuple<const char *, std::function<void(N &, int)>, E, bool, bool> cases[] = {
        {"unchanged", nullptr, E::none, true, true},
        {"negative count", [](N &n, int) { n.ntypes = -1; }, E::implausible, true, true},
        {"count above the bound", [](N &n, int) { n.npools = 1 << 21; }, E::implausible, true, true},
        {"records at null", [](N &n, int) { n.groups = nullptr; }, E::implausible, true, true},
        {"groups inside the types table", [](N &n, int) { n.groups = reinterpret_cast<tavgroup *>(n.types); },
         E::implausible, true, true},
        {"trace index past its size", [](N &n, int) { n.tracenext = n.tracesize; }, E::implausible, true,
         true},
        {"a ring without room", [](N &n, int) { n.tracesize = 0; }, E::implausible, true, true},
        {"an index not its position", types_with([](tavtype *t) { t[1].index = 0; }), E::implausible, true,
         true},
        {"a type of no group", types_with([](tavtype *t) { t[0].gindex = 9; }), E::implausible, true, true},
        {"a name without its end",
         types_with([](tavtype *t) { std::memset(t[0].name, 'a', sizeof t[0].name); }), E::implausible, true,
         true},
        {"sizes in a cycle", [](N &n, int) { n.sizelist->next->next = n.sizelist; }, E::implausible, true,
         true},
        {"wraps of no ring", [](N &n, int) { n.trace = nullptr, n.tracewraps = 5; }, E::none, true, true},
        {"changes once, then holds", [](N &n, int k) { n.tracewraps += k == 0; }, E::none, true, true},
        {"a table replaced while it is read", [](N &n, int k) { n.types = k == 0 ? nullptr : n.types; },
         E::none, true, true},
        {"never holds", [](N &n, int k) { n.tracewraps += static_cast<uint64_t>(k); }, E::none, false, true},
        {"ring and tables switch at every reading",
         [](N &n, int k) {
             if (k % 2 == 1) n.trace = nullptr, n.ntypes = 1;
         },
         E::none, false, false},
    };
    tavsizenode *const second_next = tavnode.sizelist->next->next;
    tav::json_options at_1;
    at_1.timestamp_ms = 1;
    const std::string here = tav::render_json(tav::report_of(local), at_1);
    for (const auto &[what, change, expect, settled, same] : cases) {
        altered_memory m{change};
        tav::snapshot s;
        EXPECT_EQ(tav::read_snapshot(m, at, s, tav::snapshot_limits{}), expect) << what;
        tavnode.sizelist->next->next = second_next; // the cycle case alters the real list
        if (expect != E::none) continue;
        EXPECT_EQ(s.settled, settled) << what;
        // Every figure from one reading: the ring as big as its capacity says,
        // counters no longer than the types.
        EXPECT_LE(s.trace.size(), s.trace_capacity) << what;
        EXPECT_TRUE(s.trace_capacity != 0 || s.trace_wraps == 0) << what;
        for (const tav::pool_record &p : s.pools) EXPECT_LE(p.by_type.blocks.size(), s.types.size()) << what;
        s.settled = true; // unsettled: the last reading, the same records
        if (same) {
            EXPECT_EQ(tav::render_json(tav::report_of(s), at_1), here) << what;
        }
    }
}

// A thread that holds the write lock reads under its own hold and keeps it.
TEST_F(Monitor, SnapshotUnderTheWriteLockLeavesItHeld)
{
    ASSERT_EQ(pthread_rwlock_wrlock(&tavnode.lock), 0);
    const tav::snapshot s = tav::take_snapshot();
    bool still_held = false;
    std::thread([&] { still_held = pthread_rwlock_tryrdlock(&tavnode.lock) == EBUSY; }).join();
    pthread_rwlock_unlock(&tavnode.lock);
    EXPECT_TRUE(still_held);
    EXPECT_EQ(s.types.size(), 2u);
}

TEST_F(Monitor, JsonNamesGroupsAndTypesAndItsPerPoolCountersAddUpToThePools)
{
    tav::json_options opt;
    opt.timestamp_ms = 7;
    const auto j = nlohmann::json::parse(tav::render_json(tav::report_of(tav::take_snapshot()), opt));
    EXPECT_EQ(j["schema"], tav::json_schema);
    EXPECT_EQ(j["timestamp_ms"], 7);
    EXPECT_FALSE(j.contains("trace"));
    EXPECT_EQ(j["groups"][0]["charged_bytes"], tav::statistics(net).value().balloc);
    for (const auto &t : j["types"]) {
        EXPECT_EQ(t["group"], "net");
        EXPECT_EQ(t["budget_bytes"].is_null(), t["name"] == "rx");
    }
    for (const auto &p : j["pools"]) {
        uint64_t blocks = 0, allocations = 0;
        for (const auto &t : j["types"])
            for (const auto &tp : t["pools"])
                if (tp["pool_size"] == p["pool_size"])
                    blocks += tp["blocks"].get<uint64_t>(), allocations += tp["allocations"].get<uint64_t>();
        EXPECT_EQ(p["blocks"], blocks);
        EXPECT_EQ(p["allocations"], allocations);
    }
    opt.trace = true;
    opt.caller_name = [](std::uintptr_t) { return std::string("f"); };
    const auto traced = nlohmann::json::parse(tav::render_json(tav::report_of(tav::take_snapshot()), opt));
    const auto &entries = traced["trace"]["entries"];
    ASSERT_GE(entries.size(), 5u); // the set-up's four allocations and one release come last
    EXPECT_EQ(entries.back()["event"], "free");
    EXPECT_EQ(entries[entries.size() - 2]["event"], "alloc");
    EXPECT_EQ(entries.back()["caller_name"], "f");
}

// Both texts declare each family once, name counters as their format wants and
// quote every label value; hostile names come out printable and distinct.
TEST_F(Monitor, ExpositionsDeclareFamiliesOnceAndQuoteHostileNames)
{
    (void)tav::register_type(net, "a\"b\\c\x1b]52;\n\xff", 16).value();
    tav::snapshot s = tav::take_snapshot();
    // A name twice, and an index not its position, as a damaged host could show; then the name
    // the repeat would be given, and the repeat again.
    for (const char *name : {"rx", "rx#5", "rx"}) {
        s.types.push_back(s.types[0]);
        s.types.back().name = name;
        s.types.back().handle = tav::type_handle::of_index(7);
    }
    const tav::report r = tav::report_of(s);
    EXPECT_EQ(r.types[3].name, "rx#3");
    EXPECT_EQ(r.types[5].name, "rx#5#5");
    std::set<std::string> names;
    for (const tav::type_row &t : r.types) EXPECT_TRUE(names.insert(t.name).second) << t.name;
    EXPECT_EQ(r.types[2].name, "a\"b\\c\\x1b]52;\\n\\xff");
    const std::regex sample(
        R"(([a-z_]+)(\{[a-z_]+="([^"\\\n]|\\[\\"n])*"(,[a-z_]+="([^"\\\n]|\\[\\"n])*")*\})? \d+)");
    for (const tav::text_format f : {tav::text_format::prometheus, tav::text_format::openmetrics}) {
        const bool om = f == tav::text_format::openmetrics;
        const std::string text = tav::render_exposition(r, f, {{"pid", "42"}});
        EXPECT_EQ(text.ends_with("# EOF\n"), om);
        std::map<std::string, std::string> types;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            std::smatch m;
            if (std::regex_match(line, m, std::regex("# TYPE (\\S+) (\\S+)"))) {
                EXPECT_TRUE(types.emplace(m[1], m[2]).second) << line;
                EXPECT_EQ(m[2] == "counter" && !om, m[1].str().ends_with("_total")) << line;
            } else if (!line.starts_with("#")) {
                ASSERT_TRUE(std::regex_match(line, m, sample)) << line;
                const std::string family =
                    m[1].str().substr(0, m[1].length() - (om && types[m[1]].empty() ? 6 : 0));
                EXPECT_TRUE(types.contains(family)) << line;
                EXPECT_TRUE(line.starts_with(m[1].str() + "{pid=\"42\"")) << line;
            }
        }
        EXPECT_NE(
            text.find("tav_type_pool_blocks{pid=\"42\",group=\"net\",type=\"rx\",pool_size=\"32\"} 2\n"),
            std::string::npos);
        EXPECT_NE(text.find("type=\"a\\\"b\\\\c\\\\x1b]52;\\\\n\\\\xff\""), std::string::npos);
    }
}

} // namespace
