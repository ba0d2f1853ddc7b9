#include <array>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "host/fixture.hpp"

using TypeRegistry = Registry;

namespace {

std::array<uint32_t *, 6> arrays(const tavpool &p)
{
    const tavcounters &c = p.typestats;
    return {c.alloced, c.apeak, c.asucc, c.fsucc, c.afail, c.ffail};
}

// A distinct value for counter k of type t in pool p.
uint32_t mark(int p, int t, int k) { return uint32_t(100 * p + 10 * t + k + 1); }

} // namespace

TEST_F(TypeRegistry, RefusalsComeInCheckOrderAndChangeNothing)
{
    const tavhandle g = group("net", 100);
    group("disk");
    group("neg", -5);
    pool(16);
    const std::string longname(32, 't');
    type(g, "buf", 8, 100);
    type(g, (longname + "1").c_str());
    const tavtype *table = tavnode.types;
    const auto counters = arrays(tavnode.pools[0]);
    const struct {
        tavhandle group;
        std::string name;
        int32_t defsize, bmax, code;
    } cases[] = {{0, "x", 0, 0, -1},           {0x01000003, "x", 0, 0, -1},
                 {0x02000000, "x", 0, 0, -1},  {0x03000000, "buf", 16, 8, -1},
                 {g, "x", 9, 8, -3},           {g, "buf", 200, 101, -3},
                 {g, "x", 0, 101, -4},         {g, "buf", 0, 101, -4},
                 {0x01000002, "x", 0, 0, -4},  {0x01000001, "buf", 0, 0, -2},
                 {g, longname + "2", 0, 0, -2}};
    for (const auto &c : cases) {
        tavhandle h = 42;
        EXPECT_EQ(tavtyperegister(c.group, c.name.c_str(), c.defsize, c.bmax, &h), c.code) << c.name;
        EXPECT_EQ(h, 0u);
    }
    tavhandle h = 42;
    host::fail_calloc(1); // the duplicate is found before the table grows
    EXPECT_EQ(tavtyperegister(g, "buf", 0, 0, &h), -2);
    host::fail_calloc(1);
    EXPECT_EQ(tavtyperegister(g, "new", 0, 0, &h), -5);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(
        std::tuple(tavnode.ntypes, tavnode.types, arrays(tavnode.pools[0]), host::announcements().size()),
        std::tuple(2, table, counters, 2u));
    EXPECT_EQ(std::tuple(tavnode.groups[0].ntypes, tavnode.groups[1].ntypes, tavnode.groups[2].ntypes),
              std::tuple(2u, 0u, 0u));
    // The budget edges that pass.
    EXPECT_EQ(type(g, "equal", 8, 8), 0x02000002u);
    EXPECT_EQ(type(g, "groupwide", 0, 100), 0x02000003u);
    EXPECT_EQ(type(g, "negative", -8, 0), 0x02000004u);
}

TEST_F(TypeRegistry, AnnouncesEachNameAsPassedUnderItsGroup)
{
    const std::string gname(32, 'G'), tname(40, 'L');
    type(group("ipc"), "msg");
    type(group((gname + "extra").c_str()), tname.c_str());
    tavhandle h = 0;
    EXPECT_EQ(tavtyperegister(0x01000000, "msg", 0, 0, &h), -2);
    using Calls = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(host::announcements(), (Calls{{"ipcTavMemType", "msg"}, {gname + "TavMemType", tname}}));
    EXPECT_EQ(std::string(tavnode.types[1].name), tname.substr(0, 32));
}

TEST_F(TypeRegistry, DefaultPoolIsTheSmallestCoveringPool)
{
    const tavhandle g = group("net");
    type(g, "early", 20);
    EXPECT_EQ(tavnode.types[0].pidx, -1);
    for (int32_t size : {64, 16, 32}) pool(size);
    const struct {
        const char *name;
        int32_t defsize, pidx;
    } cases[] = {{"zero", 0, -1},  {"one", 1, 1},      {"negative", -4, 1}, {"twenty", 20, 2},
                 {"exact", 32, 2}, {"largest", 64, 0}, {"huge", 65, -1}};
    for (const auto &c : cases) {
        const tavhandle t = type(g, c.name, c.defsize);
        EXPECT_EQ(tavnode.types[t & 0xFFFFFF].pidx, c.pidx) << c.name;
    }
}

TEST_F(TypeRegistry, FailedCounterGrowthStillRegistersAndStopsAtThatPool)
{
    const tavhandle g = group("net");
    for (int32_t size : {16, 32, 64}) pool(size);
    type(g, "old");
    std::array<std::array<uint32_t *, 6>, 3> before;
    for (int p = 0; p < 3; ++p) {
        before[p] = arrays(tavnode.pools[p]);
        for (int k = 0; k < 6; ++k) before[p][k][0] = mark(p, 0, k);
    }
    const auto expect_old_kept = [] {
        for (int p = 0; p < 3; ++p)
            for (int k = 0; k < 6; ++k)
                EXPECT_EQ(arrays(tavnode.pools[p])[k][0], mark(p, 0, k)) << p << ' ' << k;
    };
    host::fail_calloc(1 + 6 + 3); // type table, the six arrays of pool 0, asucc of pool 1
    tavhandle t = 0;
    EXPECT_EQ(tavtyperegister(g, "new", 0, 0, &t), 0);
    EXPECT_EQ(t, 0x02000001u);
    EXPECT_EQ(std::tuple(tavnode.groups[0].ntypes, host::announcements().size()), std::tuple(2u, 2u));
    for (int p = 0; p < 3; ++p) {
        const auto a = arrays(tavnode.pools[p]);
        for (int k = 0; k < 6; ++k) {
            const bool grown = p == 0 || (p == 1 && k < 2);
            EXPECT_EQ(a[k] != before[p][k], grown) << p << ' ' << k;
            EXPECT_TRUE(!grown || a[k][1] == 0) << p << ' ' << k;
        }
    }
    expect_old_kept();

    // The new type still allocates where it has no entries; only the totals move.
    void *blk = tavpoolalloc(t, 64);
    ASSERT_NE(blk, nullptr);
    EXPECT_EQ(std::tuple(tavnode.pools[2].alloced, tavnode.pools[2].asucc), std::tuple(1u, 1u));
    expect_old_kept();
    EXPECT_EQ(tavpoolfree(t, blk), 0);
    // A later type grows the short arrays from their real length.
    type(g, "later");
    expect_old_kept();
    for (int p = 0; p < 3; ++p)
        for (const uint32_t *a : arrays(tavnode.pools[p])) EXPECT_EQ(a[2], 0u) << p;
}
