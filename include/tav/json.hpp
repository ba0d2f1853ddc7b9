// A host's report (tav/report.hpp) as one JSON document (nlohmann-json), for monitoring and
// scripts: the same rows and figures as the texts of tav/exposition.hpp and
// tavtop's screens, under keys that say what they count and in which unit.
//
//   groups: name, charged_bytes, budget_bytes (null: none), types, refusals, oversize_allocations
//   types:  name, group, default_size_bytes, charged_bytes, budget_bytes, refusals, blocks,
//           allocations, releases, and per pool used: pool_size, blocks, peak_blocks, allocations, releases
//   pools:  pool_size, increment_blocks, max_blocks (null: none), blocks, peak_blocks, allocations,
//           releases, release_failures
//   trace:  only when asked for; null when the host has no trace ring
//
// Kept apart from tav.hpp so that hosts without JSON need no nlohmann.
#pragma once

#include "tav/config.hpp"
#ifndef TAV_CXX_TOO_OLD

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "tav/report.hpp"

namespace tav {

struct json_options {
    bool trace = false;                                     // the trace ring only when asked for
    std::function<std::string(std::uintptr_t)> caller_name; // names trace callers; empty: addresses only
    std::optional<std::int64_t> timestamp_ms;               // default: now (Unix epoch, ms)
};

// Bumped whenever a key changes meaning or goes away.
inline constexpr int json_schema = 2;

namespace detail {
using ojson = nlohmann::ordered_json;
inline ojson optional_bytes(int32_t b) { return b != 0 ? ojson(b) : ojson(nullptr); }
} // namespace detail

// One JSON document, ending in "\n". Apart from "timestamp_ms" it depends only
// on the rows (and on caller_name for the trace).
inline std::string render_json(const report &u, const json_options &opt = {})
{
    using detail::ojson;
    using detail::optional_bytes;
    const auto now_ms = [] {
        using namespace std::chrono;
        return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    };
    ojson j;
    j["schema"] = json_schema;
    j["timestamp_ms"] = opt.timestamp_ms.value_or(now_ms());
    j["settled"] = u.settled;
    j["groups"] = ojson::array();
    for (const group_row &g : u.groups)
        j["groups"].push_back({{"name", g.name},
                               {"charged_bytes", g.charged_bytes},
                               {"budget_bytes", optional_bytes(g.budget_bytes)},
                               {"types", g.types},
                               {"refusals", g.refusals},
                               {"oversize_allocations", g.oversize_allocations}});
    j["types"] = ojson::array();
    for (const type_row &t : u.types) {
        ojson pools = ojson::array();
        for (const type_pool_row &e : t.pools)
            pools.push_back({{"pool_size", e.pool_size},
                             {"blocks", e.blocks},
                             {"peak_blocks", e.peak_blocks},
                             {"allocations", e.allocations},
                             {"releases", e.releases}});
        j["types"].push_back({{"name", t.name},
                              {"group", t.group},
                              {"default_size_bytes", t.default_size},
                              {"charged_bytes", t.charged_bytes},
                              {"budget_bytes", optional_bytes(t.budget_bytes)},
                              {"refusals", t.refusals},
                              {"blocks", t.blocks},
                              {"allocations", t.allocations},
                              {"releases", t.releases},
                              {"pools", std::move(pools)}});
    }
    j["pools"] = ojson::array();
    for (const pool_row &p : u.pools)
        j["pools"].push_back({{"pool_size", p.size},
                              {"increment_blocks", p.increment_blocks},
                              {"max_blocks", optional_bytes(p.max_blocks)},
                              {"blocks", p.blocks},
                              {"peak_blocks", p.peak_blocks},
                              {"allocations", p.allocations},
                              {"releases", p.releases},
                              {"release_failures", p.release_failures}});
    if (opt.trace && !u.trace) j["trace"] = nullptr;
    if (opt.trace && u.trace) {
        ojson entries = ojson::array();
        for (const trace_event &e : u.trace->events) {
            ojson x = {{"event", e.event},
                       {"size_bytes", e.size},
                       {"address", hex_address(e.address)},
                       {"caller", hex_address(e.caller)}};
            if (opt.caller_name) x["caller_name"] = printable(opt.caller_name(e.caller));
            entries.push_back(std::move(x));
        }
        j["trace"] = {
            {"capacity", u.trace->capacity}, {"wraps", u.trace->wraps}, {"entries", std::move(entries)}};
    }
    return j.dump() + "\n";
}

} // namespace tav

#endif // TAV_CXX_TOO_OLD
