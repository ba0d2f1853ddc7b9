// A debug dump of a whole snapshot as JSON (nlohmann/json): every record and
// counter the tables print, under the records' own field names. For monitoring
// use tav/monitor.hpp, whose keys say what they count and in which unit.
// Kept apart from tav.hpp so that hosts without JSON need no nlohmann.
#pragma once

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "tav/caller.hpp"
#include "tav/tav.hpp"

namespace tav {

namespace detail {
// Addresses as text: JSON numbers lose 64-bit precision in many readers.
inline std::string address_text(std::uintptr_t p)
{
    char buf[2 + 2 * sizeof(void *) + 1];
    std::snprintf(buf, sizeof buf, "0x%zx", static_cast<std::size_t>(p));
    return buf;
}

inline constexpr const char *stat_names[TAV_STAT_COUNT] = {"alloced", "apeak", "asucc",
                                                           "fsucc",   "afail", "ffail"};
} // namespace detail

inline void to_json(nlohmann::json &j, const group_record &g)
{
    j = {{"handle", g.handle.value()}, {"inuse", g.inuse}, {"index", g.index},   {"name", g.name},
         {"ntypes", g.ntypes},         {"bmax", g.bmax},   {"balloc", g.balloc}, {"failcount", g.failcount},
         {"bigcount", g.bigcount}};
}

inline void to_json(nlohmann::json &j, const type_record &t)
{
    j = {{"handle", t.handle.value()}, {"inuse", t.inuse},        {"index", t.index}, {"name", t.name},
         {"gindex", t.gindex},         {"defsize", t.defsize},    {"bmax", t.bmax},   {"pidx", t.pidx},
         {"balloc", t.balloc},         {"failcount", t.failcount}};
}

inline void to_json(nlohmann::json &j, const pool_record &p)
{
    nlohmann::json typestats = nlohmann::json::object();
    nlohmann::json chunkstats = nlohmann::json::object();
    for (int k = 0; k < TAV_STAT_COUNT; ++k) {
        typestats[detail::stat_names[k]] = p.typestats[k];
        chunkstats[detail::stat_names[k]] = p.chunkstats[k];
    }
    j = {{"handle", p.handle.value()},
         {"inuse", p.inuse},
         {"index", p.index},
         {"size", p.size},
         {"csize", p.csize},
         {"incblks", p.incblks},
         {"maxblks", p.maxblks},
         {"alloced", p.alloced},
         {"apeak", p.apeak},
         {"free", p.free},
         {"asucc", p.asucc},
         {"fsucc", p.fsucc},
         {"afail", p.afail},
         {"ffail", p.ffail},
         {"typestats", std::move(typestats)},
         {"chunkstats", std::move(chunkstats)}};
}

inline void to_json(nlohmann::json &j, const size_class &c)
{
    j = {{"bsize", c.bsize}, {"pindex", c.pindex}};
}

// Without the caller's name; snapshot_json adds it.
inline void to_json(nlohmann::json &j, const trace_entry &e)
{
    const char *event = e.op == TAV_TRACE_ALLOC ? "alloc" : e.op == TAV_TRACE_FREE ? "free" : "unknown";
    j = {{"op", e.op},
         {"event", event},
         {"size", e.size},
         {"ptr", detail::address_text(e.ptr)},
         {"caller", detail::address_text(e.caller)}};
}

// The whole snapshot. With callers, each trace entry also carries
// "caller_name" from describe_caller.
inline nlohmann::json snapshot_json(const snapshot &s, bool callers = true)
{
    nlohmann::json entries = nlohmann::json::array();
    for (const trace_entry &e : s.trace) {
        nlohmann::json j = e;
        if (callers) j["caller_name"] = describe_caller(e.caller);
        entries.push_back(std::move(j));
    }
    return {{"groups", s.groups},
            {"types", s.types},
            {"pools", s.pools},
            {"sizelist", s.sizelist},
            {"trace",
             {{"next", s.tracenext}, {"size", s.tracesize}, {"wraps", s.tracewraps}, {"entries", entries}}}};
}

// Text of snapshot_json. Names are bytes as registered: invalid UTF-8 is
// replaced (U+FFFD) rather than thrown on.
inline std::string statistics_json(const snapshot &s, int indent = -1, bool callers = true)
{
    return snapshot_json(s, callers).dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

inline std::string statistics_json(int indent = -1) { return statistics_json(take_snapshot(), indent); }

} // namespace tav
