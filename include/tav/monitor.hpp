// The monitoring view of a snapshot, rendered as JSON (nlohmann-json) or as
// OpenMetrics text for Prometheus. Both come from one list of metrics, so they
// always carry the same figures under the same names:
//
//   groups by name: charged_bytes, budget_bytes (null: none), refusals, oversize_allocations
//   types by name, with their group's name: the same, default_size_bytes, and
//     per pool they used: blocks, peak_blocks, allocations, releases, release_failures
//   pools by block size: increment_blocks, max_blocks (null: none) and the same five
//
// Fields that never change (free, chunk counters, allocation failures per pool)
// and records not in use are left out.
#pragma once

#include "tav/config.hpp"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tav/snapshot.hpp"

namespace tav {

struct monitor_options {
    bool trace = false;                                     // the trace ring only when asked for
    std::function<std::string(std::uintptr_t)> caller_name; // names trace callers; empty: addresses only
    std::optional<std::int64_t> timestamp_ms;               // default: now (Unix epoch, ms)
};

// Bumped whenever a key changes meaning or goes away.
inline constexpr int monitor_schema = 1;

namespace detail {

// The block counters of one pool, for all types or for one.
struct block_counts {
    uint32_t blocks, peak, allocations, releases, release_failures;
};

inline block_counts type_counts(const pool_record &p, uint32_t t)
{
    return {p.typestat(TAV_STAT_ALLOCED, t), p.typestat(TAV_STAT_APEAK, t), p.typestat(TAV_STAT_ASUCC, t),
            p.typestat(TAV_STAT_FSUCC, t), p.typestat(TAV_STAT_FFAIL, t)};
}

inline bool unused(const block_counts &c)
{
    return (c.blocks | c.peak | c.allocations | c.releases | c.release_failures) == 0;
}

// Group of a type: its name, or "" when the index leads nowhere.
inline std::string_view group_name(const snapshot &s, const type_record &t)
{
    return t.gindex < s.groups.size() ? std::string_view(s.groups[t.gindex].name) : std::string_view();
}

inline std::string hex(std::uintptr_t v)
{
    char buf[2 + 2 * sizeof v + 1];
    std::snprintf(buf, sizeof buf, "0x%jx", static_cast<std::uintmax_t>(v));
    return buf;
}

using ojson = nlohmann::ordered_json;

inline ojson budget(int32_t bmax) { return bmax > 0 ? ojson(bmax) : ojson(nullptr); }

inline void put_counts(ojson &j, const block_counts &c)
{
    j["blocks"] = c.blocks;
    j["peak_blocks"] = c.peak;
    j["allocations"] = c.allocations;
    j["releases"] = c.releases;
    j["release_failures"] = c.release_failures;
}

inline std::int64_t now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// A label value as the exposition format quotes it; bytes that are not UTF-8 become '?'.
inline std::string label_value(std::string_view v)
{
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const auto c = static_cast<unsigned char>(v[i]);
        const std::size_t len = c < 0x80         ? 1
                                : (c >> 5) == 6  ? 2
                                : (c >> 4) == 14 ? 3
                                : (c >> 3) == 30 ? 4
                                                 : 0;
        bool ok = len != 0 && i + len <= v.size();
        for (std::size_t k = 1; ok && k < len; ++k) ok = (static_cast<unsigned char>(v[i + k]) >> 6) == 2;
        if (!ok) {
            out += '?';
        } else if (c == '\\' || c == '"') {
            out += '\\';
            out += v[i];
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out.append(v.substr(i, len));
            i += len - 1;
        }
    }
    return out;
}

// One metric family of the exposition: header once, then its samples.
class exposition {
public:
    void family(std::string_view name, std::string_view type, std::string_view help)
    {
        name_ = "tav_" + std::string(name) + (type == "counter" ? "_total" : "");
        text_ += "# HELP " + name_ + " " + std::string(help) + "\n";
        text_ += "# TYPE " + name_ + " " + std::string(type) + "\n";
    }
    // labels: alternating names and values.
    template <class V> void sample(std::initializer_list<std::string_view> labels, V value)
    {
        text_ += name_ + "{";
        const char *sep = "";
        for (auto it = labels.begin(); it != labels.end(); it += 2) {
            text_ += sep + std::string(*it) + "=\"" + label_value(*(it + 1)) + "\"";
            sep = ",";
        }
        text_ += "} " + std::to_string(value) + "\n";
    }
    std::string done() { return std::move(text_) + "# EOF\n"; }

private:
    std::string text_, name_;
};

} // namespace detail

