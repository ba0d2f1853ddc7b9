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
struct snapshot_limits {
    uint32_t max_records = 1u << 20;
    uint32_t max_trace = 1u << 16;
    int attempts = 8;
};

// none, a read failed, or counts, lengths or pointers out of bounds.
enum class snapshot_error { none, unreadable, implausible };

namespace detail {

struct image_counts {
    std::size_t groups = 0, types = 0, pools = 0, counters = 0, sizes = 0, trace = 0;
};

// The raw bytes of one reading. Vectors are storage, sized before a reading;
// `used` is what the last complete reading filled, `need` what it asked for.
struct image {
    struct tavnode node {};
    std::vector<tavgroup> groups;
    std::vector<tavtype> types;
    std::vector<tavpool> pools;
    std::vector<uint32_t> lengths;  // TAV_STAT_COUNT per pool
    std::vector<uint32_t> counters; // the per-type counters, pool by pool, stat by stat
    std::vector<tavsizenode> sizes;
    std::vector<tavtrace> trace;
    image_counts used, need;

    // Storage for what the last reading needed, plus `slack` for growth meanwhile.
    void grow(std::size_t slack)
    {
        const auto more = [slack](std::size_t n) { return n + n / 4 + slack; };
        groups.resize(std::max(groups.size(), more(need.groups)));
        types.resize(std::max(types.size(), more(need.types)));
        pools.resize(std::max(pools.size(), more(need.pools)));
        lengths.resize(pools.size() * TAV_STAT_COUNT);
        counters.resize(std::max(counters.size(), more(need.counters)));
        sizes.resize(std::max(sizes.size(), more(need.sizes)));
        trace.resize(std::max(trace.size(), need.trace));
    }
};

enum class fill_result { done, grow, unreadable, implausible };

inline const uint32_t *const *counter_array(const tavcounters &c, int k)
{
    const uint32_t *const *arrays[TAV_STAT_COUNT] = {&c.alloced, &c.apeak, &c.asucc,
                                                     &c.fsucc,   &c.afail, &c.ffail};
    return arrays[k];
}

inline std::uintptr_t address_of(const void *p) { return reinterpret_cast<std::uintptr_t>(p); }

// One reading of tavnode at `at` into img's storage. Allocates nothing and
// never reads past the storage; `grow` when some part did not fit (img.need
// then says how much it takes).
template <memory_source S> fill_result fill(S &src, std::uintptr_t at, image &img, const snapshot_limits &lim)
{
    image_counts need;
    bool fits = true;
    const auto read = [&src](std::uintptr_t from, void *into, std::size_t bytes) {
        return bytes == 0 || src.read(from, into, bytes);
    };
    // Copies count records at `from` into v when they fit; false on a failed read.
    const auto copy = [&](auto &v, const void *from, std::size_t count) {
        if (count > v.size()) {
            fits = false;
            return true;
        }
        return read(address_of(from), v.data(), count * sizeof v[0]);
    };

    if (!read(at, &img.node, sizeof img.node)) return fill_result::unreadable;
    const struct tavnode &n = img.node;
    const auto bounded = [&lim](int32_t count, const void *p) {
        return count >= 0 && static_cast<uint32_t>(count) <= lim.max_records && (count == 0 || p != nullptr);
    };
    if (!bounded(n.ngroups, n.groups) || !bounded(n.ntypes, n.types) || !bounded(n.npools, n.pools))
        return fill_result::implausible;
    if (n.trace != nullptr &&
        (n.tracesize > lim.max_trace || (n.tracesize > 0 && n.tracenext >= n.tracesize)))
        return fill_result::implausible;
    need.groups = static_cast<std::size_t>(n.ngroups);
    need.types = static_cast<std::size_t>(n.ntypes);
    need.pools = static_cast<std::size_t>(n.npools);
    need.trace = n.trace == nullptr ? 0 : n.tracesize;
    if (!copy(img.groups, n.groups, need.groups) || !copy(img.types, n.types, need.types) ||
        !copy(img.pools, n.pools, need.pools) || !copy(img.trace, n.trace, need.trace))
        return fill_result::unreadable;

    const std::size_t max_counters = std::size_t{lim.max_records} * 8;
    for (std::size_t i = 0; i < need.pools; ++i) {
        tavpool outside{};
        const bool have = i < img.pools.size();
        if (!have && !read(address_of(n.pools + i), &outside, sizeof outside)) return fill_result::unreadable;
        const tavpool &p = have ? img.pools[i] : outside;
        for (int k = 0; k < TAV_STAT_COUNT; ++k) {
            const std::uintptr_t a = address_of(*counter_array(p.typestats, k));
            uint32_t len = 0;
            if (a != 0) {
                if (a < TAV_COUNTERS_PREFIX || !read(a - TAV_COUNTERS_PREFIX, &len, sizeof len))
                    return fill_result::unreadable;
                if (len > lim.max_records || need.counters + len > max_counters)
                    return fill_result::implausible;
            }
            const std::size_t slot = i * TAV_STAT_COUNT + static_cast<std::size_t>(k);
            if (slot < img.lengths.size() && need.counters + len <= img.counters.size()) {
                img.lengths[slot] = len;
                if (!read(a, img.counters.data() + need.counters, len * sizeof(uint32_t)))
                    return fill_result::unreadable;
            } else {
                fits = false;
            }
            need.counters += len;
        }
    }

    for (const tavsizenode *c = n.sizelist; c != nullptr; ++need.sizes) {
        if (need.sizes >= lim.max_records) return fill_result::implausible;
        tavsizenode outside{};
        tavsizenode &into = need.sizes < img.sizes.size() ? img.sizes[need.sizes] : outside;
        if (!read(address_of(c), &into, sizeof into)) return fill_result::unreadable;
        fits = fits && &into != &outside;
        c = into.next;
    }

    img.need = need;
    if (!fits) return fill_result::grow;
    img.used = need;
    return fill_result::done;
}

// Whether two complete readings saw the same bytes (the lock's aside).
inline bool same_image(const image &a, const image &b)
{
    const auto equal = [](const auto &x, const auto &y, std::size_t n) {
        return n == 0 || std::memcmp(x.data(), y.data(), n * sizeof x[0]) == 0;
    };
    constexpr std::size_t from = offsetof(struct tavnode, ngroups);
    const auto *na = reinterpret_cast<const unsigned char *>(&a.node);
    const auto *nb = reinterpret_cast<const unsigned char *>(&b.node);
    const image_counts &u = a.used, &v = b.used;
    return std::memcmp(na + from, nb + from, sizeof a.node - from) == 0 && u.groups == v.groups &&
           u.types == v.types && u.pools == v.pools && u.counters == v.counters && u.sizes == v.sizes &&
           u.trace == v.trace && equal(a.groups, b.groups, u.groups) && equal(a.types, b.types, u.types) &&
           equal(a.pools, b.pools, u.pools) && equal(a.lengths, b.lengths, u.pools * TAV_STAT_COUNT) &&
           equal(a.counters, b.counters, u.counters) && equal(a.sizes, b.sizes, u.sizes) &&
           equal(a.trace, b.trace, u.trace);
}

template <std::size_t N> std::string record_name(const char (&name)[N]) { return {name, ::strnlen(name, N)}; }

// The records of a complete reading.
inline void make_records(const image &img, snapshot &s)
{
    const image_counts &u = img.used;
    s = snapshot{};
    for (std::size_t i = 0; i < u.groups; ++i) {
        const tavgroup &g = img.groups[i];
        s.groups.push_back({group_handle::of_index(static_cast<uint32_t>(i)), g.inuse != 0,
                            record_name(g.name), g.ntypes, g.bmax, g.balloc, g.failcount, g.bigcount});
    }
    for (std::size_t i = 0; i < u.types; ++i) {
        const tavtype &t = img.types[i];
        s.types.push_back({type_handle::of_index(static_cast<uint32_t>(i)), t.inuse != 0, record_name(t.name),
                           t.gindex, t.defsize, t.bmax, t.pidx, t.balloc, t.failcount});
    }
    std::size_t at = 0;
    for (std::size_t i = 0; i < u.pools; ++i) {
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
        std::vector<uint32_t> *kept[TAV_STAT_COUNT] = {&r.by_type.blocks,
                                                       &r.by_type.peak_blocks,
                                                       &r.by_type.allocations,
                                                       &r.by_type.releases,
                                                       nullptr,
                                                       nullptr}; // afail and ffail: never set
        for (std::size_t k = 0; k < TAV_STAT_COUNT; ++k) {
            const uint32_t len = img.lengths[i * TAV_STAT_COUNT + k];
            const auto first = img.counters.begin() + static_cast<std::ptrdiff_t>(at);
            if (kept[k] != nullptr) kept[k]->assign(first, first + len);
            at += len;
        }
        s.pools.push_back(std::move(r));
    }
    for (std::size_t i = 0; i < u.sizes; ++i)
        s.size_classes.push_back({img.sizes[i].bsize, img.sizes[i].pindex});

    s.trace_wraps = img.node.tracewraps;
    if (u.trace != 0) {
        s.trace_capacity = img.node.tracesize;
        // Once wrapped, the oldest entry is the next to be overwritten.
        const uint32_t next = img.node.tracenext;
        const uint32_t count = s.trace_wraps > 0 ? s.trace_capacity : next;
        const uint32_t first = s.trace_wraps > 0 ? next : 0;
        for (uint32_t k = 0; k < count; ++k) {
            const tavtrace &e = img.trace[(first + k) % s.trace_capacity];
            s.trace.push_back({e.op, e.size, address_of(e.ptr), address_of(e.caller)});
        }
    }
}

} // namespace detail

