// A report: what a snapshot says about memory use, as typed rows. It is the
// one model every view renders (JSON, the Prometheus and OpenMetrics texts,
// tavtop's screens, tav-exporter). Rows exist for records in use only; names are
// printable and unique within their table; peaks appear only where the
// library records them (per pool, and per type within a pool).
//
// The work is linear in what the snapshot holds: each pool's per-type
// counters are visited once, never the product of types and pools.
#pragma once

#include "tav/config.hpp"
#ifndef TAV_CXX_TOO_OLD

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tav/snapshot.hpp"

namespace tav {

// Text from a host made safe to show anywhere: valid UTF-8 with no control
// characters. Control bytes and bytes that are not UTF-8 become the four
// characters \xNN (a newline \n); everything else is kept. Applying it twice
// changes nothing.
inline std::string printable(std::string_view raw)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size();) {
        const auto c = static_cast<unsigned char>(raw[i]);
        std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool ok = len != 0 && i + len <= raw.size();
        uint32_t cp = len == 1 ? c : len == 2 ? c & 0x1Fu : len == 3 ? c & 0x0Fu : c & 0x07u;
        for (std::size_t k = 1; ok && k < len; ++k) {
            const auto next = static_cast<unsigned char>(raw[i + k]);
            ok = (next >> 6) == 2;
            cp = cp << 6 | (next & 0x3Fu);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8;
        // C0 and C1 controls and DEL are not printable.
        static constexpr uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        ok = ok && cp >= least[len] && (cp < 0xD800 || cp > 0xDFFF) && cp <= 0x10FFFF;
        if (ok && (cp < 0x20 || (cp >= 0x7F && cp < 0xA0))) ok = false, len = 1;
        if (!ok) {
            if (c == '\n') {
                out += "\\n";
            } else {
                out += "\\x";
                out += digits[c >> 4];
                out += digits[c & 15];
            }
            ++i;
            continue;
        }
        out.append(raw.substr(i, len));
        i += len;
    }
    return out;
}

inline std::string hex_address(std::uintptr_t v)
{
    char buf[2 + 2 * sizeof v + 1];
    std::snprintf(buf, sizeof buf, "0x%jx", static_cast<std::uintmax_t>(v));
    return buf;
}

// The name of a trace entry's operation.
inline const char *trace_event_name(uint32_t op)
{
    return op == TAV_TRACE_ALLOC ? "alloc" : op == TAV_TRACE_FREE ? "free" : "unknown";
}

struct group_row {
    std::string name; // printable, unique among the groups
    uint32_t index = 0;
    int32_t charged_bytes = 0, budget_bytes = 0; // budget 0: none
    uint32_t types = 0;
    uint64_t refusals = 0, oversize_allocations = 0;
};

// One pool a type has used.
struct type_pool_row {
    std::string pool; // the pool's key (its block size)
    int32_t pool_size = 0;
    uint32_t blocks = 0, peak_blocks = 0, allocations = 0, releases = 0;
};

struct type_row {
    std::string name;  // printable, unique among the types
    std::string group; // the group's row name; "?" when the type names no group in use
    uint32_t index = 0;
    int32_t default_size = 0, charged_bytes = 0, budget_bytes = 0; // budget 0: none
    uint64_t refusals = 0;
    uint64_t blocks = 0, allocations = 0, releases = 0; // over all its pools
    std::vector<type_pool_row> pools;                   // ascending block size
};

struct pool_row {
    std::string key; // the block size as text, unique among the pools
    uint32_t index = 0;
    int32_t size = 0, increment_blocks = 0, max_blocks = 0; // max 0: none
    uint32_t blocks = 0, peak_blocks = 0, allocations = 0, releases = 0, release_failures = 0;
};

struct trace_event {
    const char *event; // trace_event_name()
    uint32_t size;
    std::uintptr_t address, caller;
};

struct trace_rows {
    uint32_t capacity = 0;
    uint64_t wraps = 0;
    std::vector<trace_event> events; // oldest first
};

struct report {
    std::vector<group_row> groups; // in table order
    std::vector<type_row> types;
    std::vector<pool_row> pools;
    std::optional<trace_rows> trace; // none when the host has no trace ring
    int64_t charged_bytes = 0;       // over all groups
    uint64_t refusals = 0;           // by groups' and types' budgets
    bool settled = true;             // false: read while it kept changing
};

