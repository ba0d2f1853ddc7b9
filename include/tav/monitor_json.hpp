// The monitoring view (tav/monitor.hpp) as JSON, through nlohmann-json: stable
// keys with their units, groups and types by name, the trace only when the
// view holds it. For every record's raw fields, see tav/json.hpp.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "tav/monitor.hpp"

namespace tav {

// caller_name, when given, names each trace entry's caller (tav::describe_caller in this process).
inline nlohmann::json monitor_json(const monitor_view &v, const std::function<std::string(const void *)> &caller_name = {})
{
    using nlohmann::json;
    const auto budget = [](const std::optional<int32_t> &b) { return b ? json(*b) : json(nullptr); };
    json groups = json::array(), types = json::array(), pools = json::array();
    for (const auto &g : v.groups)
        groups.push_back({{"name", g.name},
                          {"charged_bytes", g.charged_bytes},
                          {"budget_bytes", budget(g.budget_bytes)},
                          {"refusals", g.refusals},
                          {"oversize_requests", g.oversize_requests}});
    for (const auto &t : v.types) {
        json uses = json::array();
        for (const auto &u : t.pools)
            uses.push_back({{"pool_size", u.pool_size},
                            {"blocks", u.blocks},
                            {"peak_blocks", u.peak_blocks},
                            {"allocations", u.allocations},
                            {"releases", u.releases}});
        types.push_back({{"name", t.name},
                         {"group", t.group},
                         {"charged_bytes", t.charged_bytes},
                         {"budget_bytes", budget(t.budget_bytes)},
                         {"refusals", t.refusals},
                         {"pools", std::move(uses)}});
    }
    for (const auto &p : v.pools)
        pools.push_back({{"pool_size", p.pool_size},
                         {"blocks", p.blocks},
                         {"peak_blocks", p.peak_blocks},
                         {"allocations", p.allocations},
                         {"releases", p.releases},
                         {"release_failures", p.release_failures}});
    json j = {{"schema", monitor_view::schema}, {"timestamp_ms", v.timestamp_ms}, {"groups", std::move(groups)},
              {"types", std::move(types)},      {"pools", std::move(pools)}};
    if (!v.trace.empty()) {
        json entries = json::array();
        for (const trace_entry &e : v.trace) {
            char ptr[32], caller[32];
            std::snprintf(ptr, sizeof ptr, "%p", e.ptr);
            std::snprintf(caller, sizeof caller, "%p", e.caller);
            json entry = {{"event", e.op == TAV_TRACE_ALLOC ? "alloc" : "free"},
                          {"size_bytes", e.size},
                          {"ptr", ptr},
                          {"caller", caller}};
            if (caller_name) entry["caller_name"] = caller_name(e.caller);
            entries.push_back(std::move(entry));
        }
        j["trace"] = {{"wraps", v.trace_wraps}, {"entries", std::move(entries)}};
    }
    return j;
}

// Names are bytes as registered: invalid UTF-8 is replaced (U+FFFD) rather than thrown on.
inline std::string render_json(const monitor_view &v, int indent = -1)
{
    return monitor_json(v).dump(indent, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

} // namespace tav
