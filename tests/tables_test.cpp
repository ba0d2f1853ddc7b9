// The nine tables on standard output, byte for byte, whole and filtered, on
// empty, populated, damaged and shut-down registries, and beside allocations.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <tuple>

#include "host/fixture.hpp"

namespace {

const std::string kGroupHead = "No U Idx Description                      nTypes   B-Max    B-Alloc \n";
const std::string kTypeHead =
    "No U Idx Description              ghandle    DefSize  B-Max    B-Alloc  tavpidx \n";
const std::string kPoolHead = "No U Idx Size     IncBlks  MaxBlks  C-Size   \n";
const std::string kListHead = "No bSize    pIndex   CurrPtr    NextPtr   \n";
const std::string kBlockHead = "No U Idx Size   Alloce A-Peak Free   A-Succ F-Succ A-Fail F-Fail\n";
const std::string kChunkHead = "No U Idx Size   Alloce A-Peak A-Succ F-Succ A-Fail F-Fail\n";
const std::string kTypeStatsHead = "No U Idx Name     Alloce A-Peak A-Succ F-Succ A-Fail F-Fail\n";
const std::string kNoPools = "No of Pool Entries = 0.\n";

// What one table call prints; its result must be `want`.
template <class... P, class... A> std::string printed(int32_t want, int32_t (*fn)(P...), A... args)
{
    int32_t rc = 1;
    std::string text = host::captured([&] { rc = fn(args...); });
    EXPECT_EQ(rc, want);
    return text;
}

// A pointer cell as printf's "%-8p" makes it.
std::string ptr(const void *p)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%-8p", p);
    return buf;
}

void expect_empty_tables()
{
    for (const char *name : {static_cast<const char *>(nullptr), "net"}) {
        EXPECT_EQ(printed(0, tavgroupdumpinfo, name), "No of Group Entries = 0.\n" + kGroupHead);
        EXPECT_EQ(printed(0, tavtypedumpinfo, name), "No of Type Entries = 0.\n" + kTypeHead);
        EXPECT_EQ(printed(-1, tavpooldumpblockstatsfortype, name, 0), "");
    }
    for (int32_t size : {0, 32, -4}) {
        EXPECT_EQ(printed(0, tavpooldumpinfo, size), kNoPools + kPoolHead);
        EXPECT_EQ(printed(0, tavpooldumplistinfo, size), kListHead);
        EXPECT_EQ(printed(0, tavpooldumpblockstats, size), kNoPools + kBlockHead);
        EXPECT_EQ(printed(0, tavpooldumpchunkstats, size), kNoPools + kChunkHead);
        EXPECT_EQ(printed(-3, tavpooldumpblockstatsdetailed, size, nullptr), "");
    }
    EXPECT_EQ(printed(0, tavpooldumpchunkinfo), "");
}

} // namespace

using RegistryTables = Registry;
using StatisticsTables = Registry;

TEST_F(RegistryTables, EmptyRegistryPrintsCountAndHeaderOnly)
{
    expect_empty_tables();
    // A type but no pools: its pool table is the heading alone, and no size has a class.
    type(group("net"), "rx", 20);
    EXPECT_EQ(printed(0, tavpooldumpblockstatsfortype, "rx", 0),
              "Memory Type = rx\n" + kNoPools + kChunkHead);
    EXPECT_EQ(printed(-3, tavpooldumpblockstatsdetailed, 20, nullptr), "");
    EXPECT_EQ(printed(-3, tavpooldumpblockstatsdetailed, 20, "rx"), "");
}

