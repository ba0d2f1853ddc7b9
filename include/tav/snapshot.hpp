// A copy of everything the library keeps (records, per-type counters, size
// classes, trace ring), read through a memory source: this process under the
// read lock, or another process's memory that may be changing or garbage.
//
// One builder does both. It first copies the raw records into storage sized
// beforehand, without allocating (so it can run under the lock of a host whose
// operator new is charged through the library), and tells how much storage it
// needs when that was too small; the records are then made outside the lock.
#pragma once

#include "tav/config.hpp"
#ifndef TAV_CXX_TOO_OLD

#include <algorithm>
#include <array>
#include <cerrno>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <pthread.h>
#include <span>
#include <string>
#include <vector>

#include "../tav.h"
#include "tav/handle.hpp"

namespace tav {

// The records as the library keeps them, under names that say what they
// hold. A record's position in its table is its index (handle.index()); the
// counters no operation ever sets are left out.
struct group_record {
    group_handle handle;
    bool in_use = false;
    std::string name;
    uint32_t type_count = 0;
    int32_t budget_bytes = 0; // 0: none
    int32_t charged_bytes = 0;
    uint64_t refusals = 0;
    uint64_t oversize_allocations = 0;
};

struct type_record {
    type_handle handle;
    bool in_use = false;
    std::string name;
    uint32_t group_index = 0;
    int32_t default_size = 0;
    int32_t budget_bytes = 0;  // 0: none
    int32_t default_pool = -1; // pool index; -1: none
    int32_t charged_bytes = 0;
    uint64_t refusals = 0;
};

// A pool's counters for each type, indexed by type index. Each is as long as
// the library's array, which a failed resize can leave short of the type count.
struct per_type_counters {
    std::vector<uint32_t> blocks, peak_blocks, allocations, releases;
};

struct pool_record {
    pool_handle handle;
    bool in_use = false;
    int32_t block_size = 0;
    int32_t increment_blocks = 0, max_blocks = 0;
    uint32_t blocks = 0, peak_blocks = 0, allocations = 0, releases = 0, release_failures = 0;
    per_type_counters by_type;
};

struct size_class {
    int32_t block_size;
    uint32_t pool_index;
};

// Integers, not pointers: they may be another process's addresses.
struct trace_entry {
    uint32_t op;   // TAV_TRACE_ALLOC or TAV_TRACE_FREE (anything else from a damaged ring)
    uint32_t size; // an allocation's block size; 0 for a release
    std::uintptr_t address, caller;
};

struct snapshot {
    std::vector<group_record> groups;
    std::vector<type_record> types;
    std::vector<pool_record> pools;
    std::vector<size_class> size_classes; // ascending, as linked
    std::vector<trace_entry> trace;       // oldest first
    uint32_t trace_capacity = 0;          // 0: the host has no trace ring
    uint64_t trace_wraps = 0;
    bool settled = true; // false: a remote image never read the same twice in a row
};

// Where a snapshot's bytes come from. read() copies `bytes` bytes at `address`
// (of the process that holds tavnode) into `into`; false when they cannot be read.
template <class S>
concept memory_source = requires(S &s, std::uintptr_t a, void *p, std::size_t n)
{
    {
        s.read(a, p, n)
        } -> std::same_as<bool>;
};

// One read of many a source may take at once (as process_vm_readv does).
struct read_request {
    std::uintptr_t from;
    void *into;
    std::size_t bytes;
};

// A source that also reads many ranges in one call: all of them, or false.
template <class S>
concept batch_source = memory_source<S> && requires(S &s, std::span<const read_request> r)
{
    {
        s.read_all(r)
        } -> std::same_as<bool>;
};

// This process's memory. Only for addresses the library's records point to.
struct local_memory {
    bool read(std::uintptr_t address, void *into, std::size_t bytes) const noexcept
    {
        std::memcpy(into, reinterpret_cast<const void *>(address), bytes);
        return true;
    }
};

// Bounds for untrusted memory: counts of groups, types, pools and size classes,
// and each counter array's length, at most max_records (all counter arrays
// together at most 8 * max_records words); the trace ring at most max_trace.
// A reading is repeated until two in a row agree, at most `attempts` times.
struct snapshot_limits {
    uint32_t max_records = 1u << 20;
    uint32_t max_trace = 1u << 16;
    int attempts = 8;
};

// none, a read failed, or counts, lengths, pointers or records that no
// library could have written.
enum class snapshot_error { none, unreadable, implausible };

namespace detail {

// The per-type counter arrays a snapshot keeps (afail and ffail are never set).
inline constexpr int kept_stats = 4;

struct image_counts {
    std::size_t groups = 0, types = 0, pools = 0, counters = 0, sizes = 0, trace = 0;
};

// The raw bytes of one reading. The vectors are storage sized before a
// reading; a reading that finds them too small stops and says in `need` how
// much it takes. `complete` and `used` are set together at the end of a
// reading, so everything made from an image comes from that one reading.
struct image {
    struct tavnode node {};
    std::vector<tavgroup> groups;
    std::vector<tavtype> types;
    std::vector<tavpool> pools;
    std::vector<uint32_t> lengths;  // kept_stats per pool
    std::vector<uint32_t> counters; // the kept per-type counters, pool by pool, stat by stat
    std::vector<tavsizenode> sizes;
    std::vector<tavtrace> trace;
    image_counts used, need;
    bool complete = false;

