// Coverage-guided fuzzer for libtav. The input is a program of calls:
// registrations (valid and invalid), allocations, releases of live, released,
// foreign, crafted and interior addresses with right and wrong handles,
// queries, tables and shutdowns. A small model kept here, which knows nothing
// of the library's insides, predicts every status code and counter; after each
// call the harness compares it with what the library reports through its
// functions and through tavnode, and aborts on the first difference.
// Built with TAV_FUZZ_REPLAY it is a plain program that replays input files.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <memory_resource>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "platform/zuno.h"
#include "tav.h"

struct tavnode tavnode;

namespace {
unsigned long announced = 0;
std::string announced_ns, announced_member;
} // namespace

extern "C" {

const char *zunoGetProcessName(void) { return "tavfuzz"; }

int zunoNamespaceAdd(const char *ns, const char *member, int)
{
    ++announced;
    announced_ns = ns;
    announced_member = member;
    return 0;
}

#if defined(__GLIBC__) && !(__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 38))
size_t strlcpy(char *dst, const char *src, size_t size)
{
    const size_t len = std::strlen(src);
    if (size > 0) {
        const size_t n = len < size - 1 ? len : size - 1;
        std::memcpy(dst, src, n);
        dst[n] = '\0';
    }
    return len;
}
#endif

} // extern "C"

