// A host's report (tav/report.hpp) as text for a Prometheus scrape, in either of the two
// formats a scraper may ask for: the Prometheus text format 0.0.4 or
// OpenMetrics 1.0. One table of metric families drives both, for one host or
// for many (each host's series carry its own labels, such as pid and comm).
//
//   tav_group_charged_bytes, tav_group_budget_bytes          gauges, {group}
//   tav_group_refusals, tav_group_oversize_allocations       counters, {group}
//   tav_type_charged_bytes, tav_type_budget_bytes            gauges, {group,type}
//   tav_type_refusals                                        counter, {group,type}
//   tav_type_pool_blocks, tav_type_pool_peak_blocks          gauges, {group,type,pool_size}
//   tav_type_pool_allocations, tav_type_pool_releases        counters, {group,type,pool_size}
//   tav_pool_blocks, tav_pool_peak_blocks                    gauges, {pool_size}
//   tav_pool_allocations, tav_pool_releases,
//   tav_pool_release_failures                                counters, {pool_size}
//   tav_snapshot_settled                                     gauge: 0 when the reading never settled
//
// Counters are named without "_total" here; each format adds it where it
// belongs. Budgets appear only where there is one.
#pragma once

#include "tav/config.hpp"
#ifndef TAV_CXX_TOO_OLD

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "tav/report.hpp"

