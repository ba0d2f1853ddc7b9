// The thirteen look-ups and queries: each answers exactly for the records its
// argument names, with their values, and refuses null pointers and handles
// that name nothing while storing nothing.
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>

#include "host/fixture.hpp"

namespace {

// Out values start as markers; a refusal must leave them.
struct Out {
    char s1[TAV_NAME_BUF] = "?", s2[TAV_NAME_BUF] = "?";
    int32_t v[3] = {7, 7, 7};
    uint32_t u[6] = {7, 7, 7, 7, 7, 7};
    bool untouched() const { return s1[0] == '?' && s2[0] == '?' && v[0] == 7 && u[0] == 7; }
};

// A query by handle; `null` is the position of the pointer passed as null (none if out of range).
struct Query {
    const char *name;
    uint32_t kind;
    int pointers;
    int32_t found; // its success code
    std::function<int32_t(tavhandle, Out &, int null)> call;
};

template <class T> T *P(int null, int k, T *p) { return null == k ? nullptr : p; }

const Query kQueries[] = {
    {"grouphandletoname", 1, 1, 0, [](tavhandle h, Out &o, int n) { return tavgrouphandletoname(h, P(n, 0, o.s1)); }},
    {"groupgetconfig", 1, 2, 0,
     [](tavhandle h, Out &o, int n) { return tavgroupgetconfig(h, P(n, 0, o.s1), P(n, 1, o.v)); }},
    {"groupgetstatistics", 1, 2, 0,
     [](tavhandle h, Out &o, int n) { return tavgroupgetstatistics(h, P(n, 0, o.v), P(n, 1, o.u)); }},
    {"typehandletoname", 2, 1, 0, [](tavhandle h, Out &o, int n) { return tavtypehandletoname(h, P(n, 0, o.s1)); }},
    {"typegetconfig", 2, 4, 0,
     [](tavhandle h, Out &o, int n) {
         return tavtypegetconfig(h, P(n, 0, o.s1), P(n, 1, o.v), P(n, 2, o.v + 1), P(n, 3, o.s2));
     }},
    {"typegetstatistics", 2, 2, 0,
     [](tavhandle h, Out &o, int n) { return tavtypegetstatistics(h, P(n, 0, o.v), P(n, 1, o.u)); }},
    {"poolhandletosize", 3, 1, -3, [](tavhandle h, Out &o, int n) { return tavpoolhandletosize(h, P(n, 0, o.v)); }},
    {"poolgetconfig", 3, 3, -3,
     [](tavhandle h, Out &o, int n) { return tavpoolgetconfig(h, P(n, 0, o.v), P(n, 1, o.v + 1), P(n, 2, o.v + 2)); }},
    {"poolgetstatistics", 3, 7, -3,
     [](tavhandle h, Out &o, int n) {
         uint32_t *u = o.u;
         return tavpoolgetstatistics(h, P(n, 0, o.v), P(n, 1, u), P(n, 2, u + 1), P(n, 3, u + 2), P(n, 4, u + 3),
                                     P(n, 5, u + 4), P(n, 6, u + 5));
     }},
};

} // namespace

using Queries = Registry;

