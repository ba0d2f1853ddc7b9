// The nine tables on standard output, byte for byte, whole and filtered, on
// empty, populated, damaged and shut-down registries. Each scenario's
// expected output is a file in tests/tables/: every call as "== call = result"
// followed by exactly what it printed.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "host/fixture.hpp"

namespace {

struct Call {
    const char *text;
    std::function<int32_t()> fn;
};
#define CALL(expr) Call{#expr, [&] { return (expr); }}

// Node addresses differ from run to run: the test names them instead.
using Names = std::vector<std::pair<const void *, std::string>>;

std::string printed(const std::vector<Call> &calls, const Names &names = {})
{
    std::string all;
    for (const Call &c : calls) {
        int32_t rc = 0;
        std::string out = host::captured([&] { rc = c.fn(); });
        for (const auto &[p, name] : names) {
            char text[32];
            std::snprintf(text, sizeof text, "%p", p);
            for (size_t at; (at = out.find(text)) != std::string::npos;) out.replace(at, std::strlen(text), name);
        }
        all += "== " + std::string(c.text) + " = " + std::to_string(rc) + "\n" + out;
    }
    return all;
}

std::string expected(const std::string &scenario)
{
    std::ifstream f(std::string(TAV_TABLES_DIR) + "/" + scenario + ".txt");
    if (!f) ADD_FAILURE() << "no expected output for " << scenario;
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

const std::vector<Call> &empty_tables()
{
    static const std::vector<Call> calls = {
        CALL(tavgroupdumpinfo(nullptr)), CALL(tavgroupdumpinfo("net")), CALL(tavtypedumpinfo(nullptr)),
        CALL(tavtypedumpinfo("net")),    CALL(tavpooldumpinfo(0)),      CALL(tavpooldumpinfo(32)),
        CALL(tavpooldumplistinfo(0)),    CALL(tavpooldumplistinfo(-4)), CALL(tavpooldumpblockstats(0)),
        CALL(tavpooldumpblockstats(32)), CALL(tavpooldumpchunkstats(0)), CALL(tavpooldumpchunkstats(-4)),
        CALL(tavpooldumpblockstatsdetailed(0, nullptr)), CALL(tavpooldumpblockstatsdetailed(32, nullptr)),
        CALL(tavpooldumpblockstatsfortype(nullptr, 0)), CALL(tavpooldumpblockstatsfortype("net", 0)),
        CALL(tavpooldumpchunkinfo())};
    return calls;
}

} // namespace

using Tables = Registry;

TEST_F(Tables, EmptyRegistryPrintsCountAndHeaderOnly)
{
    EXPECT_EQ(printed(empty_tables()), expected("empty"));
    // A type but no pools: its pool table is the heading alone, and no size has a class.
    type(group("net"), "rx", 20);
    EXPECT_EQ(printed({CALL(tavpooldumpblockstatsfortype("rx", 0)), CALL(tavpooldumpblockstatsdetailed(20, nullptr)),
                       CALL(tavpooldumpblockstatsdetailed(20, "rx"))}),
              expected("no_pools"));
}

TEST_F(Tables, FiltersSelectByNameOrSizeAndNoCountsSkippedRecords)
{
    const tavhandle net = group("net");
    group("disk", 4096);
    const tavhandle ui = group("ui");
    pool(128, 8, 64);
    pool(32);
    pool(64, 16, 16);
    type(net, "rx", 20);
    type(ui, "tx", 0, 64); // no default pool: registered after the pools with size 0
    EXPECT_EQ(printed({CALL(tavgroupdumpinfo(nullptr)), CALL(tavgroupdumpinfo("disk")), CALL(tavgroupdumpinfo("Disk")),
                       CALL(tavgroupdumpinfo("dis")), CALL(tavgroupdumpinfo("disk ")), CALL(tavgroupdumpinfo("")),
                       CALL(tavtypedumpinfo(nullptr)), CALL(tavtypedumpinfo("tx")), CALL(tavtypedumpinfo("net")),
                       CALL(tavpooldumpinfo(0)), CALL(tavpooldumpinfo(64)), CALL(tavpooldumpinfo(48))}),
              expected("filters"));
}

TEST_F(Tables, SizeListAscendsWithNodeAddressesAndSkipsNodelessPool)
{
    pool(128);
    pool(32);
    pool(64);
    const tavsizenode *n32 = tavnode.sizelist, *n64 = n32->next, *n128 = n64->next;
    const Names names = {{n32, "<node32>"}, {n64, "<node64>"}, {n128, "<node128>"}};
    // Pool registration callocs the table, then the node: the node fails.
    tavhandle h = 0;
    EXPECT_EQ(printed({CALL(tavpooldumplistinfo(0)), CALL(tavpooldumplistinfo(64)), CALL(tavpooldumplistinfo(48)),
                       CALL((host::fail_calloc(2), tavpoolregister(256, 0, 0, &h))), CALL(tavpooldumpinfo(256)),
                       CALL(tavpooldumplistinfo(0))},
                      names),
              expected("sizelist"));
}

TEST_F(Tables, NamesAreCutToTheirColumnsAndFiltersCompare32Bytes)
{
    for (const char *g : {"g0", "g1", "g2", "g3", "g4", "g5", "g6", "g7", "g8", "g9"}) group(g);
    const tavhandle g10 = group("abcdefghijklmnopqrstuvwxyz0123456789"); // stored as its first 32
    type(g10, "abcdefghijklmnopqrstuvwx", -8);                           // exactly 24
    type(g10, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 100, 4096);            // 32
    pool(32);
    // The selection line repeats the caller's text, past the stored 32 characters.
    EXPECT_EQ(printed({CALL(tavgroupdumpinfo("abcdefghijklmnopqrstuvwxyz012345XYZ")),
                       CALL(tavgroupdumpinfo("abcdefghijklmnopqrstuvwxyz01234")), CALL(tavtypedumpinfo(nullptr)),
                       CALL(tavtypedumpinfo("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345!!")),
                       CALL(tavpooldumpblockstatsdetailed(32, nullptr)),
                       CALL(tavpooldumpblockstatsfortype("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345!!", 0))}),
              expected("names"));
}

TEST_F(Tables, CountersAfterAllocationsAndReleasesThenShutdown)
{
    const tavhandle net = group("net");
    pool(32);
    pool(64);
    const tavhandle rxbuf = type(net, "rxbuffer", 20), sockbuf = type(net, "socketbuffer");
    void *held[] = {tavpoolalloc(rxbuf, 20), tavpoolalloc(rxbuf, 20), tavpoolalloc(rxbuf, 20)};
    for (void *p : held) ASSERT_NE(p, nullptr);
    ASSERT_EQ(tavpoolfree(sockbuf, tavpoolalloc(sockbuf, 64)), 0);
    // The class serving a size (a negative one: the smallest); the name is judged before the size.
    EXPECT_EQ(printed({CALL(tavpooldumpblockstats(0)), CALL(tavpooldumpblockstats(64)), CALL(tavpooldumpblockstats(48)),
                       CALL(tavpooldumpchunkstats(0)), CALL(tavpooldumpblockstatsdetailed(20, nullptr)),
                       CALL(tavpooldumpblockstatsdetailed(-5, nullptr)),
                       CALL(tavpooldumpblockstatsdetailed(1, nullptr)),
                       CALL(tavpooldumpblockstatsdetailed(33, "socketbuffer")),
                       CALL(tavpooldumpblockstatsfortype("rxbuffer", 0)),
                       CALL(tavpooldumpblockstatsfortype("socketbuffer", 64)),
                       CALL(tavpooldumpblockstatsfortype("socketbuffer", 48)),
                       CALL(tavpooldumpblockstatsdetailed(0, "nope")), CALL(tavpooldumpblockstatsdetailed(65, "rxbuffe")),
                       CALL(tavpooldumpblockstatsdetailed(0, "rxbuffer")),
                       CALL(tavpooldumpblockstatsdetailed(65, "rxbuffer")),
                       CALL(tavpooldumpblockstatsdetailed(65, nullptr)), CALL(tavpooldumpblockstatsfortype(nullptr, 0)),
                       CALL(tavpooldumpblockstatsfortype("RXbuffer", 32))}),
              expected("counters"));
    for (void *p : held) ASSERT_EQ(tavpoolfree(rxbuf, p), 0);
    EXPECT_EQ(printed({CALL(tavpooldumpblockstats(32))}), expected("counters_released"));
    // Shutdown empties everything the tables show.
    ASSERT_EQ(tavshutdown(), 0);
    EXPECT_EQ(printed(empty_tables()), expected("empty"));
}

TEST_F(Tables, MissingOrShortCounterArraysPrintZero)
{
    const tavhandle g = group("g");
    pool(32);
    pool(64);
    const tavhandle a = type(g, "a");
    // Registering b callocs the type table, then pool 0's six arrays: its
    // third (asucc) fails, so pool 0 is half grown and pool 1 not at all.
    host::fail_calloc(4);
    const tavhandle b = type(g, "b");
    const tavhandle owner[] = {b, b, b, a};
    void *held[] = {tavpoolalloc(b, 20), tavpoolalloc(b, 20), tavpoolalloc(b, 40), tavpoolalloc(a, 20)};
    for (void *p : held) ASSERT_NE(p, nullptr);
    // Then a pool whose counters could not be created at all (table, node, then the first array).
    tavhandle h = 0;
    EXPECT_EQ(printed({CALL(tavpooldumpblockstatsfortype("b", 0)), CALL(tavpooldumpblockstatsdetailed(20, nullptr)),
                       CALL((host::fail_calloc(3), tavpoolregister(128, 0, 0, &h))),
                       CALL(tavpooldumpblockstatsdetailed(100, nullptr))}),
              expected("short_counters"));
    for (int i = 0; i < 4; ++i) ASSERT_EQ(tavpoolfree(owner[i], held[i]), 0);
}
