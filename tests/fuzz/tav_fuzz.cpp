// Coverage-guided fuzzer. The input is a program of calls: registrations,
// allocations, releases of held, released, foreign, crafted and interior
// addresses, queries, tables, shutdowns, failing system allocations. It
// predicts no answer; after every call it checks what holds whatever the
// answers: the books balance (host/books.hpp, lock free included), statuses
// are ones the function can give, a block is handed out and taken back once,
// nothing it did not hand out is taken, queries answer exactly for handles
// naming a record. With TAV_FUZZ_REPLAY it is a plain program replaying files.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "host/books.hpp"
#include "host/host.hpp"
#include "host/queries.hpp"

namespace {

constexpr int kMaxOps = 400;
constexpr int32_t kMaxBlock = 65536; // largest pool and largest request made
constexpr size_t kMaxHeld = 4000;    // blocks out at once, at most
constexpr int64_t kMaxHeldBytes = 4 << 20;
constexpr size_t kRemembered = 1000; // releases whose addresses come back to it

int opno;
const char *opname = "start";

[[noreturn]] void fail(const std::string &what, long long got)
{
    std::fprintf(stderr, "tav_fuzz: op %d (%s): %s (got %lld)\n", opno, opname, what.c_str(), got);
    std::abort();
}

void expect(bool ok, const char *what, long long got = 0)
{
    if (!ok) fail(what, got);
}

template <class... C> bool one_of(int32_t rc, C... codes) { return ((rc == codes) || ...); }

std::vector<host::Held> held;    // handed out since the last shutdown and not released
std::vector<host::Held> orphans; // held across a shutdown: charged to no record now
std::vector<host::Held> freed;   // the last releases of this input not handed out again
int64_t held_bytes = 0;
alignas(64) unsigned char arena[32][96]; // foreign and crafted addresses

bool every_pool_listed()
{
    int32_t n = 0;
    for (const tavsizenode *s = tavnode.sizelist; s != nullptr; s = s->next) ++n;
    return n == tavnode.npools;
}

bool starved = false; // a system allocation failed since the last shutdown

void check_books()
{
    if (const std::string p = host::books_problem(held, !starved); !p.empty()) fail(p, 0);
}

// Records of a kind.
int32_t count(uint32_t kind)
{
    return kind == TAV_KIND_GROUP ? tavnode.ngroups : kind == TAV_KIND_TYPE ? tavnode.ntypes : tavnode.npools;
}

// The index a handle names, or -1: its kind, and an index below the kind's count.
int32_t named(tavhandle h, uint32_t kind)
{
    const auto i = static_cast<int64_t>(h & TAV_INDEX_MASK);
    return (h & 0xFF000000u) == tavhandle{kind} << TAV_KIND_SHIFT && i < count(kind) ? int32_t(i) : -1;
}

void expect_handle(int32_t rc, tavhandle h, uint32_t kind, int32_t index)
{
    expect(rc == 0 ? h == (tavhandle{kind} << TAV_KIND_SHIFT | uint32_t(index)) : h == 0, "out handle", rc);
}

// ---- the calls ----

void op_group(const char *name, int32_t bmax)
{
    opname = "tavgroupregister";
    tavhandle h = 7;
    bool exists = false;
    for (int32_t i = 0; i < tavnode.ngroups; ++i)
        exists |= std::strncmp(tavnode.groups[i].name, name, 32) == 0;
    const int32_t rc = tavgroupregister(name, bmax, &h);
    expect((rc == -1) == exists, "-1 is exactly a taken name", rc);
    expect(one_of(rc, 0, -1, -2), "status", rc);
    expect_handle(rc, h, TAV_KIND_GROUP, tavnode.ngroups - 1);
    expect(rc != 0 || tavnode.groups[tavnode.ngroups - 1].bmax == bmax, "budget stored", rc);
}

void op_type(tavhandle group, const char *name, int32_t defsize, int32_t bmax)
{
    opname = "tavtyperegister";
    tavhandle h = 7;
    const int32_t rc = tavtyperegister(group, name, defsize, bmax, &h);
    expect(one_of(rc, 0, -1, -2, -3, -4, -5), "status", rc);
    expect((rc == -1) == (named(group, TAV_KIND_GROUP) < 0), "-1 is exactly no group", rc);
    expect_handle(rc, h, TAV_KIND_TYPE, tavnode.ntypes - 1);
    if (rc != 0) return;
    const tavtype &t = tavnode.types[tavnode.ntypes - 1];
    expect(t.defsize == defsize && t.bmax == bmax && t.gindex == (group & TAV_INDEX_MASK), "record", rc);
}

void op_pool(int32_t size, int32_t inc, int32_t max)
{
    opname = "tavpoolregister";
    tavhandle h = 7;
    const int32_t before = tavnode.npools;
    const int32_t rc = tavpoolregister(size, inc, max, &h);
    expect(one_of(rc, 0, -1, -2, -3, -5, -6), "status", rc);
    expect(rc != 0 ? h == 0 : named(h, TAV_KIND_POOL) >= 0, "out handle", rc);
    expect(rc != 0 || tavnode.pools[h & TAV_INDEX_MASK].size == size, "pool of another size", rc);
    const bool added = (rc == 0 && (h & TAV_INDEX_MASK) == uint32_t(before)) || rc == -6;
    expect(tavnode.npools - before == (added ? 1 : 0), "pool count", tavnode.npools);
}

void op_alloc(tavhandle type, int32_t size)
{
    opname = "tavpoolalloc";
    void *p = tavpoolalloc(type, size);
    if (p == nullptr) return;
    expect(reinterpret_cast<uintptr_t>(p) % 16 == 0, "misaligned block");
    expect(named(type, TAV_KIND_TYPE) >= 0, "served a handle naming no type");
    for (const host::Held &b : held) expect(b.ptr != p, "block handed out twice");
    tavblkhdr h;
    std::memcpy(&h, static_cast<char *>(p) - sizeof h, sizeof h);
    const bool oversize = (h.flags & TAV_BLK_OVERSIZE) != 0;
    expect(h.magic == TAV_BLK_MAGIC && h.handle == type, "header");
    expect(oversize ? h.size == size && size > 0 : h.size >= size, "block size", h.size);
    held.push_back({type, p});
    held_bytes += h.size;
    std::erase_if(freed, [p](const host::Held &b) { return b.ptr == p; }); // no longer released
}

void op_release(uintptr_t addr, tavhandle passed)
{
    opname = "tavpoolfree";
    const auto it = std::find_if(held.begin(), held.end(), [addr](const host::Held &b) {
        return reinterpret_cast<uintptr_t>(b.ptr) == addr;
    });
    int32_t rc = 0;
    if (it == held.end() || it->type != passed) {
        rc = tavpoolfree(passed, reinterpret_cast<void *>(addr));
        expect(one_of(rc, -1, -2, -3, -4),
               "took back an address it did not hand out, or under another handle", rc);
        return expect(it == held.end() || rc == -2, "a held block under another handle is not -2", rc);
    }
    const int32_t size = host::block_size(it->ptr);
    rc = tavpoolfree(passed, reinterpret_cast<void *>(addr));
    expect(rc == 0 || !every_pool_listed(), "refused a held block its own handle", rc);
    if (rc != 0) return;
    held_bytes -= size;
    // The library reads no released memory of its last 1,024 releases.
    if (freed.size() == kRemembered) freed.erase(freed.begin());
    freed.push_back(*it);
    *it = held.back();
    held.pop_back();
}

void op_shutdown()
{
    opname = "tavshutdown";
    expect(tavshutdown() == 0, "status");
    expect(tavnode.ngroups + tavnode.ntypes + tavnode.npools == 0 && tavnode.sizelist == nullptr, "empty");
    orphans.insert(orphans.end(), held.begin(), held.end());
    held.clear();
    held_bytes = 0;
    starved = false;
}

// A look-up by name or size (sel % 13 of 0, 4, 5, 9), or one of the nine
// queries by handle. (Null pointers, and what each reports, are the unit tests' business.)
void op_query(unsigned sel, tavhandle h, const char *name, int32_t size)
{
    opname = "query";
    const unsigned q = sel % 13;
    if (q == 4) {
        uint32_t i = 7;
        const int32_t rc = tavtypenametoindex(name, &i);
        return expect(rc == -1 ? i == 0 : rc == 0 && i < uint32_t(tavnode.ntypes), "index", rc);
    }
    if (q == 0 || q == 5 || q == 9) { // a handle of the kind, or 0
        const uint32_t kind = q == 0 ? TAV_KIND_GROUP : q == 5 ? TAV_KIND_TYPE : TAV_KIND_POOL;
        tavhandle out = 7;
        const int32_t rc = q == 0   ? tavgroupnametohandle(name, &out)
                           : q == 5 ? tavtypenametohandle(name, &out)
                                    : tavpoolsizetohandle(size, &out);
        return expect(rc == -2 ? out == 0 : rc == 0 && named(out, kind) >= 0, "look-up", rc);
    }
    static constexpr int kByHandle[13] = {-1, 0, 1, 2, -1, -1, 3, 4, 5, -1, 6, 7, 8};
    const host::Query &query = host::kQueries[kByHandle[q]];
    host::Out o;
    const int32_t rc = query.call(h, o, -1);
    // Exactly the handles that name a record are answered.
    expect(named(h, query.kind) >= 0 ? rc == query.found : rc == -2 && o.untouched(), "by handle", rc);
}

// The tables print to standard output (discarded); only their results count.
void op_table(unsigned sel, const char *name, int32_t size)
{
    opname = "table";
    const int32_t rc = sel % 9 == 0   ? tavgroupdumpinfo(name)
                       : sel % 9 == 1 ? tavtypedumpinfo(name)
                       : sel % 9 == 2 ? tavpooldumpinfo(size)
                       : sel % 9 == 3 ? tavpooldumplistinfo(size)
                       : sel % 9 == 4 ? tavpooldumpblockstats(size)
                       : sel % 9 == 5 ? tavpooldumpchunkstats(size)
                       : sel % 9 == 6 ? tavpooldumpblockstatsdetailed(size, name)
                       : sel % 9 == 7 ? tavpooldumpblockstatsfortype(name, size)
                                      : tavpooldumpchunkinfo();
    expect(rc == 0 || (sel % 9 == 6 && one_of(rc, -1, -3)) || (sel % 9 == 7 && rc == -1), "status", rc);
}

// ---- decoding an input into calls ----
// Every value is read in its own statement: argument evaluation order is
// unspecified, and a replay built by another compiler must read the same calls.

struct Input {
    const uint8_t *p, *end;
    uint8_t byte() { return p < end ? *p++ : 0; }
    uint32_t u32()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | byte();
        return v;
    }
    // An entry of t, or for a byte of 240 and above four bytes as they come.
    int32_t pick16(const int32_t (&t)[16])
    {
        const uint8_t b = byte();
        return b >= 240 ? static_cast<int32_t>(u32()) : t[b % 16];
    }
};