    // Storage for what the last reading needed, plus a quarter and `slack` for growth meanwhile.
    void grow(std::size_t slack)
    {
        const auto more = [slack](std::size_t n) { return n + n / 4 + slack; };
        groups.resize(std::max(groups.size(), more(need.groups)));
        types.resize(std::max(types.size(), more(need.types)));
        pools.resize(std::max(pools.size(), more(need.pools)));
        lengths.resize(pools.size() * kept_stats);
        sizes.resize(pools.size()); // one size class per pool at most
        counters.resize(std::max(counters.size(), more(need.counters)));
        trace.resize(std::max(trace.size(), need.trace));
    }
};

// grow: the storage is too small; torn: a failed reading during which tavnode's
// counts or pointers changed (a registration went by), worth reading again.
enum class fill_result { done, grow, unreadable, implausible, torn };

inline std::uintptr_t address_of(const void *p) { return reinterpret_cast<std::uintptr_t>(p); }

// Where a table lies in the target: [first, end); empty when first == end.
struct extent {
    std::uintptr_t first = 0, end = 0;
    bool meets(const extent &o) const { return first < o.end && o.first < end; }
};

// The extent of `count` records of `size` bytes at address a, if they are
// aligned and do not run past the end of the address space.
inline bool extent_of(std::uintptr_t a, std::size_t count, std::size_t size, std::size_t align, extent &out)
{
    out = {};
    if (count == 0) return true;
    if (a == 0 || a % align != 0 || count > (UINTPTR_MAX - a) / size) return false;
    out = {a, a + count * size};
    return true;
}

// The four tables tavnode points to; a library keeps them apart.
struct table_extents {
    extent groups, types, pools, trace;
    bool meet(const extent &e) const
    {
        return e.meets(groups) || e.meets(types) || e.meets(pools) || e.meets(trace);
    }
};

template <memory_source S> bool read_bytes(S &src, std::uintptr_t from, void *into, std::size_t bytes)
{
    return bytes == 0 || src.read(from, into, bytes);
}

// Reads gathered into groups for a batch_source, one call per group; one by
// one for any other source. Nothing is allocated; each destination must stay
// put until flush().
template <memory_source S> class batched_reads {
public:
    explicit batched_reads(S &src) : src_(src) {}
    bool add(std::uintptr_t from, void *into, std::size_t bytes)
    {
        if constexpr (!batch_source<S>) {
            return read_bytes(src_, from, into, bytes);
        } else {
            if (bytes == 0) return true;
            if (count_ == std::size(pending_) && !flush()) return false;
            pending_[count_++] = {from, into, bytes};
            return true;
        }
    }
    bool flush()
    {
        if constexpr (batch_source<S>) {
            const bool read = count_ == 0 || src_.read_all(std::span<const read_request>(pending_, count_));
            count_ = 0;
            return read;
        }
        return true;
    }

private:
    S &src_;
    read_request pending_[256];
    std::size_t count_ = 0;
};

// Counts, pointers and the trace ring's position, checked before anything
// they point to is read; img.need then says what the reading takes.
inline fill_result check_node(image &img, const snapshot_limits &lim, table_extents &t)
{
    const struct tavnode &n = img.node;
    const auto count = [&lim](int32_t c) { return c >= 0 && static_cast<uint32_t>(c) <= lim.max_records; };
    if (!count(n.ngroups) || !count(n.ntypes) || !count(n.npools)) return fill_result::implausible;
    image_counts &need = img.need;
    need = {};
    need.groups = static_cast<std::size_t>(n.ngroups);
    need.types = static_cast<std::size_t>(n.ntypes);
    need.pools = static_cast<std::size_t>(n.npools);
    if (n.trace != nullptr) {
        if (n.tracesize == 0 || n.tracesize > lim.max_trace || n.tracenext >= n.tracesize)
            return fill_result::implausible;
        need.trace = n.tracesize;
    }
    if (!extent_of(address_of(n.groups), need.groups, sizeof(tavgroup), alignof(tavgroup), t.groups) ||
        !extent_of(address_of(n.types), need.types, sizeof(tavtype), alignof(tavtype), t.types) ||
        !extent_of(address_of(n.pools), need.pools, sizeof(tavpool), alignof(tavpool), t.pools) ||
        !extent_of(address_of(n.trace), need.trace, sizeof(tavtrace), alignof(tavtrace), t.trace))
        return fill_result::implausible;
    if (t.groups.meets(t.types) || t.groups.meets(t.pools) || t.groups.meets(t.trace) ||
        t.types.meets(t.pools) || t.types.meets(t.trace) || t.pools.meets(t.trace))
        return fill_result::implausible;
    if (n.sizelist != nullptr && need.pools == 0) return fill_result::implausible;
    return fill_result::done;
}

inline bool fits(const image &img)
{
    const image_counts &n = img.need;
    return n.groups <= img.groups.size() && n.types <= img.types.size() && n.pools <= img.pools.size() &&
           n.pools <= img.sizes.size() && n.pools * kept_stats <= img.lengths.size() &&
           n.trace <= img.trace.size();
}

template <memory_source S> fill_result read_tables(S &src, image &img)
{
    const struct tavnode &n = img.node;
    const image_counts &c = img.need;
    batched_reads<S> reads(src);
    const bool read = reads.add(address_of(n.groups), img.groups.data(), c.groups * sizeof(tavgroup)) &&
                      reads.add(address_of(n.types), img.types.data(), c.types * sizeof(tavtype)) &&
                      reads.add(address_of(n.pools), img.pools.data(), c.pools * sizeof(tavpool)) &&
                      reads.add(address_of(n.trace), img.trace.data(), c.trace * sizeof(tavtrace)) &&
                      reads.flush();
    return read ? fill_result::done : fill_result::unreadable;
}

template <std::size_t N> bool terminated(const char (&name)[N]) { return ::memchr(name, 0, N) != nullptr; }

// Records as a library writes them: in use 0 or 1, their index their
// position, names terminated, a type's group and default pool in range.
inline fill_result check_records(const image &img)
{
    const image_counts &c = img.need;
    const auto plain = [](const auto &r, std::size_t i) { return r.inuse <= 1 && r.index == i; };
    for (std::size_t i = 0; i < c.groups; ++i)
        if (!plain(img.groups[i], i) || !terminated(img.groups[i].name)) return fill_result::implausible;
    for (std::size_t i = 0; i < c.types; ++i) {
        const tavtype &t = img.types[i];
        if (!plain(t, i) || !terminated(t.name)) return fill_result::implausible;
        if (t.inuse != 0 &&
            (t.gindex >= c.groups || t.pidx < -1 || (t.pidx >= 0 && std::size_t(t.pidx) >= c.pools)))
            return fill_result::implausible;
    }
    for (std::size_t i = 0; i < c.pools; ++i)
        if (!plain(img.pools[i], i) || (img.pools[i].inuse != 0 && img.pools[i].size <= 0))
            return fill_result::implausible;
    return fill_result::done;
}

inline uint32_t *const &kept_array(const tavcounters &c, int k)
{
    return k == 0 ? c.alloced : k == 1 ? c.apeak : k == 2 ? c.asucc : c.fsucc;
}

// Each kept counter array's length, from the word in front of it. An array is
// never longer than the type count under the lock; a longer one was read
// while a type was being added, and only its first ntypes counters are kept.
template <memory_source S>
fill_result read_counter_lengths(S &src, image &img, const snapshot_limits &lim, const table_extents &t)
{
    image_counts &c = img.need;
    batched_reads<S> reads(src);
    for (std::size_t i = 0; i < c.pools; ++i)
        for (int k = 0; k < kept_stats; ++k) {
            const std::uintptr_t a = address_of(kept_array(img.pools[i].typestats, k));
            uint32_t &len = img.lengths[i * kept_stats + static_cast<std::size_t>(k)];
            len = 0;
            if (a == 0) continue;
            if (a < TAV_COUNTERS_PREFIX) return fill_result::implausible;
            if (!reads.add(a - TAV_COUNTERS_PREFIX, &len, sizeof len)) return fill_result::unreadable;
        }
    if (!reads.flush()) return fill_result::unreadable;
    const std::size_t most = std::size_t{lim.max_records} * 8;
    c.counters = 0;
    for (std::size_t i = 0; i < c.pools; ++i)
        for (int k = 0; k < kept_stats; ++k) {
            uint32_t &len = img.lengths[i * kept_stats + static_cast<std::size_t>(k)];
            if (len == 0) continue;
            if (len > lim.max_records) return fill_result::implausible;
            len = std::min(len, static_cast<uint32_t>(c.types));
            const std::uintptr_t a = address_of(kept_array(img.pools[i].typestats, k));
            extent e;
            if (!extent_of(a - TAV_COUNTERS_PREFIX, TAV_COUNTERS_PREFIX / 4 + len, 4, 8, e) || t.meet(e) ||
                c.counters + len > most)
                return fill_result::implausible;
            c.counters += len;
        }
    return c.counters <= img.counters.size() ? fill_result::done : fill_result::grow;
}

template <memory_source S> fill_result read_counters(S &src, image &img)
{
    batched_reads<S> reads(src);
    std::size_t at = 0;
    for (std::size_t i = 0; i < img.need.pools; ++i)
        for (int k = 0; k < kept_stats; ++k) {
            const uint32_t len = img.lengths[i * kept_stats + static_cast<std::size_t>(k)];
            if (len != 0 && !reads.add(address_of(kept_array(img.pools[i].typestats, k)), &img.counters[at],
                                       len * sizeof(uint32_t)))
                return fill_result::unreadable;
            at += len;
        }
    return reads.flush() ? fill_result::done : fill_result::unreadable;
}

// The size-class list: at most one node per pool, ascending block sizes,
// each naming a pool of its size.
template <memory_source S> fill_result read_size_list(S &src, image &img, const table_extents &t)
{
    image_counts &c = img.need;
    c.sizes = 0;
    for (const tavsizenode *at = img.node.sizelist; at != nullptr; ++c.sizes) {
        extent e;
        if (c.sizes >= c.pools || !extent_of(address_of(at), 1, sizeof *at, alignof(tavsizenode), e) ||
            t.meet(e))
            return fill_result::implausible;
        tavsizenode &node = img.sizes[c.sizes];
        if (!read_bytes(src, address_of(at), &node, sizeof node)) return fill_result::unreadable;
        if (node.pindex >= c.pools || img.pools[node.pindex].size != node.bsize ||
            (c.sizes > 0 && img.sizes[c.sizes - 1].bsize >= node.bsize))
            return fill_result::implausible;
        at = node.next;
    }
    return fill_result::done;
}

// Whether tavnode's counts and table pointers read otherwise now than at the
// start of this reading. A library replaces a table before it stores the new
// pointer, so a reading that read a table replaced under it sees them change.
template <memory_source S> bool node_moved(S &src, std::uintptr_t at, const image &img)
{
    struct tavnode now {};
    if (!read_bytes(src, at, &now, sizeof now)) return false;
    const struct tavnode &was = img.node;
    return now.ngroups != was.ngroups || now.groups != was.groups || now.ntypes != was.ntypes ||
           now.types != was.types || now.npools != was.npools || now.pools != was.pools ||
           now.sizelist != was.sizelist || now.trace != was.trace || now.tracesize != was.tracesize;
}

// One reading of tavnode at `at` into img's storage. Allocates nothing, never
// reads past the storage and checks every count, pointer and record before
// using it; `grow` when the storage is too small (img.need then says how
// much it takes). img.complete only after `done`.
template <memory_source S> fill_result fill(S &src, std::uintptr_t at, image &img, const snapshot_limits &lim)
{
    img.complete = false;
    if (!read_bytes(src, at, &img.node, sizeof img.node)) return fill_result::unreadable;
    table_extents t;
    fill_result r = check_node(img, lim, t);
    if (r == fill_result::done && !fits(img)) r = fill_result::grow;
    if (r == fill_result::done) r = read_tables(src, img);
    if (r == fill_result::done) r = check_records(img);
    if (r == fill_result::done) r = read_counter_lengths(src, img, lim, t);
    if (r == fill_result::done) r = read_counters(src, img);
    if (r == fill_result::done) r = read_size_list(src, img, t);
    if ((r == fill_result::unreadable || r == fill_result::implausible) && node_moved(src, at, img))
        return fill_result::torn;
    if (r != fill_result::done) return r;
    img.used = img.need;
    img.complete = true;
    return r;
}

// Whether two complete readings saw the same bytes.
inline bool same_image(const image &a, const image &b)
{
    const auto equal = [](const auto &x, const auto &y, std::size_t n) {
        return n == 0 || std::memcmp(x.data(), y.data(), n * sizeof x[0]) == 0;
    };
    constexpr std::size_t from = offsetof(struct tavnode, ngroups);
    const auto *na = reinterpret_cast<const unsigned char *>(&a.node);
    const auto *nb = reinterpret_cast<const unsigned char *>(&b.node);
    const image_counts &u = a.used, &v = b.used;
    return a.complete && b.complete && std::memcmp(na + from, nb + from, sizeof a.node - from) == 0 &&
           u.groups == v.groups && u.types == v.types && u.pools == v.pools && u.counters == v.counters &&
           u.sizes == v.sizes && u.trace == v.trace && equal(a.groups, b.groups, u.groups) &&
           equal(a.types, b.types, u.types) && equal(a.pools, b.pools, u.pools) &&
           equal(a.lengths, b.lengths, u.pools * kept_stats) && equal(a.counters, b.counters, u.counters) &&
           equal(a.sizes, b.sizes, u.sizes) && equal(a.trace, b.trace, u.trace);
}

template <std::size_t N> std::string record_name(const char (&name)[N]) { return {name, ::strnlen(name, N)}; }

inline void make_groups(const image &img, snapshot &s)
{
    s.groups.reserve(img.used.groups);
    for (std::size_t i = 0; i < img.used.groups; ++i) {
        const tavgroup &g = img.groups[i];
        s.groups.push_back({group_handle::of_index(static_cast<uint32_t>(i)), g.inuse != 0,
                            record_name(g.name), g.ntypes, g.bmax, g.balloc, g.failcount, g.bigcount});
    }
}

inline void make_types(const image &img, snapshot &s)
{
    s.types.reserve(img.used.types);
    for (std::size_t i = 0; i < img.used.types; ++i) {
        const tavtype &t = img.types[i];
        s.types.push_back({type_handle::of_index(static_cast<uint32_t>(i)), t.inuse != 0, record_name(t.name),
                           t.gindex, t.defsize, t.bmax, t.pidx, t.balloc, t.failcount});
    }
}

// Each pool's counters are the next kept_stats arrays of img.counters, as
// long as the reading found them.
inline void make_pools(const image &img, snapshot &s)
{
    s.pools.reserve(img.used.pools);
    std::size_t at = 0;
    for (std::size_t i = 0; i < img.used.pools; ++i) {
        const tavpool &p = img.pools[i];
        pool_record r{pool_handle::of_index(static_cast<uint32_t>(i)),
                      p.inuse != 0,
                      p.size,
                      p.incblks,
                      p.maxblks,
                      p.alloced,
                      p.apeak,
                      p.asucc,
                      p.fsucc,
                      p.ffail,
                      {}};
        std::vector<uint32_t> *kept[kept_stats] = {&r.by_type.blocks, &r.by_type.peak_blocks,
                                                   &r.by_type.allocations, &r.by_type.releases};
        for (std::size_t k = 0; k < kept_stats; ++k) {
            const std::size_t len =
                std::min<std::size_t>(img.lengths[i * kept_stats + k], img.used.counters - at);
            const auto first = img.counters.begin() + static_cast<std::ptrdiff_t>(at);
            kept[k]->assign(first, first + static_cast<std::ptrdiff_t>(len));
            at += len;
        }
        s.pools.push_back(std::move(r));
    }
}

// The ring oldest first: once it has wrapped, the oldest entry is the next to
// be overwritten. The capacity is the reading's own, checked non-zero and
// above the next index.
inline void make_trace(const image &img, snapshot &s)
{
    const std::size_t capacity = img.used.trace;
    if (capacity == 0) return;
    s.trace_capacity = static_cast<uint32_t>(capacity);
    s.trace_wraps = img.node.tracewraps;
    const std::size_t next = std::min<std::size_t>(img.node.tracenext, capacity - 1);
    const std::size_t count = s.trace_wraps > 0 ? capacity : next;
    const std::size_t first = s.trace_wraps > 0 ? next : 0;
    s.trace.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t at = first + k < capacity ? first + k : first + k - capacity;
        const tavtrace &e = img.trace[at];
        s.trace.push_back({e.op, e.size, address_of(e.ptr), address_of(e.caller)});
    }
}

// The records of one complete reading.
inline void make_records(const image &img, snapshot &s)
{
    s = snapshot{};
    if (!img.complete) return;
    make_groups(img, s);
    make_types(img, s);
    make_pools(img, s);
    for (std::size_t i = 0; i < img.used.sizes; ++i)
        s.size_classes.push_back({img.sizes[i].bsize, img.sizes[i].pindex});
    make_trace(img, s);
}

} // namespace detail

