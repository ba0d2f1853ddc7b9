// The nine tables on standard output, byte for byte, whole and filtered. Each scenario's expected
// output is a file in tests/tables/: every call as "== call = result", then exactly what it printed.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
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

// Runs the calls, captured, and compares all they print with tests/tables/<scenario>.txt.
void check(const std::string &scenario, const std::vector<Call> &calls, const Names &names = {})
{
    std::string all;
    for (const Call &c : calls) {
        int32_t rc = 0;
        std::string out = host::captured([&] { rc = c.fn(); });
        for (const auto &[p, name] : names) {
            char text[32];
            std::snprintf(text, sizeof text, "%p", p);
            for (size_t at; (at = out.find(text)) != std::string::npos;)
                out.replace(at, std::strlen(text), name);
        }
        all += "== " + std::string(c.text) + " = " + std::to_string(rc) + "\n" + out;
    }
    std::ifstream f(std::string(TAV_TABLES_DIR) + "/" + scenario + ".txt");
    EXPECT_TRUE(f) << "no expected output for " << scenario;
    EXPECT_EQ(all, std::string(std::istreambuf_iterator<char>(f), {})) << scenario;
}

} // namespace

using Tables = Registry;

TEST_F(Tables, SizeListAscendsWithNodeAddressesAndSkipsNodelessPool)
{
    pool(128);
    pool(32);
    pool(64);
    const tavsizenode *n32 = tavnode.sizelist, *n64 = n32->next, *n128 = n64->next;
    const Names names = {{n32, "<node32>"}, {n64, "<node64>"}, {n128, "<node128>"}};
    // Pool registration callocs the table, then the node: the node fails.
    tavhandle h = 0;
    check("sizelist",
          {CALL(tavpooldumplistinfo(0)), CALL(tavpooldumplistinfo(64)), CALL(tavpooldumplistinfo(48)),
           CALL((host::fail_calloc(2), tavpoolregister(256, 0, 0, &h))), CALL(tavpooldumpinfo(256)),
           CALL(tavpooldumplistinfo(0))},
          names);
}

TEST_F(Tables, NamesAreCutToTheirColumnsAndFiltersCompare32Bytes)
{
    for (const char *g : {"g0", "g1", "g2", "g3", "g4", "g5", "g6", "g7", "g8", "g9"}) group(g);
    const tavhandle g10 = group("abcdefghijklmnopqrstuvwxyz0123456789"); // stored as its first 32
    type(g10, "abcdefghijklmnopqrstuvwx", -8);                           // exactly 24
    type(g10, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 100, 4096);            // 32
    pool(32);
    // The selection line repeats the caller's text, past the stored 32 characters.
    check("names", {CALL(tavgroupdumpinfo("abcdefghijklmnopqrstuvwxyz012345XYZ")),
                    CALL(tavgroupdumpinfo("abcdefghijklmnopqrstuvwxyz01234")), CALL(tavtypedumpinfo(nullptr)),
                    CALL(tavtypedumpinfo("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345!!")),
                    CALL(tavpooldumpblockstatsdetailed(32, nullptr)),
                    CALL(tavpooldumpblockstatsfortype("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345!!", 0))});
}

TEST_F(Tables, CountersAfterAllocationsAndReleasesThenShutdown)
{
    const tavhandle net = group("net");
    pool(32);
    pool(64);
    const tavhandle rxbuf = type(net, "rxbuffer", 20), sockbuf = type(net, "socketbuffer");
    void *held[] = {tavpoolalloc(rxbuf, 20), tavpoolalloc(rxbuf, 20), tavpoolalloc(rxbuf, 20)};
    ASSERT_EQ(tavpoolfree(sockbuf, tavpoolalloc(sockbuf, 64)), 0);
    // The class serving a size (a negative one: the smallest); the name is judged before the size.
    check("counters",
          {CALL(tavpooldumpblockstats(0)), CALL(tavpooldumpblockstats(64)), CALL(tavpooldumpblockstats(48)),
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
           CALL(tavpooldumpblockstatsfortype("RXbuffer", 32))});
    for (void *p : held) ASSERT_EQ(tavpoolfree(rxbuf, p), 0);
    check("counters_released", {CALL(tavpooldumpblockstats(32))});
    // Shutdown leaves the empty registry: counts and headings only.
    ASSERT_EQ(tavshutdown(), 0);
    check("empty",
          {CALL(tavgroupdumpinfo(nullptr)), CALL(tavgroupdumpinfo("net")), CALL(tavtypedumpinfo(nullptr)),
           CALL(tavtypedumpinfo("net")), CALL(tavpooldumpinfo(0)), CALL(tavpooldumpinfo(32)),
           CALL(tavpooldumplistinfo(0)), CALL(tavpooldumplistinfo(-4)), CALL(tavpooldumpblockstats(0)),
           CALL(tavpooldumpblockstats(32)), CALL(tavpooldumpchunkstats(0)), CALL(tavpooldumpchunkstats(-4)),
           CALL(tavpooldumpblockstatsdetailed(0, nullptr)), CALL(tavpooldumpblockstatsdetailed(32, nullptr)),
           CALL(tavpooldumpblockstatsfortype(nullptr, 0)), CALL(tavpooldumpblockstatsfortype("net", 0)),
           CALL(tavpooldumpchunkinfo())});
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
    // Then a pool whose counters could not be created at all (table, node, then the first array).
    tavhandle h = 0;
    check("short_counters",
          {CALL(tavpooldumpblockstatsfortype("b", 0)), CALL(tavpooldumpblockstatsdetailed(20, nullptr)),
           CALL((host::fail_calloc(3), tavpoolregister(128, 0, 0, &h))),
           CALL(tavpooldumpblockstatsdetailed(100, nullptr))});
    for (int i = 0; i < 4; ++i) ASSERT_EQ(tavpoolfree(owner[i], held[i]), 0);
}
