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