// Names 8 to 10 have 32, 33 and 33 characters and the same first 32: one stored name.
// clang-format off
const char *const kNames[16] = {"a", "b", "ipc", "net", "buf", "", "a ", "Type-Name-Of-Thirty-Characters",
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123457",
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", "A", "B", "x.y", "buf2"};
// clang-format on
constexpr int32_t kBudgets[16] = {0,   0,    1,    32,        64,      96,        100, 128,
                                  256, 1000, 4096, kMaxBlock, 1 << 20, INT32_MAX, -1,  INT32_MIN};
constexpr int32_t kCounts[16] = {0, 1, 2, 3, 4, 8, 10, 16, 64, 100, 7, -1, -2, -8, INT32_MIN, INT32_MAX};

const char *pick_name(Input &in) { return kNames[in.byte() % 16]; }

// Request sizes: 0, the edges of the pools, negative ones; never above kMaxBlock.
int32_t pick_size(Input &in)
{
    static const int32_t t[20] = {0,   1,   4,   16,   20,   31,        32, 33,   64,        65,
                                  100, 128, 129, 1000, 4096, kMaxBlock, -1, -100, INT32_MIN, 2};
    const uint8_t b = in.byte() % 32;
    if (b < 20) return t[b];
    if (b < 26) {
        const uint8_t i = in.byte();
        const int32_t s = tavnode.npools == 0 ? 32 : tavnode.pools[i % tavnode.npools].size;
        return std::min(kMaxBlock, s + (b < 24 ? 0 : b == 24 ? 1 : -1));
    }
    if (b < 30) return in.byte();
    if (b == 30) return 1 + static_cast<int32_t>(in.u32() % kMaxBlock);
    return static_cast<int32_t>(in.u32() | 0x80000000u);
}

int32_t pick_pool_size(Input &in)
{
    static const int32_t t[20] = {4,    8,    16,        20, 32, 48, 64, 100, 128,       256,
                                  1024, 4096, kMaxBlock, 0,  2,  6,  -4, -64, INT32_MIN, kMaxBlock + 2};
    const uint8_t b = in.byte() % 32;
    if (b < 20) return t[b];
    if (b < 30) return 4 * (1 + in.byte());
    const auto v = static_cast<int32_t>(in.u32());
    return v > kMaxBlock && v % 4 == 0 ? v | 2 : v; // no valid pool above kMaxBlock
}

// Mostly a handle of the kind, in range or one past; sometimes with bits
// above 31, of another kind, 0 or random.
tavhandle pick_handle(Input &in, uint32_t kind)
{
    const uint8_t b = in.byte();
    const tavhandle index = (b / 8u) % (uint32_t(count(kind)) + 1);
    if (b % 8 == 5) return (tavhandle{kind} << 24 | index) | tavhandle{in.byte() | 1u} << 32;
    if (b % 8 == 6) return tavhandle{kind % 3 + 1} << 24 | index;
    if (b % 8 != 7) return tavhandle{kind} << 24 | index;
    if ((b & 8) != 0) return 0;
    const tavhandle hi = in.u32();
    return hi << 32 | in.u32();
}

tavhandle pick_type(Input &in) { return pick_handle(in, TAV_KIND_TYPE); }

void release_picked(Input &in)
{
    const uint8_t i = in.byte();
    const uint8_t mode = in.byte();
    if (held.empty()) return op_release(0, 0x02000000);
    const host::Held b = held[i % held.size()];
    tavhandle h = b.type;
    if (mode % 8 == 5) h ^= tavhandle{1} << 32;
    if (mode % 8 >= 6) h = pick_type(in);
    op_release(reinterpret_cast<uintptr_t>(b.ptr), h);
}

void release_other(Input &in)
{
    const uint8_t kind = in.byte() % 5;
    const uint8_t i = in.byte();
    if (kind == 0) { // released before, in this input
        if (freed.empty()) return;
        const uint8_t mode = in.byte();
        const host::Held &b = freed[i % freed.size()];
        return op_release(reinterpret_cast<uintptr_t>(b.ptr), mode % 4 != 0 ? b.type : pick_type(in));
    }
    if (kind == 1) return op_release(0, pick_type(in));
    if (kind == 4) { // inside a held block, at least 32 bytes in
        const uint8_t hi = in.byte();
        const uint8_t lo = in.byte();
        const uint8_t mode = in.byte();
        if (held.empty()) return;
        const host::Held b = held[i % held.size()];
        const int32_t size = host::block_size(b.ptr);
        if (size < 32) return;
        const uintptr_t at =
            reinterpret_cast<uintptr_t>(b.ptr) + 32 + (hi << 8 | lo) % static_cast<uint32_t>(size - 31);
        return op_release(at, mode % 2 != 0 ? b.type : pick_type(in));
    }
    // Foreign (bytes as given) or crafted (a header of our making) in the arena.
    const uint8_t mis = in.byte();
    unsigned char *front = arena[i % 32] + (mis % 4 == 3 ? mis / 4 % 16 : 0);
    if (kind == 2) {
        const uint8_t fill = in.byte();
        for (int k = 0; k < 32; ++k) front[k] = fill == 0xFF ? in.byte() : fill;
    } else {
        const uint8_t flags = in.byte();
        const uint8_t m = in.byte();
        const int32_t size = pick_size(in);
        const tavhandle type = pick_type(in);
        const tavblkhdr h{flags, {}, m % 4 != 0 ? TAV_BLK_MAGIC : TAV_BLK_MAGIC ^ (1u << m / 8), size, 0,
                          type,  0};
        std::memcpy(front, &h, sizeof h);
    }
    const uint8_t mode = in.byte();
    tavhandle passed;
    std::memcpy(&passed, front + offsetof(tavblkhdr, handle), sizeof passed);
    if (mode % 4 == 0) passed = pick_type(in);
    op_release(reinterpret_cast<uintptr_t>(front + sizeof(tavblkhdr)), passed);
}

// Opcodes (one byte, % 16): 0 group, 1-2 type, 3 pool, 4-6 alloc, 7-8 release
// a held block, 9-10 release anything else, 11-12 query, 13 table, 14 shutdown,
// 15 many allocations or releases at once. An opcode byte of 0xF0 and above
// makes a system allocation fail during the next call: the (byte - 0xEF)th.
void run_op(Input &in)
{
    const uint8_t code = in.byte();
    if (code >= 0xF0) host::fail_calloc(code - 0xEF);
    starved |= code >= 0xF0;
    const uint8_t op = code % 16;
    if (op == 0) {
        const char *name = pick_name(in);
        op_group(name, in.pick16(kBudgets));
    } else if (op <= 2) {
        const tavhandle g = pick_handle(in, TAV_KIND_GROUP);
        const char *name = pick_name(in);
        const int32_t defsize = pick_size(in);
        op_type(g, name, defsize, in.pick16(kBudgets));
    } else if (op == 3) {
        const int32_t size = pick_pool_size(in);
        const int32_t inc = in.pick16(kCounts);
        op_pool(size, inc, in.pick16(kCounts));
    } else if (op <= 6) {
        const tavhandle t = pick_type(in);
        op_alloc(t, pick_size(in));
    } else if (op <= 8) {
        release_picked(in);
    } else if (op <= 10) {
        release_other(in);
    } else if (op <= 12) {
        const uint8_t sel = in.byte();
        const uint32_t kind = sel % 13 < 4 ? TAV_KIND_GROUP : sel % 13 < 9 ? TAV_KIND_TYPE : TAV_KIND_POOL;
        const tavhandle h = pick_handle(in, kind);
        const char *name = pick_name(in);
        op_query(sel, h, name, pick_size(in));
    } else if (op == 13) {
        const uint8_t sel = in.byte();
        const char *name = sel & 128 ? nullptr : pick_name(in);
        op_table(sel, name, sel & 64 ? 0 : pick_size(in));
    } else if (op == 14) {
        op_shutdown();
    } else { // many at once: up to 63, or up to kMaxHeld, so that the library meets thousands
        const uint8_t n = in.byte();
        const int count = (n & 0x80) != 0 ? (n & 0x7E) * 32 : (n & 0x7E) / 2;
        if ((n & 1) != 0) {
            for (int k = 0; k < count && !held.empty(); ++k) op_release(uintptr_t(held[0].ptr), held[0].type);
        } else {
            const tavhandle t = pick_type(in);
            const int32_t size = pick_size(in) % 257; // small blocks
            for (int k = 0; k < count && held.size() < kMaxHeld && held_bytes < kMaxHeldBytes; ++k)
                op_alloc(t, size);
        }
    }
    host::fail_calloc_never();
}

// Blocks outlive a shutdown; records matching their handles take them back,
// so that no input leaks.
void finish_input()
{
    opname = "cleanup";
    op_shutdown();
    check_books();
    if (orphans.empty()) return;
    op_group("fuzz-cleanup", 0);
    uint32_t top = 0;
    for (const host::Held &b : orphans) top = std::max(top, static_cast<uint32_t>(b.type & TAV_INDEX_MASK));
    for (uint32_t t = 0; t <= top; ++t) op_type(0x01000000, ("cleanup-" + std::to_string(t)).c_str(), 0, 0);
    op_pool(kMaxBlock, 0, 0);
    for (const host::Held &b : orphans) expect(tavpoolfree(b.type, b.ptr) == 0, "orphan not taken back");
    orphans.clear();
    op_shutdown();
    check_books();
}

} // namespace

// Freed memory is handed out again at once, so the library often meets
// addresses it released before.
extern "C" const char *__asan_default_options() { return "quarantine_size_mb=0"; }

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Tables and messages go to standard output; libFuzzer reports on standard error.
    const int fd = open("/dev/null", O_WRONLY);
    if (fd >= 0) {
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in{data, data + size};
    opno = 0;
    opname = "start";
    freed.clear();
    check_books();
    for (opno = 1; opno <= kMaxOps && in.p < in.end; ++opno) {
        run_op(in);
        check_books();
    }
    finish_input();
    return 0;
}

#ifdef TAV_FUZZ_REPLAY
#include <fstream>
#include <iterator>

// Replays the input files named on the command line (the build lists the
// corpus and the regressions) through the harness, in one process.
int main(int argc, char **argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    for (int i = 1; i < argc; ++i) {
        std::ifstream s(argv[i], std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(s), {}};
        std::fprintf(stderr, "replaying %s (%zu bytes)\n", argv[i], bytes.size());
        if (!s || bytes.empty()) return 1;
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    return argc > 1 ? 0 : 1;
}
#endif
