// The thirteen look-ups and queries: each answers exactly for the records its
// argument names, with their values, and refuses null pointers and handles
// that name nothing while storing nothing.
#include <array>
#include <cstdlib>
#include <string>
#include <tuple>

#include "host/fixture.hpp"
#include "host/queries.hpp"

using host::kQueries;
using host::Out;
using host::Query;

using Queries = Registry;

TEST_F(Queries, ByHandleRefuseNullsAndHandlesNamingNothing)
{
    const tavhandle g = group("abcdefghijklmnopqrstuvwxyz0123456789", 500);
    const tavhandle t = type(g, "buf", 24, 400);
    const tavhandle p = pool(48, 6, 12);
    tavgroup &gr = tavnode.groups[0];
    tavtype &ty = tavnode.types[0];
    tavpool &po = tavnode.pools[0];
    // Fail counts are 64 bits: the low 32 come out.
    std::tie(gr.balloc, gr.failcount, ty.balloc, ty.failcount) =
        std::tuple(96, 0x500000007ull, 48, 0x100000003ull);
    std::tie(po.free, po.alloced, po.apeak, po.asucc, po.fsucc, po.afail, po.ffail) =
        std::tuple(-3, 3u, 5u, 7u, 4u, 1u, 2u);
    const tavhandle live[4] = {0, g, t, p};
    Out o[9];
    for (const Query &q : kQueries) {
        SCOPED_TRACE(q.name);
        const tavhandle h = live[q.kind];
        const auto refused = [&q](tavhandle asked, int null) {
            Out out;
            const int32_t rc = q.call(asked, out, null);
            EXPECT_TRUE(out.untouched());
            return rc;
        };
        for (int n = 0; n < q.pointers; ++n) EXPECT_EQ(refused(h, n), -1) << "null pointer " << n;
        for (tavhandle bad : {tavhandle{0}, h + 1, h + 0x01000000, h - 0x01000000, h | 0x80000000})
            EXPECT_EQ(refused(bad, -1), -2) << std::hex << bad;
        EXPECT_EQ(q.call(h | 0xABCD00000000ull, o[&q - kQueries], -1), q.found)
            << "bits above 31 are not the handle's";
    }
    // What each reports, names cut to 31 characters.
    const std::string gname = "abcdefghijklmnopqrstuvwxyz01234";
    EXPECT_EQ(std::tuple(std::string(o[0].s1), std::string(o[1].s1), o[1].v[0], o[2].v[0], o[2].u[0]),
              std::tuple(gname, gname, 500, 96, 7u));
    EXPECT_EQ(
        std::tuple(std::string(o[3].s1), std::string(o[4].s1), o[4].v[0], o[4].v[1], std::string(o[4].s2)),
        std::tuple("buf", "buf", 24, 400, gname));
    EXPECT_EQ(std::tuple(o[5].v[0], o[5].u[0], o[6].v[0], o[7].v[0], o[7].v[1], o[7].v[2]),
              std::tuple(48, 3u, 48, 48, 6, 12));
    EXPECT_EQ(std::tuple(o[8].v[0], std::to_array(o[8].u)),
              std::tuple(-3, std::array{3u, 5u, 7u, 4u, 1u, 2u}));
}

TEST_F(Queries, ByNameOrSizeFindTheFirstLiveMatch)
{
    uint32_t index = 7;
    EXPECT_EQ(tavtypenametoindex("buf", &index), -1); // no types at all
    EXPECT_EQ(index, 0u);
    const std::string stored(32, 'n'), asked = stored + "z"; // names compare over 32 bytes
    const tavhandle g = group("net");
    group("idle");
    tavnode.groups[1].inuse = 0; // no operation clears it, but look-ups must honour it
    type(g, "buf");
    const tavhandle t = type(g, (stored + "a").c_str());
    const tavhandle p16 = pool(16);
    EXPECT_EQ(tavtypenametoindex(asked.c_str(), &index), 0);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(tavtypenametoindex("bu", &index), -1);
    EXPECT_EQ(index, 0u);
    const struct {
        int32_t (*find)(const char *, tavhandle *);
        const char *hit, *miss;
        tavhandle found;
    } lookups[] = {
        {tavgroupnametohandle, "net", "idle", g},
        {tavtypenametohandle, asked.c_str(), "net", t},
        // A pool that covers the size is not the pool of that size.
        {[](const char *s, tavhandle *h) { return tavpoolsizetohandle(std::atoi(s), h); }, "16", "12", p16}};
    for (const auto &l : lookups) {
        tavhandle h = 42;
        EXPECT_EQ(l.find(l.hit, nullptr), -1);
        EXPECT_EQ(l.find(l.hit, &h), 0);
        EXPECT_EQ(h, l.found);
        EXPECT_EQ(l.find(l.miss, &h), -2);
        EXPECT_EQ(h, 0u);
    }
    tavhandle h = 42;
    EXPECT_EQ(tavgroupnametohandle(nullptr, &h), -1);
    EXPECT_EQ(tavtypenametohandle(nullptr, &h), -1);
    EXPECT_EQ(h, 42u);
    EXPECT_EQ(tavgroupregister("idle", 0, &h), -1); // registration sees every record
}