// The snapshot of the tavnode at node_address, read through src, bounded by
// lim. Another process's records can change while they are read, so readings
// are repeated until two in a row agree, at most lim.attempts times, and
// out.settled tells whether they did (if not, out holds the last complete
// reading). A failed first reading is the error; a later one only counts as
// a reading that did not agree. Growing the storage, and a reading torn by a
// registration, are made again without counting, 4 * lim.attempts times at most.
template <memory_source S> snapshot_error read_snapshot(S &src, std::uintptr_t node_address, snapshot &out,
                                                        const snapshot_limits &lim = {})
{
    detail::image last, next;
    const int readings = std::max(lim.attempts, 1);
    int again = 0; // readings made again, not counted: bounded all the same
    for (int done = 0; done < readings;) {
        const detail::fill_result r = detail::fill(src, node_address, next, lim);
        if (r == detail::fill_result::grow || r == detail::fill_result::torn) {
            if (r == detail::fill_result::grow) {
                next.grow(16);
                last.need = next.need; // the other image's storage too, its reading kept
                last.grow(16);
            }
            if (++again > 4 * readings) break; // it changes faster than it can be read
            continue;
        }
        ++done;
        if (r == detail::fill_result::done && detail::same_image(last, next)) {
            detail::make_records(next, out);
            return snapshot_error::none;
        }
        if (r == detail::fill_result::done) {
            std::swap(last, next);
        } else if (!last.complete) {
            return r == detail::fill_result::unreadable ? snapshot_error::unreadable
                                                        : snapshot_error::implausible;
        }
    }
    if (!last.complete) return snapshot_error::implausible;
    detail::make_records(last, out);
    out.settled = false;
    return snapshot_error::none;
}

// This process's snapshot through the same builder: storage sized outside the
// lock, copied under tavnode's read lock without allocating, sized again and
// retried if the registry grew in between. A thread that holds the write lock
// (its read lock fails with EDEADLK) reads under its own hold and leaves it
// held. If the lock cannot be taken at all, the snapshot is empty and unsettled.
inline snapshot take_snapshot()
{
    constexpr snapshot_limits trusted{UINT32_MAX, UINT32_MAX, 1};
    local_memory here;
    detail::image img;
    detail::fill_result r;
    do {
        const int rc = pthread_rwlock_rdlock(&tavnode.lock);
        if (rc != 0 && rc != EDEADLK) {
            snapshot none;
            none.settled = false;
            return none;
        }
        r = detail::fill(here, detail::address_of(&tavnode), img, trusted);
        if (rc == 0) pthread_rwlock_unlock(&tavnode.lock);
        if (r == detail::fill_result::grow) img.grow(16);
    } while (r == detail::fill_result::grow);
    snapshot s;
    detail::make_records(img, s);
    s.settled = img.complete; // a reading that failed its checks here is the library's own fault
    return s;
}

} // namespace tav

#endif // TAV_CXX_TOO_OLD
