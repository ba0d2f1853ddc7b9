// --once: the live view's type rows as plain text, for scripts and logs.
#include "views.hpp"
#include "rows.hpp"

#include <cstdio>

namespace tavtop {

void print_text(const target &t, const tav::report &s)
{
    const totals tot = totals_of(s);
    std::printf("process %d (%s): %zu groups, %zu types, %zu pools, %lld bytes charged, %llu refusals, "
                "%llu trace wraps%s\n",
                t.pid, t.name.c_str(), tot.groups, tot.types, tot.pools, static_cast<long long>(tot.charged),
                static_cast<unsigned long long>(tot.refusals), static_cast<unsigned long long>(tot.tracewraps),
                s.settled ? "" : " (changing)");
    std::printf("%-32s %-32s %12s %12s %10s %10s %10s\n", "TYPE", "GROUP", "BYTES", "BUDGET", "BLOCKS", "PEAK",
                "REFUSED");
    std::vector<row> rows = rows_of(view::types, s, s, 0);
    sort_rows(rows, order::bytes);
    for (const row &r : rows)
        std::printf("%-32s %-32s %12lld %12lld %10llu %10llu %10llu\n", r.name.c_str(), r.group.c_str(),
                    static_cast<long long>(r.bytes), static_cast<long long>(r.budget),
                    static_cast<unsigned long long>(r.live), static_cast<unsigned long long>(r.peak),
                    static_cast<unsigned long long>(r.refusals));
}

} // namespace tavtop