TEST_F(RegistryTables, FiltersSelectByNameOrSizeAndNoCountsSkippedRecords)
{
    const tavhandle net = group("net");
    group("disk", 4096);
    const tavhandle ui = group("ui");
    pool(128, 8, 64);
    pool(32);
    pool(64, 16, 16);
    type(net, "rx", 20);
    type(ui, "tx", 0, 64); // no default pool: registered after the pools with size 0

    const std::string groups = "No of Group Entries = 3.\n" + kGroupHead;
    const std::string disk = "01 1 001 disk                             00000000 00004096 00000000\n";
    EXPECT_EQ(printed(0, tavgroupdumpinfo, "disk"), groups + disk);
    EXPECT_EQ(printed(0, tavgroupdumpinfo, nullptr),
              groups + "00 1 000 net                              00000001 00000000 00000000\n" + disk +
                  "02 1 002 ui                               00000001 00000000 00000000\n");
    for (const char *miss : {"Disk", "dis", "disk ", ""})
        EXPECT_EQ(printed(0, tavgroupdumpinfo, miss), groups);

    const std::string types = "No of Type Entries = 2.\n" + kTypeHead;
    const std::string rx =
        "00 1 000 rx                       0x00000000 00000020 00000000 00000000 00000001\n";
    const std::string tx =
        "01 1 001 tx                       0x00000002 00000000 00000064 00000000 -00000001\n";
    EXPECT_EQ(printed(0, tavtypedumpinfo, nullptr), types + rx + tx);
    EXPECT_EQ(printed(0, tavtypedumpinfo, "tx"), types + tx);
    EXPECT_EQ(printed(0, tavtypedumpinfo, "net"), types);

    // Registration order, with the blank before each newline.
    const std::string pools = "No of Pool Entries = 3.\n" + kPoolHead;
    const std::string p64 = "02 1 002 00000064 00000016 00000016 00000000 \n";
    EXPECT_EQ(printed(0, tavpooldumpinfo, 0), pools + "00 1 000 00000128 00000008 00000064 00000000 \n" +
                                                  "01 1 001 00000032 00000000 00000000 00000000 \n" + p64);
    EXPECT_EQ(printed(0, tavpooldumpinfo, 64), pools + p64);
    EXPECT_EQ(printed(0, tavpooldumpinfo, 48), pools);
}

TEST_F(RegistryTables, SizeListAscendsWithNodeAddressesAndSkipsNodelessPool)
{
    pool(128);
    pool(32);
    pool(64);
    const tavsizenode *n32 = tavnode.sizelist, *n64 = n32->next, *n128 = n64->next;
    const std::string r64 = "00 00000064 00000002 " + ptr(n64) + " " + ptr(n128) + "\n";
    const std::string list = kListHead + "00 00000032 00000001 " + ptr(n32) + " " + ptr(n64) + "\n" + r64 +
                             "00 00000128 00000000 " + ptr(n128) + " " + ptr(nullptr) + "\n";
    EXPECT_EQ(printed(0, tavpooldumplistinfo, 0), list);
    EXPECT_EQ(printed(0, tavpooldumplistinfo, 64), kListHead + r64);
    EXPECT_EQ(printed(0, tavpooldumplistinfo, 48), kListHead);

    // Pool registration callocs the table, then the node: the node fails.
    tavhandle h = 0;
    int32_t rc = 1;
    EXPECT_EQ(host::captured([&] {
                  host::fail_calloc(2);
                  rc = tavpoolregister(256, 0, 0, &h);
              }),
              "Error in adding Pool to List\n");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(printed(0, tavpooldumpinfo, 256),
              "No of Pool Entries = 4.\n" + kPoolHead + "03 1 003 00000256 00000000 00000000 00000000 \n");
    EXPECT_EQ(printed(0, tavpooldumplistinfo, 0), list);
}