// One JSON document, ending in "\n". Apart from "timestamp_ms" it depends only
// on the snapshot (and on caller_name for the trace).
inline std::string render_json(const snapshot &s, const monitor_options &opt = {})
{
    using detail::ojson;
    ojson j;
    j["schema"] = monitor_schema;
    j["timestamp_ms"] = opt.timestamp_ms.value_or(detail::now_ms());
    j["settled"] = s.settled;
    j["groups"] = ojson::array();
    for (const group_record &g : s.groups) {
        if (g.inuse == 0) continue;
        j["groups"].push_back({{"name", g.name},
                               {"charged_bytes", g.balloc},
                               {"budget_bytes", detail::budget(g.bmax)},
                               {"refusals", g.failcount},
                               {"oversize_allocations", g.bigcount}});
    }
    j["types"] = ojson::array();
    for (std::size_t t = 0; t < s.types.size(); ++t) {
        const type_record &r = s.types[t];
        if (r.inuse == 0) continue;
        ojson pools = ojson::array();
        for (const pool_record &p : s.pools) {
            const detail::block_counts c = detail::type_counts(p, static_cast<uint32_t>(t));
            if (p.inuse == 0 || detail::unused(c)) continue;
            ojson e = {{"pool_size", p.size}};
            detail::put_counts(e, c);
            pools.push_back(std::move(e));
        }
        j["types"].push_back({{"name", r.name},
                              {"group", detail::group_name(s, r)},
                              {"default_size_bytes", r.defsize},
                              {"charged_bytes", r.balloc},
                              {"budget_bytes", detail::budget(r.bmax)},
                              {"refusals", r.failcount},
                              {"pools", std::move(pools)}});
    }
    j["pools"] = ojson::array();
    for (const pool_record &p : s.pools) {
        if (p.inuse == 0) continue;
        ojson e = {{"pool_size", p.size},
                   {"increment_blocks", p.incblks},
                   {"max_blocks", p.maxblks > 0 ? ojson(p.maxblks) : ojson(nullptr)}};
        detail::put_counts(e, {p.alloced, p.apeak, p.asucc, p.fsucc, p.ffail});
        j["pools"].push_back(std::move(e));
    }
    if (opt.trace) {
        ojson entries = ojson::array();
        for (const trace_entry &e : s.trace) {
            ojson x = {{"event", e.op == TAV_TRACE_ALLOC  ? "alloc"
                                 : e.op == TAV_TRACE_FREE ? "free"
                                                          : "unknown"},
                       {"size_bytes", e.size},
                       {"address", detail::hex(e.ptr)},
                       {"caller", detail::hex(e.caller)}};
            if (opt.caller_name) x["caller_name"] = opt.caller_name(e.caller);
            entries.push_back(std::move(x));
        }
        j["trace"] = {{"capacity", s.tracesize}, {"wraps", s.tracewraps}, {"entries", std::move(entries)}};
    }
    // Names are bytes as registered: invalid UTF-8 is replaced, not thrown on.
    return j.dump(-1, ' ', false, ojson::error_handler_t::replace) + "\n";
}

// The text exposition for a Prometheus scrape, ending in "# EOF\n". Gauges for
// what is held now, counters (_total) for what only grows. Budgets appear only
// where there is one.
inline std::string render_openmetrics(const snapshot &s, const monitor_options & = {})
{
    detail::exposition m;
    const auto groups = [&](auto value) {
        for (const group_record &g : s.groups)
            if (g.inuse != 0) value(g);
    };
    const auto types = [&](auto value) {
        for (const type_record &t : s.types)
            if (t.inuse != 0) value(t);
    };
    m.family("group_charged_bytes", "gauge", "Bytes charged to the group.");
    groups([&](const group_record &g) { m.sample({"group", g.name}, g.balloc); });
    m.family("group_budget_bytes", "gauge", "The group's budget.");
    groups([&](const group_record &g) {
        if (g.bmax > 0) m.sample({"group", g.name}, g.bmax);
    });
    m.family("group_refusals", "counter", "Allocations refused by the group's budget.");
    groups([&](const group_record &g) { m.sample({"group", g.name}, g.failcount); });
    m.family("group_oversize_allocations", "counter", "Allocations larger than every pool.");
    groups([&](const group_record &g) { m.sample({"group", g.name}, g.bigcount); });

    m.family("type_charged_bytes", "gauge", "Bytes charged to the type.");
    types([&](const type_record &t) {
        m.sample({"group", detail::group_name(s, t), "type", t.name}, t.balloc);
    });
    m.family("type_budget_bytes", "gauge", "The type's budget.");
    types([&](const type_record &t) {
        if (t.bmax > 0) m.sample({"group", detail::group_name(s, t), "type", t.name}, t.bmax);
    });
    m.family("type_refusals", "counter", "Allocations refused by the type's budget.");
    types([&](const type_record &t) {
        m.sample({"group", detail::group_name(s, t), "type", t.name}, t.failcount);
    });

    struct counter_family {
        const char *name, *type, *help;
        uint32_t detail::block_counts::*field;
    };
    static constexpr counter_family families[] = {
        {"blocks", "gauge", "Blocks held.", &detail::block_counts::blocks},
        {"peak_blocks", "gauge", "Most blocks held at once.", &detail::block_counts::peak},
        {"allocations", "counter", "Blocks handed out.", &detail::block_counts::allocations},
        {"releases", "counter", "Blocks taken back.", &detail::block_counts::releases},
        {"release_failures", "counter", "Releases refused.", &detail::block_counts::release_failures}};
    for (const counter_family &f : families) {
        m.family(std::string("type_pool_") + f.name, f.type, std::string(f.help) + " By type and pool.");
        for (std::size_t t = 0; t < s.types.size(); ++t) {
            if (s.types[t].inuse == 0) continue;
            for (const pool_record &p : s.pools) {
                const detail::block_counts c = detail::type_counts(p, static_cast<uint32_t>(t));
                if (p.inuse == 0 || detail::unused(c)) continue;
                const std::string size = std::to_string(p.size);
                m.sample(
                    {"group", detail::group_name(s, s.types[t]), "type", s.types[t].name, "pool_size", size},
                    c.*f.field);
            }
        }
    }
    for (const counter_family &f : families) {
        m.family(std::string("pool_") + f.name, f.type, std::string(f.help) + " By pool.");
        for (const pool_record &p : s.pools) {
            if (p.inuse == 0) continue;
            const detail::block_counts c{p.alloced, p.apeak, p.asucc, p.fsucc, p.ffail};
            m.sample({"pool_size", std::to_string(p.size)}, c.*f.field);
        }
    }
    return m.done();
}

} // namespace tav
