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

int zunoNamespaceAdd(const char *ns, const char *member, int arg)
{
    (void)arg;
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
const bool verbose = std::getenv("TAV_FUZZ_VERBOSE") != nullptr;

// With TAV_FUZZ_VERBOSE set, every call is listed on standard error.
#define note(...)                                                                                            \
    do {                                                                                                     \
        if (verbose) {                                                                                       \
            std::fprintf(stderr, "%3d ", opno);                                                              \
            std::fprintf(stderr, __VA_ARGS__);                                                               \
            std::fputc('\n', stderr);                                                                        \
        }                                                                                                    \
    } while (0)

[[noreturn]] void fail(const char *what, long long want, long long got)
{
    std::fprintf(stderr, "tav_fuzz: op %d (%s): %s: expected %lld (0x%llx), got %lld (0x%llx)\n", opno,
                 opname, what, want, static_cast<unsigned long long>(want), got,
                 static_cast<unsigned long long>(got));
    std::abort();
}

template <class A, class B> void expect(const char *what, A want, B got)
{
    if (static_cast<long long>(want) != static_cast<long long>(got))
        fail(what, static_cast<long long>(want), static_cast<long long>(got));
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
    std::vector<PerType> per;
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
std::vector<uintptr_t> freed_here;    // released during this input
std::vector<tavhandle> freed_handles; // and the handles they had

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

void record_event(uint32_t op, uint32_t size, uintptr_t ptr)
{
    ++trace_events;
    last_event = {op, size, ptr};
}

// ---- checks of the library against the model ----

void check_state()
{
    expect("ngroups", groups.size(), tavnode.ngroups);
    expect("ntypes", types.size(), tavnode.ntypes);
    expect("npools", pools.size(), tavnode.npools);
    expect("groups null when empty", groups.empty(), tavnode.groups == nullptr);
    expect("types null when empty", types.empty(), tavnode.types == nullptr);
    expect("pools null when empty", pools.empty(), tavnode.pools == nullptr);

    // Bytes charged: the live blocks of this registry, less what blocks of an
    // earlier one gave back.
    std::vector<int32_t> tbytes(types.size()), gbytes(groups.size());
    std::vector<uint32_t> pblocks(pools.size());
    for (const auto &[addr, b] : live) {
        const auto *h = reinterpret_cast<const tavblkhdr *>(addr) - 1;
        expect("live header flags", b.oversize ? TAV_BLK_OVERSIZE : 0, h->flags);
        expect("live header magic", TAV_BLK_MAGIC, h->magic);
        expect("live header size", b.size, h->size);
        expect("live header handle", b.handle, h->handle);
        if (b.gen != gen) continue;
        tbytes[b.type] = wrap(int64_t{tbytes[b.type]} + b.size);
        if (!b.oversize) ++pblocks[covering(b.size)];
    }
    for (size_t t = 0; t < types.size(); ++t) {
        tbytes[t] = wrap(int64_t{tbytes[t]} - types[t].adopted);
        gbytes[types[t].gindex] = wrap(int64_t{gbytes[types[t].gindex]} + tbytes[t]);
    }

// Field f of the model's record m and the library's record r agree.
#define SAME(f) expect(#f, m.f, r.f)
    for (size_t i = 0; i < groups.size(); ++i) {
        const Group &m = groups[i];
        const tavgroup &r = tavnode.groups[i];
        expect("group inuse", 1, r.inuse), expect("group index", i, r.index),
            expect_name("group name", m.name, r.name);
        SAME(ntypes), SAME(bmax), SAME(balloc), SAME(failcount), SAME(bigcount);
        expect("group balloc = its blocks", gbytes[i], r.balloc);
    }
    for (size_t i = 0; i < types.size(); ++i) {
        const Type &m = types[i];
        const tavtype &r = tavnode.types[i];
        expect("type inuse", 1, r.inuse), expect("type index", i, r.index),
            expect_name("type name", m.name, r.name);
        SAME(gindex), SAME(defsize), SAME(bmax), SAME(pidx), SAME(balloc), SAME(failcount);
        expect("type balloc = its blocks", tbytes[i], r.balloc);
    }
    for (size_t i = 0; i < pools.size(); ++i) {
        const Pool &m = pools[i];
        const tavpool &r = tavnode.pools[i];
        expect("pool inuse", 1, r.inuse), expect("pool index", i, r.index);
        SAME(size), SAME(alloced), SAME(apeak), SAME(free), SAME(asucc), SAME(fsucc), SAME(ffail);
        expect("incblks", m.inc, r.incblks), expect("maxblks", m.max, r.maxblks), expect("csize", 0, r.csize);
        expect("afail", 0, r.afail);
        expect("pool alloced = its blocks", pblocks[i] - m.adopted, r.alloced);
        expect("pool free = -alloced", -static_cast<int32_t>(r.alloced), r.free);
        for (uint32_t c : r.chunkstats) expect("chunkstats", 0, c);
        uint32_t sum = 0;
        const tavcounters &c = r.typestats;
        for (size_t t = 0; t < types.size(); ++t) {
            expect("per-type alloced", m.per[t].alloced, c.alloced[t]);
            expect("per-type apeak", m.per[t].apeak, c.apeak[t]);
            expect("per-type asucc", m.per[t].asucc, c.asucc[t]);
            expect("per-type fsucc", m.per[t].fsucc, c.fsucc[t]);
            expect("per-type afail and ffail", 0, c.afail[t] | c.ffail[t]);
            sum += c.alloced[t];
        }
        if (!types.empty()) expect("per-type alloced sum", r.alloced, sum);
    }
#undef SAME

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
    if (tavnode.trace != nullptr) {
        expect("tracesize", kTrace, tavnode.tracesize);
        const uint64_t total = trace_base + trace_events;
        expect("tracenext", total % kTrace, tavnode.tracenext);
        expect("tracewraps", total / kTrace, tavnode.tracewraps);
        if (trace_events > 0) {
            const tavtrace &e = tavnode.trace[(total - 1) % kTrace];
            expect("trace op", last_event.op, e.op);
            expect("trace size", last_event.size, e.size);
            expect("trace ptr", last_event.ptr, reinterpret_cast<uintptr_t>(e.ptr));
            expect("trace caller set", 1, e.caller != nullptr);
        }
    } else {
        expect("trace events without a ring", 0, trace_events);
    }
}

// ---- the calls, each predicted by the model ----

void op_group(const char *name, int32_t bmax)
{
    note("group \"%s\" bmax %d", name, bmax);
    opname = "tavgroupregister";
    tavhandle out = ~tavhandle{0};
    const int32_t rc = tavgroupregister(name, bmax, &out);
    for (const Group &g : groups)
        if (g.name == stored(name)) {
            expect("status", TAV_GROUP_EXISTS, rc);
            expect("out handle", 0, out);
            return;
        }
    expect("status", TAV_OK, rc);
    expect("out handle", 0x01000000u + groups.size(), out);
    groups.push_back({stored(name), bmax});
    expect("trace ring created", 1, tavnode.trace != nullptr);
}

void op_type(tavhandle group, const char *name, int32_t defsize, int32_t bmax)
{
    note("type group %#llx \"%s\" defsize %d bmax %d", (unsigned long long)group, name, defsize, bmax);
    opname = "tavtyperegister";
    tavhandle out = ~tavhandle{0};
    const unsigned long before = announced;
    const int32_t rc = tavtyperegister(group, name, defsize, bmax, &out);
    const int g = resolve(group, TAV_KIND_GROUP, groups.size());
    int32_t want = TAV_OK;
    if (g < 0)
        want = TAV_TYPE_BADGROUP;
    else if (bmax != 0 && bmax < defsize)
        want = TAV_TYPE_BUDGET_BELOW_DEFSIZE;
    else if (groups[g].bmax != 0 && groups[g].bmax < bmax)
        want = TAV_TYPE_BUDGET_ABOVE_GROUP;
    else if (std::any_of(types.begin(), types.end(), [&](const Type &t) { return t.name == stored(name); }))
        want = TAV_TYPE_EXISTS;
    expect("status", want, rc);
    if (want != TAV_OK) {
        expect("out handle", 0, out);
        expect("no announcement", before, announced);
        return;
    }
    expect("out handle", 0x02000000u + types.size(), out);
    const int p = defsize == 0 ? -1 : covering(defsize);
    types.push_back({stored(name), static_cast<uint32_t>(g), defsize, bmax, p});
    for (Pool &pool : pools) pool.per.resize(types.size());
    ++groups[g].ntypes;
    expect("announcements", before + 1, announced);
    expect_name("announced namespace", groups[g].name + "TavMemType", announced_ns.c_str());
    expect_name("announced member", name, announced_member.c_str());
}

void op_pool(int32_t size, int32_t inc, int32_t max)
{
    note("pool %d inc %d max %d", size, inc, max);
    opname = "tavpoolregister";
    tavhandle out = ~tavhandle{0};
    const int32_t rc = tavpoolregister(size, inc, max, &out);
    int32_t want = TAV_OK;
    if (size <= 0 || (size & 3) != 0)
        want = TAV_POOL_BADSIZE;
    else if (inc > max)
        want = TAV_POOL_INC_ABOVE_MAX;
    else if (inc != 0 && max != 0 && int64_t{max} % inc != 0)
        want = TAV_POOL_MAX_NOT_MULTIPLE;
    expect("status", want, rc);
    if (want != TAV_OK) {
        expect("out handle", 0, out);
        return;
    }
    for (size_t i = 0; i < pools.size(); ++i)
        if (pools[i].size == size) {
            expect("out handle of the existing pool", 0x03000000u + i, out);
            return;
        }
    const int32_t index = static_cast<int32_t>(pools.size());
    expect("out handle", 0x03000000u + pools.size(), out);
    for (Type &t : types)
        if (t.defsize <= size && (t.pidx == -1 || size < pools[t.pidx].size)) t.pidx = index;
    Pool &added = pools.emplace_back();
    added.size = size;
    added.inc = inc;
    added.max = max;
    added.per.resize(types.size());
}

void op_alloc(tavhandle type, int32_t size)
{
    note("alloc %#llx size %d", (unsigned long long)type, size);
    opname = "tavpoolalloc";
    void *const got = tavpoolalloc(type, size);
    const auto addr = reinterpret_cast<uintptr_t>(got);
    const int t = resolve(type, TAV_KIND_TYPE, types.size());
    int p = -1;
    bool oversize = false;
    if (t >= 0) {
        if (size != 0) {
            p = covering(size);
            oversize = p < 0 && size > 0;
        } else if (types[t].pidx >= 0 && types[t].pidx < static_cast<int32_t>(pools.size())) {
            p = types[t].pidx;
        }
    }
    if (p < 0 && !oversize) {
        expect("refused", 0, addr);
        return;
    }
    Type &T = types[t];
    Group &G = groups[T.gindex];
    if (oversize) ++G.bigcount;
    const int32_t bsize = oversize ? size : pools[p].size;
    if (G.bmax != 0 && G.bmax < wrap(int64_t{bsize} + G.balloc)) {
        ++G.failcount;
        expect("refused by the group budget", 0, addr);
        return;
    }
    if (T.bmax != 0 && T.bmax < wrap(int64_t{bsize} + T.balloc)) {
        ++T.failcount;
        expect("refused by the type budget", 0, addr);
        return;
    }
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
    G.balloc = wrap(int64_t{G.balloc} + bsize);
    T.balloc = wrap(int64_t{T.balloc} + bsize);
    if (!oversize) {
        Pool &P = pools[p];
        ++P.asucc;
        if (++P.alloced > P.apeak) ++P.apeak;
        --P.free;
        PerType &c = P.per[t];
        ++c.asucc;
        if (++c.alloced > c.apeak) c.apeak = c.alloced;
    }
    record_event(TAV_TRACE_ALLOC, static_cast<uint32_t>(bsize), addr);
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
    if ((h.flags & TAV_BLK_OVERSIZE) == 0) {
        if (h.size == 0 || (p = covering(h.size)) < 0) return {TAV_FREE_MISMATCH};
    }
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
    tavblkhdr h{};
    h.flags = b.oversize ? TAV_BLK_OVERSIZE : 0;
    h.magic = TAV_BLK_MAGIC;
    h.size = b.size;
    h.handle = b.handle;
    const Verdict v = judge(h, passed);
    const int32_t rc = tavpoolfree(passed, reinterpret_cast<void *>(addr));
    expect("status", v.code, rc);
    if (v.code != TAV_OK) return;

    Type &T = types[v.type];
    Group &G = groups[T.gindex];
    const int32_t charge = b.oversize ? b.size : pools[v.pool].size;
    G.balloc = wrap(int64_t{G.balloc} - charge);
    T.balloc = wrap(int64_t{T.balloc} - charge);
    if (!b.oversize) {
        Pool &P = pools[v.pool];
        --P.alloced;
        ++P.free;
        ++P.fsucc;
        ++P.per[v.type].fsucc;
        --P.per[v.type].alloced;
        if (b.gen != gen) ++P.adopted;
        record_event(TAV_TRACE_FREE, 0, addr);
    }
    if (b.gen != gen) T.adopted = wrap(int64_t{T.adopted} + charge);
    live.erase(addr);
    live_bytes -= static_cast<size_t>(b.size);
    order[b.pos] = order.back();
    order.pop_back();
    if (b.pos < order.size()) live.at(order[b.pos]).pos = b.pos;
    freed_here.push_back(addr);
    freed_handles.push_back(b.handle);
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
    note("free %#llx %p%s", (unsigned long long)passed, (void *)addr,
         live.count(addr)       ? " (live)"
         : released.count(addr) ? " (released)"
                                : "");
    opname = "tavpoolfree";
    if (addr == 0) {
        expect("status", TAV_FREE_BADHEADER, tavpoolfree(passed, nullptr));
        return;
    }
    if (live.count(addr) != 0) return release_live(addr, passed);
    tavblkhdr h{};
    if (auto it = released.find(addr); it != released.end() && !it->second.again) {
        // Beyond what the library is sure to remember, the answer is not known.
        if (releases - it->second.serial >= kRemembered) return;
        if (it->second.oversize) {
            h.flags = TAV_BLK_OVERSIZE | TAV_BLK_FREED;
            h.magic = TAV_BLK_MAGIC;
            h.handle = it->second.handle;
        }
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
    note("shutdown");
    opname = "tavshutdown";
    expect("status", 0, tavshutdown());
    expect("size list emptied", 1, tavnode.sizelist == nullptr);
    groups.clear();
    types.clear();
    pools.clear();
    ++gen; // live blocks stay the caller's, charged nowhere
}

void expect_copied_name(const char *what, const std::string &name, const char *buf)
{
    expect_name(what, name.substr(0, TAV_NAME_BUF - 1), buf);
}

template <class R> int named(const std::vector<R> &records, const char *name)
{
    for (size_t i = 0; i < records.size(); ++i)
        if (records[i].name == stored(name)) return static_cast<int>(i);
    return -1;
}

// One of the 13 queries, picked by sel % 13. With bit 7 of sel set, one of
// its pointer arguments (bits 4 to 6) is null: -1, and nothing is stored.
void op_query(unsigned sel, tavhandle h, const char *name, int32_t size)
{
    opname = "query";
    note("query %u %#llx \"%s\" %d", sel % 13, (unsigned long long)h, name, size);
    const bool null = (sel & 0x80) != 0;
    auto ptr = [&](unsigned n, unsigned of, auto *p) {
        return null && (sel >> 4 & 7) % of == n ? nullptr : p;
    };
    auto want = [&](int found, int32_t ok) { return null ? TAV_E_NULL : found < 0 ? TAV_E_NOTFOUND : ok; };
    char s1[TAV_NAME_BUF] = "?", s2[TAV_NAME_BUF] = "?";
    int32_t v[4] = {7, 7, 7, 7};
    uint32_t u[6] = {7, 7, 7, 7, 7, 7};
    tavhandle out = 7;
    const int g = resolve(h, TAV_KIND_GROUP, groups.size()), gn = named(groups, name);
    const int t = resolve(h, TAV_KIND_TYPE, types.size()), tn = named(types, name);
    const int p = resolve(h, TAV_KIND_POOL, pools.size());
    int ps = -1;
    for (size_t i = 0; i < pools.size(); ++i)
        if (pools[i].size == size) ps = static_cast<int>(i);
    const bool ok = !null;
    switch (sel % 13) {
    case 0:
        expect("status", want(gn, TAV_OK), tavgroupnametohandle(ptr(0, 2, name), ptr(1, 2, &out)));
        expect("out", null ? 7 : gn < 0 ? 0 : 0x01000000 + gn, out);
        return;
    case 1:
        expect("status", want(g, TAV_OK), tavgrouphandletoname(h, ptr(0, 1, s1)));
        if (ok && g >= 0) expect_copied_name("name", groups[g].name, s1);
        return;
    case 2:
        expect("status", want(g, TAV_OK), tavgroupgetconfig(h, ptr(0, 2, s1), ptr(1, 2, &v[0])));
        if (ok && g >= 0)
            expect_copied_name("name", groups[g].name, s1), expect("bmax", groups[g].bmax, v[0]);
        return;
    case 3:
        expect("status", want(g, TAV_OK), tavgroupgetstatistics(h, ptr(0, 2, &v[0]), ptr(1, 2, &u[0])));
        if (ok && g >= 0)
            expect("balloc", groups[g].balloc, v[0]),
                expect("failcount", static_cast<uint32_t>(groups[g].failcount), u[0]);
        return;
    case 4: // takes no null pointers
        expect("status", tn < 0 ? -1 : TAV_OK, tavtypenametoindex(name, &u[0]));
        expect("index", tn < 0 ? 0 : tn, u[0]);
        return;
    case 5:
        expect("status", want(tn, TAV_OK), tavtypenametohandle(ptr(0, 2, name), ptr(1, 2, &out)));
        expect("out", null ? 7 : tn < 0 ? 0 : 0x02000000 + tn, out);
        return;
    case 6:
        expect("status", want(t, TAV_OK), tavtypehandletoname(h, ptr(0, 1, s1)));
        if (ok && t >= 0) expect_copied_name("name", types[t].name, s1);
        return;
    case 7:
        expect("status", want(t, TAV_OK),
               tavtypegetconfig(h, ptr(0, 4, s1), ptr(1, 4, &v[0]), ptr(2, 4, &v[1]), ptr(3, 4, s2)));
        if (!ok || t < 0) return;
        expect_copied_name("name", types[t].name, s1);
        expect("defsize", types[t].defsize, v[0]);
        expect("bmax", types[t].bmax, v[1]);
        expect_copied_name("group name", groups[types[t].gindex].name, s2);
        return;
    case 8:
        expect("status", want(t, TAV_OK), tavtypegetstatistics(h, ptr(0, 2, &v[0]), ptr(1, 2, &u[0])));
        if (ok && t >= 0)
            expect("balloc", types[t].balloc, v[0]),
                expect("failcount", static_cast<uint32_t>(types[t].failcount), u[0]);
        return;
    case 9:
        expect("status", want(ps, TAV_OK), tavpoolsizetohandle(size, ptr(0, 1, &out)));
        expect("out", null ? 7 : ps < 0 ? 0 : 0x03000000 + ps, out);
        return;
    case 10:
        expect("status", want(p, TAV_POOL_FOUND), tavpoolhandletosize(h, ptr(0, 1, &v[0])));
        if (ok && p >= 0) expect("size", pools[p].size, v[0]);
        return;
    case 11:
        expect("status", want(p, TAV_POOL_FOUND),
               tavpoolgetconfig(h, ptr(0, 3, &v[0]), ptr(1, 3, &v[1]), ptr(2, 3, &v[2])));
        if (ok && p >= 0)
            expect("size", pools[p].size, v[0]), expect("inc", pools[p].inc, v[1]),
                expect("max", pools[p].max, v[2]);
        return;
    default: {
        expect("status", want(p, TAV_POOL_FOUND),
               tavpoolgetstatistics(h, ptr(0, 7, &v[0]), ptr(1, 7, &u[0]), ptr(2, 7, &u[1]), ptr(3, 7, &u[2]),
                                    ptr(4, 7, &u[3]), ptr(5, 7, &u[4]), ptr(6, 7, &u[5])));
        if (!ok || p < 0) return;
        const Pool &m = pools[p];
        const uint32_t want_u[6] = {m.alloced, m.apeak, m.asucc, m.fsucc, 0, m.ffail};
        expect("free", m.free, v[0]);
        for (int i = 0; i < 6; ++i) expect("statistics", want_u[i], u[i]);
    }
    }
}

// The tables print to standard output (discarded); only their results count.
void op_table(unsigned sel, const char *name, int32_t size)
{
    note("table %u \"%s\" %d", sel % 9, name ? name : "(null)", size);
    opname = "table";
    const bool known = name != nullptr && std::any_of(types.begin(), types.end(),
                                                      [&](const Type &t) { return t.name == stored(name); });
    switch (sel % 9) {
    case 0:
        expect("status", 0, tavgroupdumpinfo(name));
        break;
    case 1:
        expect("status", 0, tavtypedumpinfo(name));
        break;
    case 2:
        expect("status", 0, tavpooldumpinfo(size));
        break;
    case 3:
        expect("status", 0, tavpooldumplistinfo(size));
        break;
    case 4:
        expect("status", 0, tavpooldumpblockstats(size));
        break;
    case 5:
        expect("status", 0, tavpooldumpchunkstats(size));
        break;
    case 6:
        expect("status",
               name != nullptr && !known         ? TAV_DUMP_NOTYPE
               : size == 0 || covering(size) < 0 ? TAV_DUMP_NOCLASS
                                                 : 0,
               tavpooldumpblockstatsdetailed(size, name));
        break;
    case 7:
        expect("status", known ? 0 : TAV_DUMP_NOTYPE, tavpooldumpblockstatsfortype(name, size));
        break;
    default:
        expect("status", 0, tavpooldumpchunkinfo());
    }
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
};

const char *const kNames[16] = {"a",
                                "b",
                                "ipc",
                                "net",
                                "buf",
                                "",
                                "a ",
                                "Type-Name-Of-Thirty-Characters",
                                "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345",  // 32 characters
                                "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456", // the same name
                                "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123457", // and again
                                "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234",
                                "A",
                                "B",
                                "x.y",
                                "buf2"};

const char *pick_name(Input &in) { return kNames[in.byte() % 16]; }

int32_t pick_budget(Input &in)
{
    static const int32_t t[16] = {0,   0,    1,    32,        64,      96,        100, 128,
                                  256, 1000, 4096, kMaxBlock, 1 << 20, INT32_MAX, -1,  INT32_MIN};
    const uint8_t b = in.byte();
    return b >= 240 ? static_cast<int32_t>(in.u32()) : t[b % 16];
}

int32_t pick_count(Input &in)
{
    static const int32_t t[16] = {0, 1, 2, 3, 4, 8, 10, 16, 64, 100, 7, -1, -2, -8, INT32_MIN, INT32_MAX};
    const uint8_t b = in.byte();
    return b >= 240 ? static_cast<int32_t>(in.u32()) : t[b % 16];
}

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
tavhandle pick_handle(Input &in, uint32_t kind, size_t count)
{
    const uint8_t b = in.byte();
    const tavhandle index = (b / 8u) % (count + 1);
    switch (b % 8) {
    case 5: {
        const tavhandle high = in.byte() | 1u;
        return (tavhandle{kind} << 24 | index) | high << 32;
    }
    case 6:
        return tavhandle{kind % 3 + 1} << 24 | index;
    case 7: {
        if ((b & 8) != 0) return 0;
        const tavhandle hi = in.u32();
        return hi << 32 | in.u32();
    }
    default:
        return tavhandle{kind} << 24 | index;
    }
}

void release_picked(Input &in)
{
    const uint8_t i = in.byte();
    const uint8_t mode = in.byte();
    if (order.empty()) return op_release(0, 0x02000000);
    const uintptr_t a = order[i % order.size()];
    tavhandle h = live.at(a).handle;
    if (mode % 8 == 5) h ^= tavhandle{1} << 32;
    if (mode % 8 >= 6) h = pick_handle(in, TAV_KIND_TYPE, types.size());
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
        const tavhandle h = mode % 4 != 0 ? freed_handles[k] : pick_handle(in, TAV_KIND_TYPE, types.size());
        return op_release(freed_here[k], h);
    }
    if (kind == 1) return op_release(0, pick_handle(in, TAV_KIND_TYPE, types.size()));
    if (kind == 4) { // inside a live block, at least 32 bytes in
        const uint8_t hi = in.byte();
        const uint8_t lo = in.byte();
        const uint8_t mode = in.byte();
        if (order.empty()) return;
        const uintptr_t a = order[i % order.size()];
        const Block &b = live.at(a);
        if (b.size < 32) return;
        const uintptr_t at = a + 32 + (hi << 8 | lo) % static_cast<uint32_t>(b.size - 31);
        return op_release(at, mode % 2 != 0 ? b.handle : pick_handle(in, TAV_KIND_TYPE, types.size()), true);
    }
    // Foreign (bytes as given) or crafted (a header of our making) in the arena.
    const uint8_t mis = in.byte();
    unsigned char *front = arena[i % 32] + (mis % 4 == 3 ? mis / 4 % 16 : 0);
    if (kind == 2) {
        const uint8_t fill = in.byte();
        for (int k = 0; k < 32; ++k) front[k] = fill == 0xFF ? in.byte() : fill;
    } else {
        tavblkhdr h{};
        h.flags = in.byte();
        const uint8_t m = in.byte();
        h.magic = m % 4 != 0 ? TAV_BLK_MAGIC : TAV_BLK_MAGIC ^ (1u << m / 8);
        h.size = pick_size(in);
        h.handle = pick_handle(in, TAV_KIND_TYPE, types.size());
        std::memcpy(front, &h, sizeof h);
    }
    const uint8_t mode = in.byte();
    tavhandle passed;
    std::memcpy(&passed, front + offsetof(tavblkhdr, handle), sizeof passed);
    if (mode % 4 == 0) passed = pick_handle(in, TAV_KIND_TYPE, types.size());
    op_release(reinterpret_cast<uintptr_t>(front + sizeof(tavblkhdr)), passed, true);
}

void run_op(Input &in)
{
    const uint8_t op = in.byte() % 16;
    switch (op) {
    case 0: {
        const char *name = pick_name(in);
        const int32_t bmax = pick_budget(in);
        return op_group(name, bmax);
    }
    case 1:
    case 2: {
        const tavhandle g = pick_handle(in, TAV_KIND_GROUP, groups.size());
        const char *name = pick_name(in);
        const int32_t defsize = pick_size(in);
        const int32_t bmax = pick_budget(in);
        return op_type(g, name, defsize, bmax);
    }
    case 3: {
        const int32_t size = pick_pool_size(in);
        const int32_t inc = pick_count(in);
        const int32_t max = pick_count(in);
        return op_pool(size, inc, max);
    }
    case 7:
    case 8:
        return release_picked(in);
    case 9:
    case 10:
        return release_other(in);
    case 11:
    case 12: {
        const uint8_t sel = in.byte();
        const uint32_t kind = sel % 13 < 4 ? TAV_KIND_GROUP : sel % 13 < 9 ? TAV_KIND_TYPE : TAV_KIND_POOL;
        const size_t count = kind == TAV_KIND_GROUP  ? groups.size()
                             : kind == TAV_KIND_TYPE ? types.size()
                                                     : pools.size();
        const tavhandle h = pick_handle(in, kind, count);
        const char *name = pick_name(in);
        const int32_t size = pick_size(in);
        return op_query(sel, h, name, size);
    }
    case 13: {
        const uint8_t sel = in.byte();
        const char *name = sel & 128 ? nullptr : pick_name(in);
        const int32_t size = sel & 64 ? 0 : pick_size(in);
        return op_table(sel, name, size);
    }
    case 4:
    case 5:
    case 6: {
        const tavhandle t = pick_handle(in, TAV_KIND_TYPE, types.size());
        const int32_t size = pick_size(in);
        return op_alloc(t, size);
    }
    case 14:
        return op_shutdown();
    default: { // many at once: up to 63, or up to kMaxLive, so that the library meets thousands
        const uint8_t n = in.byte();
        const int count = (n & 0x80) != 0 ? (n & 0x7E) * 32 : (n & 0x7E) / 2;
        if ((n & 1) != 0) {
            for (int k = 0; k < count && !order.empty(); ++k)
                op_release(order.front(), live.at(order.front()).handle);
            return;
        }
        const tavhandle t = pick_handle(in, TAV_KIND_TYPE, types.size());
        const int32_t size = pick_size(in) % 257; // small blocks
        for (int k = 0; k < count && live.size() < kMaxLive && live_bytes < kMaxLiveBytes; ++k)
            op_alloc(t, size);
    }
    }
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
    for (uint32_t t = 0; t <= top; ++t) {
        char name[32];
        std::snprintf(name, sizeof name, "cleanup-%u", t);
        op_type(0x01000000, name, 0, 0);
    }
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
    freed_handles.clear();
    check_state();
    for (opno = 1; opno <= kMaxOps && in.p < in.end; ++opno) {
        run_op(in);
        check_state();
    }
    finish_input();
    return 0;
}

#ifdef TAV_FUZZ_REPLAY
#include <algorithm>
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
        if (fs::is_directory(argv[i])) {
            for (const auto &e : fs::directory_iterator(argv[i]))
                if (e.is_regular_file() && e.path().extension() != ".md") files.push_back(e.path());
            std::sort(files.begin(), files.end());
        } else {
            files.emplace_back(argv[i]);
        }
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
