// The monitoring view of a snapshot: groups and types by name, each type's
// blocks per pool inside it, stable keys with their units, nothing that never
// changes. One view, rendered two ways: JSON (tav/monitor_json.hpp) and the
// Prometheus text exposition format (here), which `promtool check metrics`
// accepts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tav/tav.hpp"

namespace tav {

struct monitor_pool_use { // one type's blocks of one pool
    int32_t pool_size;
    uint32_t blocks, peak_blocks, allocations, releases;
};

struct monitor_type {
    std::string name, group;
    int32_t charged_bytes;
    std::optional<int32_t> budget_bytes; // none: no budget
    uint64_t refusals;
    std::vector<monitor_pool_use> pools; // the pools this type ever used
};

struct monitor_group {
    std::string name;
    int32_t charged_bytes;
    std::optional<int32_t> budget_bytes;
    uint64_t refusals, oversize_requests;
};

struct monitor_pool {
    int32_t pool_size;
    uint32_t blocks, peak_blocks, allocations, releases, release_failures;
};

struct monitor_view {
    static constexpr int schema = 1;
    int64_t timestamp_ms = 0; // Unix time of the snapshot
    std::vector<monitor_group> groups;
    std::vector<monitor_type> types;
    std::vector<monitor_pool> pools;
    std::vector<trace_entry> trace; // oldest first; empty unless asked for
    uint64_t trace_wraps = 0;
};

inline monitor_view make_monitor_view(const snapshot &s, int64_t timestamp_ms, bool with_trace = false)
{
    const auto budget = [](int32_t b) { return b == 0 ? std::nullopt : std::optional<int32_t>(b); };
    monitor_view v;
    v.timestamp_ms = timestamp_ms;
    v.trace_wraps = s.tracewraps;
    for (const group_record &g : s.groups)
        v.groups.push_back({g.name, g.balloc, budget(g.bmax), g.failcount, g.bigcount});
    for (const pool_record &p : s.pools)
        v.pools.push_back({p.size, p.alloced, p.apeak, p.asucc, p.fsucc, p.ffail});
    for (const type_record &t : s.types) {
        monitor_type m{t.name, t.gindex < s.groups.size() ? s.groups[t.gindex].name : "", t.balloc, budget(t.bmax),
                       t.failcount, {}};
        for (const pool_record &p : s.pools) {
            const monitor_pool_use u{p.size, p.typestat(TAV_STAT_ALLOCED, t.index), p.typestat(TAV_STAT_APEAK, t.index),
                                     p.typestat(TAV_STAT_ASUCC, t.index), p.typestat(TAV_STAT_FSUCC, t.index)};
            if (u.allocations != 0 || u.blocks != 0) m.pools.push_back(u);
        }
        v.types.push_back(std::move(m));
    }
    if (with_trace) v.trace = s.trace;
    return v;
}

namespace detail {
// A label value with backslash, double quote and newline escaped.
inline std::string label_value(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

struct metric_family {
    const char *name, *type, *help;
};
} // namespace detail

// The view as Prometheus text: one family per figure, labelled by group,
// type and pool_size; budgets only where there is one.
inline std::string render_openmetrics(const monitor_view &v)
{
    using F = detail::metric_family;
    std::string out;
    const auto family = [&out](const F &f) {
        out += std::string("# HELP ") + f.name + " " + f.help + "\n# TYPE " + f.name + " " + f.type + "\n";
    };
    const auto sample = [&out](const char *name, const std::string &labels, long long value) {
        out += std::string(name) + "{" + labels + "} " + std::to_string(value) + "\n";
    };
    const auto group_label = [](const std::string &g) { return "group=\"" + detail::label_value(g) + "\""; };
    const auto type_labels = [&](const monitor_type &t) {
        return group_label(t.group) + ",type=\"" + detail::label_value(t.name) + "\"";
    };
    const auto pool_label = [](int32_t size) { return "pool_size=\"" + std::to_string(size) + "\""; };

    const F groups[] = {{"tav_group_charged_bytes", "gauge", "Bytes charged to the group's types."},
                        {"tav_group_budget_bytes", "gauge", "Byte budget of the group, where it has one."},
                        {"tav_group_refusals_total", "counter", "Allocations the group's budget refused."},
                        {"tav_group_oversize_requests_total", "counter", "Requests no pool covered."}};
    family(groups[0]);
    for (const auto &g : v.groups) sample(groups[0].name, group_label(g.name), g.charged_bytes);
    family(groups[1]);
    for (const auto &g : v.groups)
        if (g.budget_bytes) sample(groups[1].name, group_label(g.name), *g.budget_bytes);
    family(groups[2]);
    for (const auto &g : v.groups) sample(groups[2].name, group_label(g.name), static_cast<long long>(g.refusals));
    family(groups[3]);
    for (const auto &g : v.groups)
        sample(groups[3].name, group_label(g.name), static_cast<long long>(g.oversize_requests));

    const F types[] = {{"tav_type_charged_bytes", "gauge", "Bytes charged to the type."},
                       {"tav_type_budget_bytes", "gauge", "Byte budget of the type, where it has one."},
                       {"tav_type_refusals_total", "counter", "Allocations the type's budget refused."},
                       {"tav_type_blocks", "gauge", "Blocks of the type out now, per pool."},
                       {"tav_type_allocations_total", "counter", "Allocations of the type, per pool."}};
    family(types[0]);
    for (const auto &t : v.types) sample(types[0].name, type_labels(t), t.charged_bytes);
    family(types[1]);
    for (const auto &t : v.types)
        if (t.budget_bytes) sample(types[1].name, type_labels(t), *t.budget_bytes);
    family(types[2]);
    for (const auto &t : v.types) sample(types[2].name, type_labels(t), static_cast<long long>(t.refusals));
    family(types[3]);
    for (const auto &t : v.types)
        for (const auto &u : t.pools) sample(types[3].name, type_labels(t) + "," + pool_label(u.pool_size), u.blocks);
    family(types[4]);
    for (const auto &t : v.types)
        for (const auto &u : t.pools)
            sample(types[4].name, type_labels(t) + "," + pool_label(u.pool_size), u.allocations);

    const F pools[] = {{"tav_pool_blocks", "gauge", "Blocks of the size class out now."},
                       {"tav_pool_peak_blocks", "gauge", "Most blocks of the size class out at once."},
                       {"tav_pool_allocations_total", "counter", "Allocations served by the size class."},
                       {"tav_pool_releases_total", "counter", "Releases taken back by the size class."},
                       {"tav_pool_release_failures_total", "counter", "Releases refused: the block's type was gone."}};
    for (int k = 0; k < 5; ++k) {
        family(pools[k]);
        for (const auto &p : v.pools) {
            const uint32_t values[] = {p.blocks, p.peak_blocks, p.allocations, p.releases, p.release_failures};
            sample(pools[k].name, pool_label(p.pool_size), values[k]);
        }
    }
    return out;
}

} // namespace tav
