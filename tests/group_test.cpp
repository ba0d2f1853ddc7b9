#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>

#include "host/fixture.hpp"

using GroupRegistry = Registry;

// Handles are kind 1 in the top byte, the registration index below; names are
// compared and stored over 32 bytes and come out as 31 characters.
TEST_F(GroupRegistry, RegistersInOrderComparesNamesOver32BytesAndSurvivesOutOfMemory)
{
    const std::string name = "abcdefghijklmnopqrstuvwxyz012345";
    EXPECT_EQ(group("net"), 0x01000000u);
    EXPECT_EQ(group((name + "first").c_str(), 4096), 0x01000001u);
    const tavgroup &g = tavnode.groups[1];
    EXPECT_EQ(std::tuple(tavnode.ngroups, g.inuse, g.index, std::string(g.name), g.bmax),
              std::tuple(2, 1u, 1u, name, 4096));
    tavhandle same = 42, longer = 42;
    EXPECT_EQ(std::tuple(tavgroupregister(name.c_str(), 0, &same),
                         tavgroupregister((name + "second").c_str(), 0, &longer)),
              std::tuple(-1, -1));
    EXPECT_EQ(std::tuple(same, longer, tavnode.ngroups), std::tuple(0u, 0u, 2));
    tavhandle h = 42;
    EXPECT_EQ(tavgroupnametohandle((name + "other").c_str(), &h), 0);
    EXPECT_EQ(h, 0x01000001u);
    char buf[40];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(tavgrouphandletoname(h, buf), 0);
    EXPECT_EQ(std::string(buf), name.substr(0, 31));
    EXPECT_EQ(buf[32], 'x');
    EXPECT_EQ(group(name.substr(0, 31).c_str()), 0x01000002u);
    // Out of memory changes nothing.
    const tavgroup *table = tavnode.groups;
    host::fail_calloc(1);
    EXPECT_EQ(tavgroupregister("disk", 0, &h), -2);
    EXPECT_EQ(std::tuple(h, tavnode.ngroups, tavnode.groups), std::tuple(0u, 3, table));
    EXPECT_EQ(group("disk"), 0x01000003u);
}

TEST_F(GroupRegistry, TraceRingIsCreatedOnceAndRetriedAfterAFailure)
{
    // The ring lives for the whole process: set it aside so that these
    // registrations find none, and put it back afterwards.
    const auto ring = [] {
        return std::tie(tavnode.trace, tavnode.tracenext, tavnode.tracesize, tavnode.tracewraps);
    };
    const std::tuple<tavtrace *, uint32_t, uint32_t, uint64_t> saved = ring();
    ring() = std::tuple(nullptr, 3u, 0u, 9ull);
    host::fail_calloc(2); // the table grows first, then the ring
    EXPECT_EQ(group("net"), 0x01000000u);
    EXPECT_EQ(tavnode.trace, nullptr);
    tavhandle h = 0;
    EXPECT_EQ(tavgroupregister("net", 0, &h), -1); // a refused registration makes none
    EXPECT_EQ(tavnode.trace, nullptr);
    group("disk");
    const tavtrace *made = tavnode.trace;
    EXPECT_NE(made, nullptr);
    EXPECT_EQ(std::tuple(tavnode.tracenext, tavnode.tracesize, tavnode.tracewraps),
              std::tuple(0u, 1024u, 0ull));
    tavnode.tracenext = 5;
    group("ipc");
    EXPECT_EQ(std::tuple(tavnode.trace, tavnode.tracenext), std::tuple(made, 5u));
    std::free(tavnode.trace);
    ring() = saved;
}