TEST_F(Queries, ByHandleRefuseNullsAndHandlesNamingNothing)
{
    const tavhandle g = group("abcdefghijklmnopqrstuvwxyz0123456789", 500);
    const tavhandle t = type(g, "buf", 24, 400);
    const tavhandle p = pool(48, 6, 12);
    tavnode.groups[0].balloc = 96;
    tavnode.groups[0].failcount = 0x500000007ull; // low 32 bits come out
    tavnode.types[0].balloc = 48;
    tavnode.types[0].failcount = 0x100000003ull;
    std::tie(tavnode.pools[0].free, tavnode.pools[0].alloced, tavnode.pools[0].apeak, tavnode.pools[0].asucc,
             tavnode.pools[0].fsucc, tavnode.pools[0].afail, tavnode.pools[0].ffail) =
        std::tuple(-3, 3u, 5u, 7u, 4u, 1u, 2u);
    const tavhandle live[4] = {0, g, t, p};
    for (const Query &q : kQueries) {
        SCOPED_TRACE(q.name);
        for (int n = 0; n < q.pointers; ++n) {
            Out o;
            EXPECT_EQ(q.call(live[q.kind], o, n), -1) << "null pointer " << n;
            EXPECT_TRUE(o.untouched());
        }
        const tavhandle h = live[q.kind];
        for (tavhandle bad : {tavhandle{0}, h + 1, h + 0x01000000, h - 0x01000000, h | 0x80000000}) {
            Out o;
            EXPECT_EQ(q.call(bad, o, -1), -2) << std::hex << bad;
            EXPECT_TRUE(o.untouched());
        }
        Out o;
        EXPECT_EQ(q.call(h | 0xABCD00000000ull, o, -1), q.found) << "bits above 31 are not the handle's";
        EXPECT_FALSE(o.untouched());
    }
    // What each reports, names cut to 31 characters.
    const std::string gname = "abcdefghijklmnopqrstuvwxyz01234";
    Out o[9];
    for (int i = 0; i < 9; ++i) kQueries[i].call(live[kQueries[i].kind], o[i], -1);
    EXPECT_EQ(std::tuple(std::string(o[0].s1), std::string(o[1].s1), o[1].v[0], o[2].v[0], o[2].u[0]),
              std::tuple(gname, gname, 500, 96, 7u));
    EXPECT_EQ(std::tuple(std::string(o[3].s1), std::string(o[4].s1), o[4].v[0], o[4].v[1], std::string(o[4].s2)),
              std::tuple("buf", "buf", 24, 400, gname));
    EXPECT_EQ(std::tuple(o[5].v[0], o[5].u[0], o[6].v[0], o[7].v[0], o[7].v[1], o[7].v[2]),
              std::tuple(48, 3u, 48, 48, 6, 12));
    EXPECT_EQ(std::tuple(o[8].v[0], std::to_array(o[8].u)), std::tuple(-3, std::array{3u, 5u, 7u, 4u, 1u, 2u}));
}

TEST_F(Queries, ByNameOrSizeFindTheFirstLiveMatch)
{
    uint32_t index = 7;
    EXPECT_EQ(tavtypenametoindex("buf", &index), -1); // no types at all
    EXPECT_EQ(index, 0u);
    const std::string longname(32, 'n');
    const tavhandle g = group("net");
    group("idle");
    tavnode.groups[1].inuse = 0; // no operation clears it, but look-ups must honour it
    type(g, "buf");
    const tavhandle t = type(g, (longname + "a").c_str());
    const tavhandle p16 = pool(16);
    EXPECT_EQ(tavtypenametoindex((longname + "b").c_str(), &index), 0); // 32 bytes compared
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(tavtypenametoindex("bu", &index), -1);
    EXPECT_EQ(index, 0u);
    const std::function<int32_t(tavhandle *)> lookups[] = {
        [](tavhandle *h) { return tavgroupnametohandle("net", h); },
        [&](tavhandle *h) { return tavtypenametohandle((longname + "z").c_str(), h); },
        [](tavhandle *h) { return tavpoolsizetohandle(16, h); }};
    const std::function<int32_t(tavhandle *)> misses[] = {
        [](tavhandle *h) { return tavgroupnametohandle("idle", h); },
        [](tavhandle *h) { return tavtypenametohandle("net", h); },
        [](tavhandle *h) { return tavpoolsizetohandle(12, h); }}; // a covering pool is not the pool
    const tavhandle found[] = {g, t, p16};
    for (int i = 0; i < 3; ++i) {
        tavhandle h = 42;
        EXPECT_EQ(lookups[i](nullptr), -1);
        EXPECT_EQ(lookups[i](&h), 0);
        EXPECT_EQ(h, found[i]);
        EXPECT_EQ(misses[i](&h), -2);
        EXPECT_EQ(h, 0u);
    }
    tavhandle h = 42;
    EXPECT_EQ(tavgroupnametohandle(nullptr, &h), -1);
    EXPECT_EQ(tavtypenametohandle(nullptr, &h), -1);
    EXPECT_EQ(h, 42u);
    EXPECT_EQ(tavgroupregister("idle", 0, &h), -1); // registration sees every record
}
