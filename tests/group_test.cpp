#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>

#include "host/fixture.hpp"

using GroupRegistry = Registry;

TEST_F(GroupRegistry, RegistersInOrderWithHandlesOfKindOne)
{
    EXPECT_EQ(group("net"), 0x01000000u);
    EXPECT_EQ(group("disk", 4096), 0x01000001u);
    ASSERT_EQ(tavnode.ngroups, 2);
    EXPECT_EQ(tavnode.groups[1].inuse, 1u);
    EXPECT_EQ(tavnode.groups[1].index, 1u);
    EXPECT_STREQ(tavnode.groups[1].name, "disk");
    EXPECT_EQ(tavnode.groups[1].bmax, 4096);
}

TEST_F(GroupRegistry, NamesAreComparedAndStoredOver32BytesAndComeOutAs31)
{
    const std::string name = "abcdefghijklmnopqrstuvwxyz012345";
    EXPECT_EQ(group((name + "first").c_str(), 512), 0x01000000u);
    EXPECT_STREQ(tavnode.groups[0].name, name.c_str());
    for (const std::string &dup : {name, name + "second"}) {
        tavhandle h = 42;
        EXPECT_EQ(tavgroupregister(dup.c_str(), 0, &h), -1);
        EXPECT_EQ(h, 0u);
    }
    EXPECT_EQ(tavnode.ngroups, 1);
    tavhandle h = 42;
    EXPECT_EQ(tavgroupnametohandle((name + "other").c_str(), &h), 0);
    EXPECT_EQ(h, 0x01000000u);
    char buf[40];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(tavgrouphandletoname(h, buf), 0);
    EXPECT_EQ(std::string(buf), name.substr(0, 31));
    EXPECT_EQ(buf[32], 'x');
    int32_t bmax = 0;
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(tavgroupgetconfig(h, buf, &bmax), 0);
    EXPECT_EQ(std::tuple(std::string(buf), bmax), std::tuple(name.substr(0, 31), 512));
    EXPECT_EQ(group(name.substr(0, 31).c_str()), 0x01000001u);
}

TEST_F(GroupRegistry, OutOfMemoryChangesNothing)
{
    group("net");
    const tavgroup *table = tavnode.groups;
    tavhandle h = 42;
    host::fail_calloc(1);
    EXPECT_EQ(tavgroupregister("disk", 0, &h), -2);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(tavnode.ngroups, 1);
    EXPECT_EQ(tavnode.groups, table);
    EXPECT_EQ(group("disk"), 0x01000001u);
}

TEST_F(GroupRegistry, TraceRingIsCreatedOnceAndRetriedAfterAFailure)
{
    // The ring lives for the whole process: set it aside so that these
    // registrations find none, and put it back afterwards.
    struct Aside {
        tavtrace *trace = tavnode.trace;
        uint32_t next = tavnode.tracenext, size = tavnode.tracesize;
        uint64_t wraps = tavnode.tracewraps;
        ~Aside()
        {
            std::free(tavnode.trace);
            std::tie(tavnode.trace, tavnode.tracenext, tavnode.tracesize, tavnode.tracewraps) =
                std::tuple(trace, next, size, wraps);
        }
    } aside;
    std::tie(tavnode.trace, tavnode.tracenext, tavnode.tracesize, tavnode.tracewraps) =
        std::tuple(nullptr, 3u, 0u, 9ull);

    host::fail_calloc(2); // the table grows first, then the ring
    EXPECT_EQ(group("net"), 0x01000000u);
    EXPECT_EQ(tavnode.trace, nullptr);
    tavhandle h = 0;
    EXPECT_EQ(tavgroupregister("net", 0, &h), -1);
    EXPECT_EQ(tavnode.trace, nullptr);
    group("disk");
    ASSERT_NE(tavnode.trace, nullptr);
    EXPECT_EQ(std::tuple(tavnode.tracenext, tavnode.tracesize, tavnode.tracewraps),
              std::tuple(0u, 1024u, 0ull));
    const tavtrace *ring = tavnode.trace;
    tavnode.tracenext = 5;
    group("ipc");
    EXPECT_EQ(std::tuple(tavnode.trace, tavnode.tracenext), std::tuple(ring, 5u));
}
