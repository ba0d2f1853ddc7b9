#include "rows.hpp"

#include <algorithm>
#include <map>

namespace tavtop {
namespace {

// Allocations and live blocks of type t summed over the pools.
void type_pool_counts(const tav::snapshot &s, uint32_t t, row &r)
{
    for (const auto &p : s.pools) {
        r.live += p.typestat(TAV_STAT_ALLOCED, t);
        r.peak += p.typestat(TAV_STAT_APEAK, t);
        r.allocs += p.typestat(TAV_STAT_ASUCC, t);
    }
}

std::vector<row> raw_rows(view v, const tav::snapshot &s)
{
    std::vector<row> out;
    switch (v) {
    case view::types:
        for (const auto &t : s.types) {
            row r;
            r.name = t.name;
            r.group = t.gindex < s.groups.size() ? s.groups[t.gindex].name : "?";
            r.bytes = t.balloc;
            r.budget = t.bmax;
            r.refusals = t.failcount;
            type_pool_counts(s, t.index, r);
            out.push_back(std::move(r));
        }
        break;
    case view::groups:
        for (const auto &g : s.groups) {
            row r;
            r.name = g.name;
            r.bytes = g.balloc;
            r.budget = g.bmax;
            r.refusals = g.failcount;
            r.live = g.ntypes; // the group view shows its type count in the blocks column
            r.peak = g.bigcount;
            for (const auto &t : s.types)
                if (t.gindex == g.index) {
                    row tr;
                    type_pool_counts(s, t.index, tr);
                    r.allocs += tr.allocs;
                }
            out.push_back(std::move(r));
        }
        break;
    case view::pools:
        for (const auto &p : s.pools) {
            row r;
            r.name = std::to_string(p.size);
            r.bytes = static_cast<std::int64_t>(p.alloced) * p.size;
            r.budget = static_cast<std::int64_t>(p.maxblks) * p.size;
            r.live = p.alloced;
            r.peak = p.apeak;
            r.refusals = p.afail + p.ffail;
            r.allocs = p.asucc;
            out.push_back(std::move(r));
        }
        break;
    }
    return out;
}

} // namespace

totals totals_of(const tav::snapshot &s)
{
    totals t{s.groups.size(), s.types.size(), s.pools.size(), 0, 0, s.tracewraps};
    for (const auto &g : s.groups) {
        t.charged += g.balloc;
        t.refusals += g.failcount;
    }
    for (const auto &ty : s.types) t.refusals += ty.failcount;
    return t;
}

std::vector<row> rows_of(view v, const tav::snapshot &now, const tav::snapshot &before, double seconds)
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
