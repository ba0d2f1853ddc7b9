#include "rows.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <unordered_map>

namespace tavtop {

totals totals_of(const tav::report &u)
{
    return {u.groups.size(), u.types.size(), u.pools.size(),
            u.charged_bytes, u.refusals,     u.trace ? u.trace->wraps : 0};
}

std::vector<row> rows_of(view v, const tav::report &u)
{
    std::vector<row> out;
    switch (v) {
    case view::types:
        out.reserve(u.types.size());
        for (const auto &t : u.types) {
            row r{t.name, t.group, t.charged_bytes, t.budget_bytes};
            r.blocks = t.blocks;
            r.allocs = t.allocations;
            r.releases = t.releases;
            r.refusals = t.refusals;
            out.push_back(std::move(r));
        }
        break;
    case view::groups:
        out.reserve(u.groups.size());
        for (const auto &g : u.groups) {
            row r{g.name, {}, g.charged_bytes, g.budget_bytes};
            r.types = g.types;
            r.refusals = g.refusals;
            r.oversize = g.oversize_allocations;
            out.push_back(std::move(r));
        }
        break;
    case view::pools:
        out.reserve(u.pools.size());
        for (const auto &p : u.pools) {
            row r{p.key, {}, static_cast<std::int64_t>(p.blocks) * p.size, 0};
            r.blocks = p.blocks;
            r.peak = p.peak_blocks;
            r.max_blocks = static_cast<std::uint64_t>(std::max(p.max_blocks, 0));
            r.allocs = p.allocations;
            r.releases = p.releases;
            r.refusals = p.release_failures;
            out.push_back(std::move(r));
        }
        break;
    }
    return out;
}

void add_rates(std::vector<row> &rows, const std::vector<row> &before, double seconds)
{
    if (!(seconds > 0)) return;
    std::unordered_map<std::string_view, const row *> old;
    old.reserve(before.size());
    for (const row &r : before) old.emplace(r.name, &r);
    for (row &r : rows) {
        const auto it = old.find(r.name);
        if (it == old.end()) continue;
        r.bytes_rate = static_cast<double>(r.bytes - it->second->bytes) / seconds;
        r.alloc_rate = (static_cast<double>(r.allocs) - static_cast<double>(it->second->allocs)) / seconds;
    }
}

void keep_matching(std::vector<row> &rows, std::string_view part)
{
    if (part.empty()) return;
    const auto same = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    };
    std::erase_if(rows, [&](const row &r) {
        return std::search(r.name.begin(), r.name.end(), part.begin(), part.end(), same) == r.name.end();
    });
}

namespace {
// Pool rows are named by their block size: those compare as numbers.
bool name_before(const std::string &a, const std::string &b)
{
    const bool na = !a.empty() && a.find_first_not_of("0123456789") == std::string::npos;
    const bool nb = !b.empty() && b.find_first_not_of("0123456789") == std::string::npos;
    if (na && nb && a.size() != b.size()) return a.size() < b.size();
    return a < b;
}
} // namespace

void sort_rows(std::vector<row> &rows, order o)
{
    const auto key = [o](const row &a, const row &b) {
        switch (o) {
        case order::bytes:
            return a.bytes > b.bytes;
        case order::refusals:
            return a.refusals > b.refusals;
        case order::rate:
            return std::abs(a.bytes_rate) + std::abs(a.alloc_rate) >
                   std::abs(b.bytes_rate) + std::abs(b.alloc_rate);
        case order::name:
            break;
        }
        return false;
    };
    std::sort(rows.begin(), rows.end(), [&](const row &a, const row &b) {
        if (key(a, b)) return true;
        if (key(b, a)) return false;
        return name_before(a.name, b.name);
    });
}

const char *view_name(view v) { return v == view::types ? "types" : v == view::groups ? "groups" : "pools"; }
const char *order_name(order o)
{
    return o == order::bytes      ? "bytes"
           : o == order::name     ? "name"
           : o == order::refusals ? "refusals"
                                  : "rate";
}

} // namespace tavtop