TEST_F(RegistryTables, NamesAreCutToTheirColumnsAndFiltersCompare32Bytes)
{
    for (const char *g : {"g0", "g1", "g2", "g3", "g4", "g5", "g6", "g7", "g8", "g9"}) group(g);
    const tavhandle g10 = group("abcdefghijklmnopqrstuvwxyz0123456789"); // stored as its first 32
    type(g10, "abcdefghijklmnopqrstuvwx", -8);                           // exactly 24
    type(g10, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 100, 4096);            // 32

    const std::string groups = "No of Group Entries = 11.\n" + kGroupHead;
    const std::string row10 = "10 1 010 abcdefghijklmnopqrstuvwxyz012345 00000002 00000000 00000000\n";
    EXPECT_EQ(printed(0, tavgroupdumpinfo, "abcdefghijklmnopqrstuvwxyz012345XYZ"), groups + row10);
    EXPECT_EQ(printed(0, tavgroupdumpinfo, "abcdefghijklmnopqrstuvwxyz01234"), groups);

    const std::string types = "No of Type Entries = 2.\n" + kTypeHead;
    const std::string t1 =
        "01 1 001 ABCDEFGHIJKLMNOPQRSTUVWX 0x0000000a 00000100 00004096 00000000 -00000001\n";
    EXPECT_EQ(printed(0, tavtypedumpinfo, nullptr),
              types + "00 1 000 abcdefghijklmnopqrstuvwx 0x0000000a -00000008 00000000 00000000 -00000001\n" +
                  t1);
    EXPECT_EQ(printed(0, tavtypedumpinfo, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345!!"), types + t1);

    pool(32);
    EXPECT_EQ(printed(0, tavpooldumpblockstatsdetailed, 32, nullptr),
              "Size of Pool Entry = 32.\nNo of Type Entries = 2.\n" + kTypeStatsHead +
                  "00 1 000 abcdefgh 000000 000000 000000 000000 000000 000000\n" +
                  "01 1 001 ABCDEFGH 000000 000000 000000 000000 000000 000000\n");
    // The selection line repeats the caller's text, past the stored 32 characters.
    EXPECT_EQ(printed(0, tavpooldumpblockstatsfortype, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345!!", 0),
              "Memory Type = ABCDEFGHIJKLMNOPQRSTUVWXYZ012345!!\nNo of Pool Entries = 1.\n" + kChunkHead +
                  "00 1 000 000032 000000 000000 000000 000000 000000 000000\n");
}

TEST_F(StatisticsTables, CountersAfterAllocationsAndReleasesThenShutdown)
{
    const tavhandle net = group("net");
    pool(32);
    pool(64);
    const tavhandle rxbuf = type(net, "rxbuffer", 20), sockbuf = type(net, "socketbuffer");
    void *held[] = {tavpoolalloc(rxbuf, 20), tavpoolalloc(rxbuf, 20), tavpoolalloc(rxbuf, 20)};
    for (void *p : held) ASSERT_NE(p, nullptr);
    ASSERT_EQ(tavpoolfree(sockbuf, tavpoolalloc(sockbuf, 64)), 0);

    const std::string pools = "No of Pool Entries = 2.\n";
    const std::string b64 = "01 1 001 000064 000000 000001 000000 000001 000001 000000 000000\n";
    EXPECT_EQ(printed(0, tavpooldumpblockstats, 0),
              pools + kBlockHead + "00 1 000 000032 000003 000003 -000003 000003 000000 000000 000000\n" +
                  b64);
    EXPECT_EQ(printed(0, tavpooldumpblockstats, 64), pools + kBlockHead + b64);
    EXPECT_EQ(printed(0, tavpooldumpblockstats, 48), pools + kBlockHead);
    EXPECT_EQ(printed(0, tavpooldumpchunkstats, 0),
              pools + kChunkHead + "00 1 000 000032 000000 000000 000000 000000 000000 000000\n" +
                  "01 1 001 000064 000000 000000 000000 000000 000000 000000\n");

    // The class serving the size; a negative size is served by the smallest.
    const std::string rows = std::string("No of Type Entries = 2.\n") + kTypeStatsHead +
                             "00 1 000 rxbuffer 000003 000003 000003 000000 000000 000000\n" +
                             "01 1 001 socketbu 000000 000000 000000 000000 000000 000000\n";
    EXPECT_EQ(printed(0, tavpooldumpblockstatsdetailed, 20, nullptr), "Size of Pool Entry = 20.\n" + rows);
    EXPECT_EQ(printed(0, tavpooldumpblockstatsdetailed, -5, nullptr), "Size of Pool Entry = -5.\n" + rows);
    EXPECT_EQ(printed(0, tavpooldumpblockstatsdetailed, 33, "socketbuffer"),
              "Size of Pool Entry = 33.\nNo of Type Entries = 2.\n" + kTypeStatsHead +
                  "01 1 001 socketbu 000000 000001 000001 000001 000000 000000\n");

    EXPECT_EQ(printed(0, tavpooldumpblockstatsfortype, "rxbuffer", 0),
              "Memory Type = rxbuffer\n" + pools + kChunkHead +
                  "00 1 000 000032 000003 000003 000003 000000 000000 000000\n" +
                  "01 1 001 000064 000000 000000 000000 000000 000000 000000\n");
    EXPECT_EQ(printed(0, tavpooldumpblockstatsfortype, "socketbuffer", 64),
              "Memory Type = socketbuffer\n" + pools + kChunkHead +
                  "01 1 001 000064 000000 000001 000001 000001 000000 000000\n");
    EXPECT_EQ(printed(0, tavpooldumpblockstatsfortype, "socketbuffer", 48),
              "Memory Type = socketbuffer\n" + pools + kChunkHead);

    // Refusals print nothing; the name is judged before the size.
    const std::tuple<int32_t, const char *, int32_t> refused[] = {
        {0, "nope", -1}, {65, "rxbuffe", -1}, {0, "rxbuffer", -3}, {65, "rxbuffer", -3}, {65, nullptr, -3}};
    for (auto [size, name, rc] : refused)
        EXPECT_EQ(printed(rc, tavpooldumpblockstatsdetailed, size, name), "");
    EXPECT_EQ(printed(-1, tavpooldumpblockstatsfortype, nullptr, 0), "");
    EXPECT_EQ(printed(-1, tavpooldumpblockstatsfortype, "RXbuffer", 32), "");

    for (void *p : held) ASSERT_EQ(tavpoolfree(rxbuf, p), 0);
    EXPECT_EQ(printed(0, tavpooldumpblockstats, 32),
              pools + kBlockHead + "00 1 000 000032 000000 000003 000000 000003 000003 000000 000000\n");

    // Shutdown empties everything the tables show.
    ASSERT_EQ(tavshutdown(), 0);
    expect_empty_tables();
}

TEST_F(StatisticsTables, MissingOrShortCounterArraysPrintZero)
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

    EXPECT_EQ(printed(0, tavpooldumpblockstatsfortype, "b", 0),
              "Memory Type = b\nNo of Pool Entries = 2.\n" + kChunkHead +
                  "00 1 000 000032 000002 000002 000000 000000 000000 000000\n" +
                  "01 1 001 000064 000000 000000 000000 000000 000000 000000\n");
    const std::string types = "No of Type Entries = 2.\n" + kTypeStatsHead;
    EXPECT_EQ(printed(0, tavpooldumpblockstatsdetailed, 20, nullptr),
              "Size of Pool Entry = 20.\n" + types +
                  "00 1 000 a        000001 000001 000001 000000 000000 000000\n" +
                  "01 1 001 b        000002 000002 000000 000000 000000 000000\n");

    // A pool whose counters could not be created at all (table, node, then the first array).
    tavhandle h = 0;
    host::fail_calloc(3);
    EXPECT_EQ(tavpoolregister(128, 0, 0, &h), -6);
    const std::string zero = " 000000 000000 000000 000000 000000 000000\n";
    EXPECT_EQ(printed(0, tavpooldumpblockstatsdetailed, 100, nullptr), "Size of Pool Entry = 100.\n" + types +
                                                                           "00 1 000 a       " + zero +
                                                                           "01 1 001 b       " + zero);

    for (int i = 0; i < 4; ++i) ASSERT_EQ(tavpoolfree(owner[i], held[i]), 0);
}

TEST_F(StatisticsTables, PrintingRunsBesideAllocationAndRelease)
{
    const tavhandle g = group("net", 1 << 20);
    pool(32);
    pool(64);
    const tavhandle t0 = type(g, "t0", 20), t1 = type(g, "t1", 40);
    constexpr uint32_t kRounds = 300;
    std::atomic<int> bad{0};
    auto allocate = [&bad](tavhandle t) {
        for (uint32_t i = 0; i < kRounds; ++i) {
            void *p = tavpoolalloc(t, 0), *q = tavpoolalloc(t, 500); // pooled and oversize
            if (p == nullptr || q == nullptr || tavpoolfree(t, p) != 0 || tavpoolfree(t, q) != 0) ++bad;
        }
    };
    auto print = [&bad] {
        for (uint32_t i = 0; i < kRounds / 10; ++i)
            bad += (tavgroupdumpinfo(nullptr) | tavtypedumpinfo("t1") | tavpooldumpinfo(0) |
                    tavpooldumplistinfo(0) | tavpooldumpblockstats(0) | tavpooldumpchunkstats(64) |
                    tavpooldumpblockstatsdetailed(20, nullptr) | tavpooldumpblockstatsfortype("t0", 0) |
                    tavpooldumpchunkinfo()) != 0;
    };

    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO), null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    {
        std::jthread threads[] = {std::jthread(allocate, t0), std::jthread(allocate, t1), std::jthread(print),
                                  std::jthread(print)};
    }
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(null);

    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(tavnode.groups[0].balloc, 0);
    // Type i allocates from pool i only.
    for (int32_t i = 0; i < 2; ++i) {
        const tavpool &p = tavnode.pools[i];
        EXPECT_EQ(tavnode.types[i].balloc, 0);
        EXPECT_EQ(std::tuple(p.alloced, p.asucc, p.fsucc, p.typestats.alloced[i], p.typestats.fsucc[i]),
                  std::tuple(0u, kRounds, kRounds, 0u, kRounds));
    }
}
