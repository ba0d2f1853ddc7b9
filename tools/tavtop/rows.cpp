#include "rows.hpp"

#include <algorithm>
#include <map>

namespace tavtop {
namespace {

std::vector<row> raw_rows(view v, const tav::report &u)
{
    std::vector<row> out;
    switch (v) {
    case view::types:
        for (const auto &t : u.types) {
            row r;
            r.name = t.name;
            r.group = t.group;
            r.bytes = t.charged_bytes;
            r.budget = t.budget_bytes;
            r.refusals = t.refusals;
            r.live = t.blocks;
            r.allocs = t.allocations;
            out.push_back(std::move(r));
        }
        break;
    case view::groups:
        for (const auto &g : u.groups) {
            row r;
            r.name = g.name;
            r.bytes = g.charged_bytes;
            r.budget = g.budget_bytes;
            r.refusals = g.refusals;
            r.live = g.types; // the group view shows its type count in the blocks column
            r.peak = g.oversize_allocations;
            out.push_back(std::move(r));
        }
        break;
    case view::pools:
        for (const auto &p : u.pools) {
            row r;
            r.name = p.key;
            r.bytes = static_cast<std::int64_t>(p.blocks) * p.size;
            r.budget = static_cast<std::int64_t>(p.max_blocks) * p.size;
            r.live = p.blocks;
            r.peak = p.peak_blocks;
            r.refusals = p.release_failures;
            r.allocs = p.allocations;
            out.push_back(std::move(r));
        }
        break;
    }
    return out;
}

} // namespace

totals totals_of(const tav::report &u)
{
    return {u.groups.size(), u.types.size(), u.pools.size(), u.charged_bytes, u.refusals,
            u.trace ? u.trace->wraps : 0};
}

std::vector<row> rows_of(view v, const tav::report &now, const tav::report &before, double seconds)
{
    std::vector<row> rows = raw_rows(v, now);
    if (seconds <= 0) return rows;
    // Rows are matched by name: records are never removed, but a new one may appear.
    std::map<std::string, const row *> old;
    const std::vector<row> prev = raw_rows(v, before);
    for (const row &r : prev) old[r.group + '\0' + r.name] = &r;
    for (row &r : rows) {
        const auto it = old.find(r.group + '\0' + r.name);
        if (it == old.end()) continue;
        r.bytes_rate = static_cast<double>(r.bytes - it->second->bytes) / seconds;
        r.alloc_rate = static_cast<double>(r.allocs) - static_cast<double>(it->second->allocs);
        r.alloc_rate /= seconds;
    }
    return rows;
}

// Pool rows are named by their block size: those compare as numbers.
bool name_before(const std::string &a, const std::string &b)
{
    const bool na = !a.empty() && a.find_first_not_of("0123456789") == std::string::npos;
    const bool nb = !b.empty() && b.find_first_not_of("0123456789") == std::string::npos;
    if (na && nb && a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

void sort_rows(std::vector<row> &rows, order o)
{
    auto key = [o](const row &a, const row &b) {
        switch (o) {
        case order::bytes: return a.bytes > b.bytes;
        case order::refusals: return a.refusals > b.refusals;
        case order::rate: return a.bytes_rate + a.alloc_rate > b.bytes_rate + b.alloc_rate;
        case order::name: break;
        }
        return name_before(a.name, b.name);
    };
    std::stable_sort(rows.begin(), rows.end(), [&](const row &a, const row &b) {
        if (key(a, b)) return true;
        if (key(b, a)) return false;
        return name_before(a.name, b.name);
    });
}

const char *view_name(view v) { return v == view::types ? "types" : v == view::groups ? "groups" : "pools"; }
const char *order_name(order o)
{
    return o == order::bytes ? "bytes" : o == order::name ? "name" : o == order::refusals ? "refusals" : "rate";
}

} // namespace tavtop
