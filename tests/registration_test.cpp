// Registration of groups, types and pools: handles in order, validation, what
// is announced, and the process-wide trace ring made on the way.
#include <pthread.h>

#include <array>
#include <cstdlib>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "host/fixture.hpp"

using GroupRegistry = Registry;
using TypeRegistry = Registry;
using PoolRegistry = Registry;

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

TEST_F(PoolRegistry, ValidationRefusesWithoutTakingTheLock)
{
    const struct {
        int32_t size, inc, max, code;
    } refused[] = {{0, 0, 0, -1},  {2, 0, 0, -1},   {6, 0, 0, -1},  {-4, 0, 0, -1}, {0, 16, 8, -1},
                   {8, 16, 8, -2}, {8, 20, 10, -2}, {8, 3, 10, -3}, {8, -3, 10, -3}};
    // A registration that took the write lock would wait for this read lock forever.
    ASSERT_EQ(pthread_rwlock_rdlock(&tavnode.lock), 0);
    for (const auto &c : refused) {
        tavhandle h = 42;
        EXPECT_EQ(tavpoolregister(c.size, c.inc, c.max, &h), c.code)
            << c.size << ' ' << c.inc << ' ' << c.max;
        EXPECT_EQ(h, 0u);
    }
    pthread_rwlock_unlock(&tavnode.lock);
    EXPECT_EQ(tavnode.npools, 0);
    for (const auto [size, inc, max, handle] : {std::array{8, 0, 10, 0}, {12, -3, 0, 1}, {16, 4, 4, 2}})
        EXPECT_EQ(pool(size, inc, max), 0x03000000u + handle);
}

TEST_F(PoolRegistry, NewPoolsBecomeDefaultOfTypesTheyCoverMoreTightly)
{
    const tavhandle g = group("net");
    pool(8);
    for (auto [name, defsize] : {std::pair{"twenty", 20}, {"zero", 0}, {"large", 128}, {"eight", 8}})
        type(g, name, defsize);
    EXPECT_EQ(tavnode.types[1].pidx, -1);
    const struct {
        int32_t size;
        std::vector<int32_t> pidx;
    } steps[] = {{64, {1, 1, -1, 0}}, {32, {2, 2, -1, 0}}, {16, {2, 3, -1, 0}}, {128, {2, 3, 4, 0}}};
    for (const auto &s : steps) {
        pool(s.size);
        std::vector<int32_t> pidx;
        for (int i = 0; i < tavnode.ntypes; ++i) pidx.push_back(tavnode.types[i].pidx);
        EXPECT_EQ(pidx, s.pidx) << "after pool " << s.size;
    }
}