namespace tav {

enum class text_format { prometheus, openmetrics };

// The Content-Type of each format, as a scraper's Accept header names it.
inline constexpr std::string_view content_type(text_format f)
{
    return f == text_format::openmetrics ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
                                         : "text/plain; version=0.0.4; charset=utf-8";
}

enum class metric_kind { gauge, counter, info };

using metric_value = std::variant<int64_t, uint64_t, double>;

struct label {
    std::string_view name, value;
};

// A label value as both formats quote it. Values pass through printable()
// first, so nothing but valid UTF-8 without control characters gets in.
inline std::string quoted_label_value(std::string_view v)
{
    std::string out;
    for (const char c : printable(v)) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

// Writes families one at a time: a family's header once, then all its samples,
// so that series of many hosts stay together under their family.
class exposition {
public:
    explicit exposition(text_format f) : format_(f) {}

    void family(std::string_view name, metric_kind kind, std::string_view help)
    {
        name_ = std::string(name);
        suffix_ = kind == metric_kind::counter ? "_total" : kind == metric_kind::info ? "_info" : "";
        const bool om = format_ == text_format::openmetrics;
        // OpenMetrics names the family without the suffix; the 0.0.4 text has no info type.
        const std::string declared = om ? name_ : name_ + suffix_;
        const char *type = kind == metric_kind::gauge     ? "gauge"
                           : kind == metric_kind::counter ? "counter"
                           : om                           ? "info"
                                                          : "gauge";
        text_ += "# HELP " + declared + " " + std::string(help) + "\n";
        text_ += "# TYPE " + declared + " " + type + "\n";
    }

    void sample(std::span<const label> labels, metric_value value)
    {
        text_ += name_ + suffix_;
        const char *sep = "{";
        for (const label &l : labels) {
            text_ += sep + std::string(l.name) + "=\"" + quoted_label_value(l.value) + "\"";
            sep = ",";
        }
        if (!labels.empty()) text_ += "}";
        text_ += " " + std::visit([](auto v) { return number(v); }, value) + "\n";
    }
    void sample(std::initializer_list<label> labels, metric_value value)
    {
        sample(std::span<const label>(labels.begin(), labels.size()), value);
    }

    // The whole text; OpenMetrics ends it with "# EOF".
    std::string finish()
    {
        if (format_ == text_format::openmetrics) text_ += "# EOF\n";
        return std::move(text_);
    }

private:
    static std::string number(int64_t v) { return std::to_string(v); }
    static std::string number(uint64_t v) { return std::to_string(v); }
    static std::string number(double v)
    {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.9g", v);
        return buf;
    }

    text_format format_;
    std::string name_, suffix_, text_;
};

// One host's rows and the labels its series carry (e.g. pid and comm).
struct host_report {
    const report *rows = nullptr;
    std::vector<std::pair<std::string, std::string>> labels;
    bool types = true;      // the type families
    bool type_pools = true; // the type-by-pool families
};

namespace detail {

template <class Row> struct family_of {
    std::string_view name;
    metric_kind kind;
    std::string_view help;
    std::optional<metric_value> (*value)(const Row &);
};

inline std::optional<metric_value> budget(int32_t b)
{
    return b != 0 ? std::optional<metric_value>(int64_t{b}) : std::nullopt;
}

inline constexpr family_of<group_row> group_families[] = {
    {"tav_group_charged_bytes", metric_kind::gauge, "Bytes charged to the group.",
     [](const group_row &g) -> std::optional<metric_value> { return int64_t{g.charged_bytes}; }},
    {"tav_group_budget_bytes", metric_kind::gauge, "The group's byte budget.",
     [](const group_row &g) { return budget(g.budget_bytes); }},
    {"tav_group_refusals", metric_kind::counter, "Allocations refused by the group's budget.",
     [](const group_row &g) -> std::optional<metric_value> { return g.refusals; }},
    {"tav_group_oversize_allocations", metric_kind::counter, "Allocations larger than every pool.",
     [](const group_row &g) -> std::optional<metric_value> { return g.oversize_allocations; }},
};

inline constexpr family_of<type_row> type_families[] = {
    {"tav_type_charged_bytes", metric_kind::gauge, "Bytes charged to the type.",
     [](const type_row &t) -> std::optional<metric_value> { return int64_t{t.charged_bytes}; }},
    {"tav_type_budget_bytes", metric_kind::gauge, "The type's byte budget.",
     [](const type_row &t) { return budget(t.budget_bytes); }},
    {"tav_type_refusals", metric_kind::counter, "Allocations refused by the type's budget.",
     [](const type_row &t) -> std::optional<metric_value> { return t.refusals; }},
};

inline constexpr family_of<type_pool_row> type_pool_families[] = {
    {"tav_type_pool_blocks", metric_kind::gauge, "Blocks held, by type and pool.",
     [](const type_pool_row &e) -> std::optional<metric_value> { return uint64_t{e.blocks}; }},
    {"tav_type_pool_peak_blocks", metric_kind::gauge, "Most blocks held at once, by type and pool.",
     [](const type_pool_row &e) -> std::optional<metric_value> { return uint64_t{e.peak_blocks}; }},
    {"tav_type_pool_allocations", metric_kind::counter, "Blocks handed out, by type and pool.",
     [](const type_pool_row &e) -> std::optional<metric_value> { return uint64_t{e.allocations}; }},
    {"tav_type_pool_releases", metric_kind::counter, "Blocks taken back, by type and pool.",
     [](const type_pool_row &e) -> std::optional<metric_value> { return uint64_t{e.releases}; }},
};

inline constexpr family_of<pool_row> pool_families[] = {
    {"tav_pool_blocks", metric_kind::gauge, "Blocks held, by pool.",
     [](const pool_row &p) -> std::optional<metric_value> { return uint64_t{p.blocks}; }},
    {"tav_pool_peak_blocks", metric_kind::gauge, "Most blocks held at once, by pool.",
     [](const pool_row &p) -> std::optional<metric_value> { return uint64_t{p.peak_blocks}; }},
    {"tav_pool_allocations", metric_kind::counter, "Blocks handed out, by pool.",
     [](const pool_row &p) -> std::optional<metric_value> { return uint64_t{p.allocations}; }},
    {"tav_pool_releases", metric_kind::counter, "Blocks taken back, by pool.",
     [](const pool_row &p) -> std::optional<metric_value> { return uint64_t{p.releases}; }},
    {"tav_pool_release_failures", metric_kind::counter, "Releases refused because the block's type is gone.",
     [](const pool_row &p) -> std::optional<metric_value> { return uint64_t{p.release_failures}; }},
};

// The host's labels, then the row's.
inline std::vector<label> labels_of(const host_report &h, std::initializer_list<label> row)
{
    std::vector<label> all;
    all.reserve(h.labels.size() + row.size());
    for (const auto &[n, v] : h.labels) all.push_back({n, v});
    all.insert(all.end(), row.begin(), row.end());
    return all;
}

} // namespace detail

// Every family for every host, in the order of the table above.
inline void write_report(exposition &out, std::span<const host_report> hosts)
{
    using namespace detail;
    for (const auto &f : group_families) {
        out.family(f.name, f.kind, f.help);
        for (const host_report &h : hosts)
            for (const group_row &g : h.rows->groups)
                if (const auto v = f.value(g)) out.sample(labels_of(h, {{"group", g.name}}), *v);
    }
    for (const auto &f : type_families) {
        out.family(f.name, f.kind, f.help);
        for (const host_report &h : hosts)
            if (h.types)
                for (const type_row &t : h.rows->types)
                    if (const auto v = f.value(t))
                        out.sample(labels_of(h, {{"group", t.group}, {"type", t.name}}), *v);
    }
    for (const auto &f : type_pool_families) {
        out.family(f.name, f.kind, f.help);
        for (const host_report &h : hosts)
            if (h.types && h.type_pools)
                for (const type_row &t : h.rows->types)
                    for (const type_pool_row &e : t.pools)
                        if (const auto v = f.value(e))
                            out.sample(
                                labels_of(h, {{"group", t.group}, {"type", t.name}, {"pool_size", e.pool}}),
                                *v);
    }
    for (const auto &f : pool_families) {
        out.family(f.name, f.kind, f.help);
        for (const host_report &h : hosts)
            for (const pool_row &p : h.rows->pools)
                if (const auto v = f.value(p)) out.sample(labels_of(h, {{"pool_size", p.key}}), *v);
    }
    out.family("tav_snapshot_settled", metric_kind::gauge,
               "1 when two readings in a row agreed, 0 when the host kept changing while it was read.");
    for (const host_report &h : hosts) out.sample(labels_of(h, {}), int64_t{h.rows->settled ? 1 : 0});
}

// One host's whole exposition.
inline std::string render_exposition(const report &u, text_format f,
                                     std::vector<std::pair<std::string, std::string>> labels = {})
{
    exposition out(f);
    const host_report host{&u, std::move(labels)};
    write_report(out, std::span<const host_report>(&host, 1));
    return out.finish();
}

} // namespace tav

#endif // TAV_CXX_TOO_OLD