// The snapshot of the tavnode at node_address, read through src, bounded by
// lim. Another process's records can change while they are read, so each
// reading is repeated until two in a row agree, at most lim.attempts times;
// out.settled tells whether they did (if not, out holds the last reading).
template <memory_source S> snapshot_error read_snapshot(S &src, std::uintptr_t node_address, snapshot &out,
                                                        const snapshot_limits &lim = {})
{
    detail::image a, b;
    bool have = false;
    const auto fail = [](detail::fill_result r) {
        return r == detail::fill_result::unreadable ? snapshot_error::unreadable
                                                    : snapshot_error::implausible;
    };
    for (int left = std::max(lim.attempts, 1); left > 0; --left) {
        detail::fill_result r = detail::fill(src, node_address, a, lim);
        if (r == detail::fill_result::grow) a.grow(0);
        if (r != detail::fill_result::done) {
            if (r != detail::fill_result::grow) return fail(r);
            continue;
        }
        have = true;
        r = detail::fill(src, node_address, b, lim);
        if (r == detail::fill_result::grow) b.grow(0);
        if (r != detail::fill_result::done) {
            if (r != detail::fill_result::grow) return fail(r);
            continue;
        }
        if (detail::same_image(a, b)) {
            detail::make_records(a, out);
            return snapshot_error::none;
        }
    }
    out = snapshot{};
    if (have) detail::make_records(a, out);
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
    return s;
}

} // namespace tav

#endif // TAV_CXX_TOO_OLD
