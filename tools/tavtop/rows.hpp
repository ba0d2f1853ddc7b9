// The rows tavtop shows, computed from two snapshots (the rates are the change
// between them per second).
#pragma once
#include <tav/report.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace tavtop {
struct row {
    std::string name, group;  // group: a type's group; empty for groups and pools
    std::int64_t bytes = 0;   // charged bytes (pools: bytes in blocks out)
    std::int64_t budget = 0;  // 0: none
    std::uint64_t live = 0, peak = 0, refusals = 0, allocs = 0;
    double bytes_rate = 0, alloc_rate = 0;
};
enum class view { types, groups, pools };
enum class order { bytes, name, refusals, rate };

struct totals {
    std::size_t groups = 0, types = 0, pools = 0;
    std::int64_t charged = 0;
    std::uint64_t refusals = 0, tracewraps = 0;
};

totals totals_of(const tav::report &u);
// Rows of `v` for `now`, with rates against `before` taken `seconds` earlier (0: no rates).
std::vector<row> rows_of(view v, const tav::report &now, const tav::report &before, double seconds);
void sort_rows(std::vector<row> &rows, order o);
const char *view_name(view v);
const char *order_name(order o);
} // namespace tavtop