namespace {

constexpr int kMaxOps = 400;
constexpr int32_t kMaxBlock = 65536;      // largest pool and largest request made
constexpr size_t kMaxLive = 4000;         // blocks out at once, at most
constexpr size_t kMaxLiveBytes = 4 << 20; // and their bytes
constexpr uint64_t kRemembered = 1000;    // releases the library is sure to remember
// Releases after which it has surely forgotten: its window follows the peak
// of live blocks, which stays below 8192 here (kMaxLive and kMaxOps).
constexpr uint64_t kForgotten = 8192;
constexpr uint32_t kTrace = 1024;

int opno;
const char *opname = "start";

[[noreturn]] void fail(const char *what, long long want, long long got)
{
    std::fprintf(stderr, "tav_fuzz: op %d (%s): %s: expected %lld (0x%llx), got %lld (0x%llx)\n", opno,
                 opname, what, want, static_cast<unsigned long long>(want), got,
                 static_cast<unsigned long long>(got));
    std::abort();
}

// One (name, expected, actual) of a check.
struct Field {
    const char *what;
    long long want, got;
    template <class A, class B> Field(const char *w, A a, B b)
        : what(w), want(static_cast<long long>(a)), got(static_cast<long long>(b))
    {
    }
};

void expect_all(std::initializer_list<Field> fields)
{
    for (const Field &f : fields)
        if (f.want != f.got) fail(f.what, f.want, f.got);
}

template <class A, class B> void expect(const char *what, A want, B got)
{
    expect_all({Field(what, want, got)});
}

void expect_name(const char *what, const std::string &want, const char *got)
{
    if (want != got) {
        std::fprintf(stderr, "tav_fuzz: op %d (%s): %s: expected \"%s\", got \"%s\"\n", opno, opname, what,
                     want.c_str(), got);
        std::abort();
    }
}

int32_t wrap(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

// ---- the model ----

struct Group {
    std::string name;
    int32_t bmax;
    uint32_t ntypes = 0;
    int32_t balloc = 0;
    uint64_t failcount = 0, bigcount = 0;
};

struct Type {
    std::string name;
    uint32_t gindex;
    int32_t defsize, bmax, pidx;
    int32_t balloc = 0;
    uint64_t failcount = 0;
    int32_t adopted = 0; // bytes charged back by blocks of an earlier registry
};

struct PerType {
    uint32_t alloced = 0, apeak = 0, asucc = 0, fsucc = 0;
};

struct Pool {
    int32_t size, inc, max;
    uint32_t alloced = 0, apeak = 0, asucc = 0, fsucc = 0, ffail = 0;
    int32_t free = 0;
    uint32_t adopted = 0; // blocks of an earlier registry released here
    std::vector<PerType> per = {};
};

struct Block {
    tavhandle handle; // as passed to tavpoolalloc, kept in the header
    int32_t size;     // block size in the header
    bool oversize;
    int gen;       // registry generation it was charged in
    uint32_t type; // type index charged
    size_t pos;    // in order
};

struct Released {
    uint64_t serial;
    bool oversize;
    tavhandle handle;
    bool again; // handed out again since: live, not released
};

std::vector<Group> groups;
std::vector<Type> types;
std::vector<Pool> pools;
int gen = 0;
std::unordered_map<uintptr_t, Block> live;
std::vector<uintptr_t> order; // live blocks, for picking
size_t live_bytes = 0;
std::vector<std::pair<uintptr_t, tavhandle>> freed_here; // released during this input, and their handles

// What the library remembers of released addresses lives for the process.
// An entry stays until its log slot is reused kForgotten releases later. Its
// nodes come from a pool that never gives memory back, so that inputs do not
// allocate more than they free and libFuzzer's leak check stays quiet.
std::pmr::unsynchronized_pool_resource node_pool;
std::pmr::unordered_map<uintptr_t, Released> released{&node_pool};
std::vector<std::pair<uintptr_t, uint64_t>> release_log(kForgotten);
uint64_t releases = 0;

uint64_t trace_base = 0, trace_events = 0; // events = since the start of this input
struct {
    uint32_t op, size;
    uintptr_t ptr;
} last_event;

alignas(64) unsigned char arena[32][96]; // foreign and crafted addresses

std::string stored(const char *name) { return std::string(name).substr(0, TAV_NAME_MAX); }

template <class R> int named(const std::vector<R> &records, const char *name)
{
    for (size_t i = 0; i < records.size(); ++i)
        if (records[i].name == stored(name)) return static_cast<int>(i);
    return -1;
}

int resolve(tavhandle h, uint32_t kind, size_t count)
{
    if ((h & 0xFF000000u) != (tavhandle{kind} << 24)) return -1;
    const uint64_t i = h & 0xFFFFFF;
    return i < count ? static_cast<int>(i) : -1;
}

// The smallest pool whose size is at least s.
int covering(int32_t s)
{
    int best = -1;
    for (size_t i = 0; i < pools.size(); ++i)
        if (s <= pools[i].size && (best < 0 || pools[i].size < pools[best].size)) best = static_cast<int>(i);
    return best;
}

tavblkhdr header(uint8_t flags, uint32_t magic, int32_t size, tavhandle handle)
{
    return tavblkhdr{flags, {}, magic, size, 0, handle, 0};
}

// ---- checks of the library against the model ----

// Field f of the model's record m and the library's record r.
#define SAME(f) Field(#f, m.f, r.f)

void check_state()
{
    expect_all({Field("ngroups", groups.size(), tavnode.ngroups),
                Field("ntypes", types.size(), tavnode.ntypes), Field("npools", pools.size(), tavnode.npools),
                Field("groups null when empty", groups.empty(), tavnode.groups == nullptr),
                Field("types null when empty", types.empty(), tavnode.types == nullptr),
                Field("pools null when empty", pools.empty(), tavnode.pools == nullptr)});

    // Bytes charged: the live blocks of this registry, less what blocks of an
    // earlier one gave back.
    std::vector<int32_t> tbytes(types.size()), gbytes(groups.size());
    std::vector<uint32_t> pblocks(pools.size());
    for (const auto &[addr, b] : live) {
        const auto *h = reinterpret_cast<const tavblkhdr *>(addr) - 1;
        expect_all({Field("live header flags", b.oversize ? TAV_BLK_OVERSIZE : 0, h->flags),
                    Field("live header magic", TAV_BLK_MAGIC, h->magic),
                    Field("live header size", b.size, h->size),
                    Field("live header handle", b.handle, h->handle)});
        if (b.gen != gen) continue;
        tbytes[b.type] = wrap(int64_t{tbytes[b.type]} + b.size);
        if (!b.oversize) ++pblocks[covering(b.size)];
    }
    for (size_t t = 0; t < types.size(); ++t) {
        tbytes[t] = wrap(int64_t{tbytes[t]} - types[t].adopted);
        gbytes[types[t].gindex] = wrap(int64_t{gbytes[types[t].gindex]} + tbytes[t]);
    }

    for (size_t i = 0; i < groups.size(); ++i) {
        const Group &m = groups[i];
        const tavgroup &r = tavnode.groups[i];
        expect_name("group name", m.name, r.name);
        expect_all({Field("group inuse", 1, r.inuse), Field("group index", i, r.index), SAME(ntypes),
                    SAME(bmax), SAME(balloc), SAME(failcount), SAME(bigcount),
                    Field("group balloc = its blocks", gbytes[i], r.balloc)});
    }
    for (size_t i = 0; i < types.size(); ++i) {
        const Type &m = types[i];
        const tavtype &r = tavnode.types[i];
        expect_name("type name", m.name, r.name);
        expect_all({Field("type inuse", 1, r.inuse), Field("type index", i, r.index), SAME(gindex),
                    SAME(defsize), SAME(bmax), SAME(pidx), SAME(balloc), SAME(failcount),
                    Field("type balloc = its blocks", tbytes[i], r.balloc)});
    }
    for (size_t i = 0; i < pools.size(); ++i) {
        const Pool &m = pools[i];
        const tavpool &r = tavnode.pools[i];
        expect_all({Field("pool inuse", 1, r.inuse), Field("pool index", i, r.index), SAME(size),
                    SAME(alloced), SAME(apeak), SAME(free), SAME(asucc), SAME(fsucc), SAME(ffail),
                    Field("incblks", m.inc, r.incblks), Field("maxblks", m.max, r.maxblks),
                    Field("csize", 0, r.csize), Field("afail", 0, r.afail),
                    Field("pool alloced = its blocks", pblocks[i] - m.adopted, r.alloced),
                    Field("pool free = -alloced", -static_cast<int32_t>(r.alloced), r.free)});
        for (uint32_t c : r.chunkstats) expect("chunkstats", 0, c);
        uint32_t sum = 0;
        const tavcounters &c = r.typestats;
        for (size_t t = 0; t < types.size(); ++t) {
            const PerType &w = m.per[t];
            expect_all({Field("per-type alloced", w.alloced, c.alloced[t]),
                        Field("per-type apeak", w.apeak, c.apeak[t]),
                        Field("per-type asucc", w.asucc, c.asucc[t]),
                        Field("per-type fsucc", w.fsucc, c.fsucc[t]),
                        Field("per-type afail and ffail", 0, c.afail[t] | c.ffail[t])});
            sum += c.alloced[t];
        }
        if (!types.empty()) expect("per-type alloced sum", r.alloced, sum);
    }

    // The size-class list: every pool once, ascending.
    size_t n = 0;
    int64_t prev = INT64_MIN;
    for (const tavsizenode *s = tavnode.sizelist; s != nullptr; s = s->next, ++n) {
        if (n >= pools.size())
            fail("size list longer than the pools", static_cast<long long>(pools.size()), n + 1);
        if (s->bsize <= prev) fail("size list not ascending", prev, s->bsize);
        prev = s->bsize;
        expect("size node pindex < npools", 1, s->pindex < pools.size());
        expect("size node bsize", pools[s->pindex].size, s->bsize);
    }
    expect("size list length", pools.size(), n);

    // The trace ring: one entry per successful allocation and pooled release.
    if (tavnode.trace == nullptr) return expect("trace events without a ring", 0, trace_events);
    const uint64_t total = trace_base + trace_events;
    expect_all({Field("tracesize", kTrace, tavnode.tracesize),
                Field("tracenext", total % kTrace, tavnode.tracenext),
                Field("tracewraps", total / kTrace, tavnode.tracewraps)});
    if (trace_events == 0) return;
    const tavtrace &e = tavnode.trace[(total - 1) % kTrace];
    expect_all({Field("trace op", last_event.op, e.op), Field("trace size", last_event.size, e.size),
                Field("trace ptr", last_event.ptr, reinterpret_cast<uintptr_t>(e.ptr)),
                Field("trace caller set", 1, e.caller != nullptr)});
}
#undef SAME

// ---- the calls, each predicted by the model ----

void op_group(const char *name, int32_t bmax)
{
    opname = "tavgroupregister";
    tavhandle out = ~tavhandle{0};
    const int32_t rc = tavgroupregister(name, bmax, &out);
    if (named(groups, name) >= 0)
        return expect_all({{"status", TAV_GROUP_EXISTS, rc}, {"out handle", 0, out}});
    expect_all({{"status", TAV_OK, rc}, {"out handle", 0x01000000u + groups.size(), out}});
    groups.push_back({stored(name), bmax});
    expect("trace ring created", 1, tavnode.trace != nullptr);
}

void op_type(tavhandle group, const char *name, int32_t defsize, int32_t bmax)
{
    opname = "tavtyperegister";
    tavhandle out = ~tavhandle{0};
    const unsigned long before = announced;
    const int32_t rc = tavtyperegister(group, name, defsize, bmax, &out);
    const int g = resolve(group, TAV_KIND_GROUP, groups.size());
    const int32_t want = g < 0                                          ? TAV_TYPE_BADGROUP
                         : bmax != 0 && bmax < defsize                  ? TAV_TYPE_BUDGET_BELOW_DEFSIZE
                         : groups[g].bmax != 0 && groups[g].bmax < bmax ? TAV_TYPE_BUDGET_ABOVE_GROUP
                         : named(types, name) >= 0                      ? TAV_TYPE_EXISTS
                                                                        : TAV_OK;
    expect("status", want, rc);
    if (want != TAV_OK) return expect_all({{"out handle", 0, out}, {"no announcement", before, announced}});
    expect_all({{"out handle", 0x02000000u + types.size(), out}, {"announcements", before + 1, announced}});
    types.push_back(
        {stored(name), static_cast<uint32_t>(g), defsize, bmax, defsize == 0 ? -1 : covering(defsize)});
    for (Pool &pool : pools) pool.per.resize(types.size());
    ++groups[g].ntypes;
    expect_name("announced namespace", groups[g].name + "TavMemType", announced_ns.c_str());
    expect_name("announced member", name, announced_member.c_str());
}

void op_pool(int32_t size, int32_t inc, int32_t max)
{
    opname = "tavpoolregister";
    tavhandle out = ~tavhandle{0};
    const int32_t rc = tavpoolregister(size, inc, max, &out);
    const int32_t want = size <= 0 || (size & 3) != 0                      ? TAV_POOL_BADSIZE
                         : inc > max                                       ? TAV_POOL_INC_ABOVE_MAX
                         : inc != 0 && max != 0 && int64_t{max} % inc != 0 ? TAV_POOL_MAX_NOT_MULTIPLE
                                                                           : TAV_OK;
    expect("status", want, rc);
    if (want != TAV_OK) return expect("out handle", 0, out);
    for (size_t i = 0; i < pools.size(); ++i)
        if (pools[i].size == size) return expect("out handle of the existing pool", 0x03000000u + i, out);
    const int32_t index = static_cast<int32_t>(pools.size());
    expect("out handle", 0x03000000u + pools.size(), out);
    for (Type &t : types)
        if (t.defsize <= size && (t.pidx == -1 || size < pools[t.pidx].size)) t.pidx = index;
    pools.push_back(Pool{size, inc, max});
    pools.back().per.resize(types.size());
}

void op_alloc(tavhandle type, int32_t size)
{
    opname = "tavpoolalloc";
    void *const got = tavpoolalloc(type, size);
    const auto addr = reinterpret_cast<uintptr_t>(got);
    const int t = resolve(type, TAV_KIND_TYPE, types.size());
    const int p = t < 0 ? -1 : size != 0 ? covering(size) : types[t].pidx;
    const bool oversize = t >= 0 && p < 0 && size > 0;
    if (p < 0 && !oversize) return expect("refused", 0, addr);
    Type &T = types[t];
    Group &G = groups[T.gindex];
    if (oversize) ++G.bigcount;
    const int32_t bsize = oversize ? size : pools[p].size;
    const bool over_group = G.bmax != 0 && G.bmax < wrap(int64_t{bsize} + G.balloc);
    const bool over_type = !over_group && T.bmax != 0 && T.bmax < wrap(int64_t{bsize} + T.balloc);
    G.failcount += over_group;
    T.failcount += over_type;
    if (over_group || over_type) return expect("refused by a budget", 0, addr);
    if (got == nullptr) fail("allocation refused", 1, 0);
    if (live.count(addr) != 0) fail("address handed out twice", 0, static_cast<long long>(addr));
    const auto *h = static_cast<const tavblkhdr *>(got) - 1;
    expect("header reserved", 0,
           h->reserved1[0] | h->reserved1[1] | h->reserved1[2] | h->reserved2 | h->reserved3);
    const auto *data = static_cast<const unsigned char *>(got);
    for (int32_t i = 0; i < bsize; i += std::max<int32_t>(1, bsize / 16)) expect("zero-filled", 0, data[i]);
    live[addr] = {type, bsize, oversize, gen, static_cast<uint32_t>(t), order.size()};
    order.push_back(addr);
    live_bytes += static_cast<size_t>(bsize);
    if (auto it = released.find(addr); it != released.end()) it->second.again = true;
    for (int32_t *charged : {&G.balloc, &T.balloc}) *charged = wrap(int64_t{*charged} + bsize);
    if (!oversize) {
        Pool &P = pools[p];
        ++P.asucc;
        if (++P.alloced > P.apeak) ++P.apeak;
        --P.free;
        PerType &c = P.per[t];
        ++c.asucc;
        if (++c.alloced > c.apeak) c.apeak = c.alloced;
    }
    ++trace_events;
    last_event = {TAV_TRACE_ALLOC, static_cast<uint32_t>(bsize), addr};
}

struct Verdict {
    int32_t code;
    int pool = -1, type = -1;
};

// The release checks on a header, in their order, with their side effects.
Verdict judge(const tavblkhdr &h, tavhandle passed)
{
    if (h.magic != TAV_BLK_MAGIC) return {TAV_FREE_BADHEADER};
    if (h.handle != passed) return {TAV_FREE_MISMATCH};
    int p = -1;
    if ((h.flags & TAV_BLK_OVERSIZE) == 0 && (h.size == 0 || (p = covering(h.size)) < 0))
        return {TAV_FREE_MISMATCH};
    const int t = resolve(h.handle, TAV_KIND_TYPE, types.size());
    if (t < 0) {
        if (p >= 0) ++pools[p].ffail;
        return {TAV_FREE_DEAD};
    }
    if ((h.flags & TAV_BLK_FREED) != 0) return {TAV_FREE_DEAD}; // and the double-free message
    return {TAV_OK, p, t};
}

void release_live(uintptr_t addr, tavhandle passed)
{
    const Block b = live.at(addr);
    const Verdict v =
        judge(header(b.oversize ? TAV_BLK_OVERSIZE : 0, TAV_BLK_MAGIC, b.size, b.handle), passed);
    expect("status", v.code, tavpoolfree(passed, reinterpret_cast<void *>(addr)));
    if (v.code != TAV_OK) return;

    Type &T = types[v.type];
    Group &G = groups[T.gindex];
    const int32_t charge = b.oversize ? b.size : pools[v.pool].size;
    for (int32_t *charged : {&G.balloc, &T.balloc}) *charged = wrap(int64_t{*charged} - charge);
    if (!b.oversize) {
        Pool &P = pools[v.pool];
        --P.alloced;
        ++P.free;
        ++P.fsucc;
        ++P.per[v.type].fsucc;
        --P.per[v.type].alloced;
        if (b.gen != gen) ++P.adopted;
        ++trace_events;
        last_event = {TAV_TRACE_FREE, 0, addr};
    }
    if (b.gen != gen) T.adopted = wrap(int64_t{T.adopted} + charge);
    live.erase(addr);
    live_bytes -= static_cast<size_t>(b.size);
    order[b.pos] = order.back();
    order.pop_back();
    if (b.pos < order.size()) live.at(order[b.pos]).pos = b.pos;
    freed_here.emplace_back(addr, b.handle);
    auto &slot = release_log[++releases % kForgotten];
    if (auto it = released.find(slot.first); it != released.end() && it->second.serial == slot.second)
        released.erase(it);
    slot = {addr, releases};
    released[addr] = {releases, b.oversize, b.oversize ? b.handle : 0, false};
}

// Releases any address: live blocks for real; released ones as the library
// remembers them; anything else by the header in front, never released, when
// the caller knows those 32 bytes are readable.
void op_release(uintptr_t addr, tavhandle passed, bool readable = false)
{
    opname = "tavpoolfree";
    if (addr == 0) return expect("status", TAV_FREE_BADHEADER, tavpoolfree(passed, nullptr));
    if (live.count(addr) != 0) return release_live(addr, passed);
    tavblkhdr h{};
    if (auto it = released.find(addr); it != released.end() && !it->second.again) {
        // Beyond what the library is sure to remember, the answer is not known.
        if (releases - it->second.serial >= kRemembered) return;
        if (it->second.oversize)
            h = header(TAV_BLK_OVERSIZE | TAV_BLK_FREED, TAV_BLK_MAGIC, 0, it->second.handle);
    } else if (readable) {
        std::memcpy(&h, reinterpret_cast<const void *>(addr - sizeof h), sizeof h);
    } else {
        return; // released so long ago that the model has forgotten it too
    }
    const Verdict v = judge(h, passed);
    expect("status", v.code == TAV_OK ? TAV_FREE_BADHEADER : v.code,
           tavpoolfree(passed, reinterpret_cast<void *>(addr)));
}

void op_shutdown()
{
    opname = "tavshutdown";
    expect("status", 0, tavshutdown());
    expect("size list emptied", 1, tavnode.sizelist == nullptr);
    groups.clear();
    types.clear();
    pools.clear();
    ++gen; // live blocks stay the caller's, charged nowhere
}

// One of the 13 queries, picked by sel % 13. With bit 7 of sel set, one of
// its pointer arguments (bits 4 to 6) is null: -1, and nothing is stored.
// Every output starts as a marker; the model says what the call leaves there.
void op_query(unsigned sel, tavhandle h, const char *name, int32_t size)
{
    static const unsigned kPointers[13] = {2, 1, 2, 2, 1, 2, 1, 4, 2, 1, 1, 3, 7};
    const unsigned q = sel % 13;
    opname = "query";
    const bool null = (sel & 0x80) != 0 && q != 4; // tavtypenametoindex takes no null pointers
    auto P = [&](unsigned n, auto *p) { return null && (sel >> 4 & 7) % kPointers[q] == n ? nullptr : p; };
    char s1[TAV_NAME_BUF] = "?", s2[TAV_NAME_BUF] = "?";
    int32_t v[3] = {7, 7, 7};
    uint32_t u[6] = {7, 7, 7, 7, 7, 7};
    tavhandle out = 7;
    int32_t rc = 0;
    if (q == 0) rc = tavgroupnametohandle(P(0, name), P(1, &out));
    if (q == 1) rc = tavgrouphandletoname(h, P(0, s1));
    if (q == 2) rc = tavgroupgetconfig(h, P(0, s1), P(1, &v[0]));
    if (q == 3) rc = tavgroupgetstatistics(h, P(0, &v[0]), P(1, &u[0]));
    if (q == 4) rc = tavtypenametoindex(name, &u[0]);
    if (q == 5) rc = tavtypenametohandle(P(0, name), P(1, &out));
    if (q == 6) rc = tavtypehandletoname(h, P(0, s1));
    if (q == 7) rc = tavtypegetconfig(h, P(0, s1), P(1, &v[0]), P(2, &v[1]), P(3, s2));
    if (q == 8) rc = tavtypegetstatistics(h, P(0, &v[0]), P(1, &u[0]));
    if (q == 9) rc = tavpoolsizetohandle(size, P(0, &out));
    if (q == 10) rc = tavpoolhandletosize(h, P(0, &v[0]));
    if (q == 11) rc = tavpoolgetconfig(h, P(0, &v[0]), P(1, &v[1]), P(2, &v[2]));
    if (q == 12)
        rc = tavpoolgetstatistics(h, P(0, &v[0]), P(1, &u[0]), P(2, &u[1]), P(3, &u[2]), P(4, &u[3]),
                                  P(5, &u[4]), P(6, &u[5]));

    const int g = resolve(h, TAV_KIND_GROUP, groups.size()), t = resolve(h, TAV_KIND_TYPE, types.size());
    const int p = resolve(h, TAV_KIND_POOL, pools.size());
    int ps = -1;
    for (size_t i = 0; i < pools.size(); ++i)
        if (pools[i].size == size) ps = static_cast<int>(i);
    const int which[13] = {
        named(groups, name), g, g, g, named(types, name), named(types, name), t, t, t, ps, p, p, p};
    const int found = which[q];
    // tavtypenametoindex answers -1 for an unknown name.
    expect("status",
           q == 4      ? (found < 0 ? -1 : TAV_OK)
           : null      ? TAV_E_NULL
           : found < 0 ? TAV_E_NOTFOUND
           : q >= 10   ? TAV_POOL_FOUND
                       : TAV_OK,
           rc);
    std::string ws1 = "?", ws2 = "?";
    long long wv[3] = {7, 7, 7}, wu[6] = {7, 7, 7, 7, 7, 7}, wout = 7;
    // The handle look-ups store 0 when nothing matches; so does the index look-up.
    if (!null && (q == 0 || q == 5 || q == 9))
        wout = found < 0 ? 0 : (tavhandle{q == 0 ? 1u : q == 5 ? 2u : 3u} << 24) + found;
    if (q == 4) wu[0] = found < 0 ? 0 : found;
    if (!null && found >= 0) {
        if (q == 1 || q == 2) ws1 = groups[g].name;
        if (q == 2) wv[0] = groups[g].bmax;
        if (q == 3) wv[0] = groups[g].balloc, wu[0] = static_cast<uint32_t>(groups[g].failcount);
        if (q == 6 || q == 7) ws1 = types[t].name;
        if (q == 7) wv[0] = types[t].defsize, wv[1] = types[t].bmax, ws2 = groups[types[t].gindex].name;
        if (q == 8) wv[0] = types[t].balloc, wu[0] = static_cast<uint32_t>(types[t].failcount);
        if (q == 10 || q == 11) wv[0] = pools[p].size;
        if (q == 11) wv[1] = pools[p].inc, wv[2] = pools[p].max;
        if (q == 12) {
            const Pool &m = pools[p];
            const uint32_t stats[6] = {m.alloced, m.apeak, m.asucc, m.fsucc, 0, m.ffail};
            wv[0] = m.free;
            std::copy(stats, stats + 6, wu);
        }
    }
    expect_name("name", ws1.substr(0, TAV_NAME_BUF - 1), s1);
    expect_name("group name", ws2.substr(0, TAV_NAME_BUF - 1), s2);
    expect("out", wout, out);
    for (int i = 0; i < 3; ++i) expect("value", wv[i], v[i]);
    for (int i = 0; i < 6; ++i) expect("statistics", wu[i], u[i]);
}

// The tables print to standard output (discarded); only their results count.
void op_table(unsigned sel, const char *name, int32_t size)
{
    opname = "table";
    const unsigned q = sel % 9;
    const bool known = name != nullptr && named(types, name) >= 0;
    if (q == 0) expect("status", 0, tavgroupdumpinfo(name));
    if (q == 1) expect("status", 0, tavtypedumpinfo(name));
    if (q == 2) expect("status", 0, tavpooldumpinfo(size));
    if (q == 3) expect("status", 0, tavpooldumplistinfo(size));
    if (q == 4) expect("status", 0, tavpooldumpblockstats(size));
    if (q == 5) expect("status", 0, tavpooldumpchunkstats(size));
    const int32_t detailed = name != nullptr && !known         ? TAV_DUMP_NOTYPE
                             : size == 0 || covering(size) < 0 ? TAV_DUMP_NOCLASS
                                                               : 0;
    if (q == 6) expect("status", detailed, tavpooldumpblockstatsdetailed(size, name));
    if (q == 7) expect("status", known ? 0 : TAV_DUMP_NOTYPE, tavpooldumpblockstatsfortype(name, size));
    if (q == 8) expect("status", 0, tavpooldumpchunkinfo());
}

// ---- decoding an input into calls ----
// Every value is read in its own statement (or as the only read of a call's
// arguments): argument evaluation order is unspecified, and a replay built by
// another compiler must read the same calls.

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
        const int32_t s = pools.empty() ? 32 : pools[i % pools.size()].size;
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
    const size_t count = kind == TAV_KIND_GROUP  ? groups.size()
                         : kind == TAV_KIND_TYPE ? types.size()
                                                 : pools.size();
    const uint8_t b = in.byte();
    const tavhandle index = (b / 8u) % (count + 1);
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
    if (order.empty()) return op_release(0, 0x02000000);
    const uintptr_t a = order[i % order.size()];
    tavhandle h = live.at(a).handle;
    if (mode % 8 == 5) h ^= tavhandle{1} << 32;
    if (mode % 8 >= 6) h = pick_type(in);
    op_release(a, h);
}

void release_other(Input &in)
{
    const uint8_t kind = in.byte() % 5;
    const uint8_t i = in.byte();
    if (kind == 0) { // released before, in this input
        if (freed_here.empty()) return;
        const uint8_t mode = in.byte();
        const size_t k = i % freed_here.size();
        return op_release(freed_here[k].first, mode % 4 != 0 ? freed_here[k].second : pick_type(in));
    }
    if (kind == 1) return op_release(0, pick_type(in));
    if (kind == 4) { // inside a live block, at least 32 bytes in
        const uint8_t hi = in.byte();
        const uint8_t lo = in.byte();
        const uint8_t mode = in.byte();
        if (order.empty()) return;
        const uintptr_t a = order[i % order.size()];
        const Block &b = live.at(a);
        if (b.size < 32) return;
        const uintptr_t at = a + 32 + (hi << 8 | lo) % static_cast<uint32_t>(b.size - 31);
        return op_release(at, mode % 2 != 0 ? b.handle : pick_type(in), true);
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
        const tavblkhdr h =
            header(flags, m % 4 != 0 ? TAV_BLK_MAGIC : TAV_BLK_MAGIC ^ (1u << m / 8), size, pick_type(in));
        std::memcpy(front, &h, sizeof h);
    }
    const uint8_t mode = in.byte();
    tavhandle passed;
    std::memcpy(&passed, front + offsetof(tavblkhdr, handle), sizeof passed);
    if (mode % 4 == 0) passed = pick_type(in);
    op_release(reinterpret_cast<uintptr_t>(front + sizeof(tavblkhdr)), passed, true);
}

// Opcodes (one byte, % 16): 0 group, 1-2 type, 3 pool, 4-6 alloc, 7-8 release
// a live block, 9-10 release anything else, 11-12 query, 13 table, 14 shutdown,
// 15 many allocations or releases at once.
void run_op(Input &in)
{
    const uint8_t op = in.byte() % 16;
    if (op == 0) {
        const char *name = pick_name(in);
        return op_group(name, in.pick16(kBudgets));
    }
    if (op <= 2) {
        const tavhandle g = pick_handle(in, TAV_KIND_GROUP);
        const char *name = pick_name(in);
        const int32_t defsize = pick_size(in);
        return op_type(g, name, defsize, in.pick16(kBudgets));
    }
    if (op == 3) {
        const int32_t size = pick_pool_size(in);
        const int32_t inc = in.pick16(kCounts);
        return op_pool(size, inc, in.pick16(kCounts));
    }
    if (op <= 6) {
        const tavhandle t = pick_type(in);
        return op_alloc(t, pick_size(in));
    }
    if (op <= 8) return release_picked(in);
    if (op <= 10) return release_other(in);
    if (op <= 12) {
        const uint8_t sel = in.byte();
        const uint32_t kind = sel % 13 < 4 ? TAV_KIND_GROUP : sel % 13 < 9 ? TAV_KIND_TYPE : TAV_KIND_POOL;
        const tavhandle h = pick_handle(in, kind);
        const char *name = pick_name(in);
        return op_query(sel, h, name, pick_size(in));
    }
    if (op == 13) {
        const uint8_t sel = in.byte();
        const char *name = sel & 128 ? nullptr : pick_name(in);
        return op_table(sel, name, sel & 64 ? 0 : pick_size(in));
    }
    if (op == 14) return op_shutdown();
    // Many at once: up to 63, or up to kMaxLive, so that the library meets thousands.
    const uint8_t n = in.byte();
    const int count = (n & 0x80) != 0 ? (n & 0x7E) * 32 : (n & 0x7E) / 2;
    if ((n & 1) != 0) {
        for (int k = 0; k < count && !order.empty(); ++k)
            op_release(order.front(), live.at(order.front()).handle);
        return;
    }
    const tavhandle t = pick_type(in);
    const int32_t size = pick_size(in) % 257; // small blocks
    for (int k = 0; k < count && live.size() < kMaxLive && live_bytes < kMaxLiveBytes; ++k) op_alloc(t, size);
}

// Blocks outlive a shutdown; records matching their handles take them back.
void finish_input()
{
    opname = "cleanup";
    op_shutdown();
    check_state();
    if (live.empty()) return;
    op_group("fuzz-cleanup", 0);
    uint32_t top = 0;
    for (const auto &[addr, b] : live) top = std::max(top, static_cast<uint32_t>(b.handle & 0xFFFFFF));
    for (uint32_t t = 0; t <= top; ++t) op_type(0x01000000, ("cleanup-" + std::to_string(t)).c_str(), 0, 0);
    op_pool(kMaxBlock, 0, 0);
    check_state();
    while (!order.empty()) {
        const uintptr_t a = order.back();
        op_release(a, live.at(a).handle);
        if (live.count(a) != 0) fail("block taken back after shutdown", 0, -1);
        if (order.size() % 64 == 0) check_state();
    }
    op_shutdown();
    check_state();
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
    // Start in the steady state, every log slot taken (by addresses no block
    // has), so that each release frees the entry it replaces.
    released.reserve(2 * kForgotten);
    for (releases = 1; releases <= kForgotten; ++releases) {
        release_log[releases % kForgotten] = {releases, releases};
        released[releases] = {releases, false, 0, false};
    }
    --releases;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in{data, data + size};
    opno = 0;
    opname = "start";
    trace_base = tavnode.trace == nullptr ? 0 : tavnode.tracewraps * kTrace + tavnode.tracenext;
    trace_events = 0;
    freed_here.clear();
    check_state();
    for (opno = 1; opno <= kMaxOps && in.p < in.end; ++opno) {
        run_op(in);
        check_state();
    }
    finish_input();
    return 0;
}

#ifdef TAV_FUZZ_REPLAY
#include <filesystem>
#include <fstream>
#include <iterator>

// Replays every file named, and every file of every directory named, in name
// order, through the harness in one process; files ending in .md are notes.
int main(int argc, char **argv)
{
    namespace fs = std::filesystem;
    LLVMFuzzerInitialize(&argc, &argv);
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<fs::path> files;
        if (!fs::is_directory(argv[i]))
            files.emplace_back(argv[i]);
        else
            for (const auto &e : fs::directory_iterator(argv[i]))
                if (e.is_regular_file() && e.path().extension() != ".md") files.push_back(e.path());
        std::sort(files.begin(), files.end());
        for (const fs::path &f : files) {
            std::ifstream s(f, std::ios::binary);
            if (!s) {
                std::fprintf(stderr, "tav_fuzz_replay: cannot read %s\n", f.c_str());
                return 1;
            }
            const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(s), {}};
            std::fprintf(stderr, "replaying %s (%zu bytes)\n", f.c_str(), bytes.size());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++replayed;
        }
    }
    std::fprintf(stderr, "replayed %d inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}
#endif
