// The rows tavtop shows, one kind per view, made from a report; rates are the
// change per second against the rows of an earlier reading.
#pragma once
#include <tav/report.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavtop {
struct row {
    std::string name, group; // group: a type's group; empty for groups and pools
    std::int64_t bytes = 0;  // charged bytes (pools: bytes in the blocks out)
    std::int64_t budget = 0; // 0: none
    std::uint64_t blocks = 0, peak = 0, max_blocks = 0, types = 0, allocs = 0, releases = 0, refusals = 0,
                  oversize = 0;
    double bytes_rate = 0, alloc_rate = 0;
};
enum class view { types, groups, pools };
enum class order { bytes, name, refusals, rate };

struct totals {
    std::size_t groups = 0, types = 0, pools = 0;
    std::int64_t charged = 0;
    std::uint64_t refusals = 0, wraps = 0;
};

totals totals_of(const tav::report &u);
std::vector<row> rows_of(view v, const tav::report &u);
// Rates against the rows of a reading `seconds` earlier, matched by name (names are unique).
void add_rates(std::vector<row> &rows, const std::vector<row> &before, double seconds);
// Rows whose name holds `part`, letters of either case alike.
void keep_matching(std::vector<row> &rows, std::string_view part);
void sort_rows(std::vector<row> &rows, order o);
const char *view_name(view v);
const char *order_name(order o);
} // namespace tavtop