namespace detail {

// Makes `name` unique among `taken`: a repeat gets "#<index>" appended, as
// often as it takes (another record may be named "x#5" already).
inline std::string unique_name(std::string name, uint32_t index, std::unordered_map<std::string, int> &taken)
{
    while (taken[name]++ != 0) name += "#" + std::to_string(index);
    return name;
}

} // namespace detail

inline report report_of(const snapshot &s)
{
    report u;
    u.settled = s.settled;
    std::unordered_map<std::string, int> taken;
    std::vector<int32_t> group_at(s.groups.size(), -1), type_at(s.types.size(), -1); // record index -> row
    // Records are attributed by their position in the table, which is the
    // index their counters are kept under, whatever else they hold.
    for (uint32_t i = 0; i < s.groups.size(); ++i) {
        const group_record &g = s.groups[i];
        if (!g.in_use) continue;
        group_at[i] = static_cast<int32_t>(u.groups.size());
        u.groups.push_back({detail::unique_name(printable(g.name), i, taken), i, g.charged_bytes,
                            g.budget_bytes, g.type_count, g.refusals, g.oversize_allocations});
        u.charged_bytes += g.charged_bytes;
        u.refusals += g.refusals;
    }
    taken.clear();
    for (uint32_t i = 0; i < s.types.size(); ++i) {
        const type_record &t = s.types[i];
        if (!t.in_use) continue;
        type_at[i] = static_cast<int32_t>(u.types.size());
        type_row r;
        r.name = detail::unique_name(printable(t.name), i, taken);
        r.group = t.group_index < group_at.size() && group_at[t.group_index] >= 0
                      ? u.groups[static_cast<std::size_t>(group_at[t.group_index])].name
                      : "?";
        r.index = i;
        r.default_size = t.default_size;
        r.charged_bytes = t.charged_bytes;
        r.budget_bytes = t.budget_bytes;
        r.refusals = t.refusals;
        u.refusals += t.refusals;
        u.types.push_back(std::move(r));
    }
    taken.clear();
    for (uint32_t i = 0; i < s.pools.size(); ++i) {
        const pool_record &p = s.pools[i];
        if (!p.in_use) continue;
        u.pools.push_back({detail::unique_name(std::to_string(p.block_size), i, taken), i, p.block_size,
                           p.increment_blocks, p.max_blocks, p.blocks, p.peak_blocks, p.allocations,
                           p.releases, p.release_failures});
        // Each per-type counter once: a type appears under the pools it has used.
        const per_type_counters &c = p.by_type;
        const std::size_t n =
            std::max({c.blocks.size(), c.peak_blocks.size(), c.allocations.size(), c.releases.size()});
        const auto at = [](const std::vector<uint32_t> &a, std::size_t t) {
            return t < a.size() ? a[t] : 0u;
        };
        for (std::size_t t = 0; t < n && t < type_at.size(); ++t) {
            const type_pool_row e{u.pools.back().key,   p.block_size,         at(c.blocks, t),
                                  at(c.peak_blocks, t), at(c.allocations, t), at(c.releases, t)};
            if (type_at[t] < 0 || (e.blocks | e.peak_blocks | e.allocations | e.releases) == 0) continue;
            type_row &r = u.types[static_cast<std::size_t>(type_at[t])];
            r.blocks += e.blocks;
            r.allocations += e.allocations;
            r.releases += e.releases;
            r.pools.push_back(e);
        }
    }
    for (type_row &r : u.types)
        std::sort(r.pools.begin(), r.pools.end(),
                  [](const type_pool_row &a, const type_pool_row &b) { return a.pool_size < b.pool_size; });
    if (s.trace_capacity != 0) {
        trace_rows tr{s.trace_capacity, s.trace_wraps, {}};
        tr.events.reserve(s.trace.size());
        for (const trace_entry &e : s.trace)
            tr.events.push_back({trace_event_name(e.op), e.size, e.address, e.caller});
        u.trace = std::move(tr);
    }
    return u;
}

} // namespace tav

#endif // TAV_CXX_TOO_OLD
