// --once and each reading of -n: the type rows as plain text, for scripts and logs.
#include "rows.hpp"
#include "terminal_text.hpp"
#include "views.hpp"

#include <cstdio>

namespace tavtop {

void print_text(const target &t, const tav::report &u)
{
    const totals tot = totals_of(u);
    std::printf("process %d (%s): %zu groups, %zu types, %zu pools, %lld bytes charged, %llu refusals, "
                "%llu trace wraps%s\n",
                t.pid, shown(t.name).c_str(), tot.groups, tot.types, tot.pools,
                static_cast<long long>(tot.charged), static_cast<unsigned long long>(tot.refusals),
                static_cast<unsigned long long>(tot.wraps), u.settled ? "" : " (changing)");
    std::printf("%-32s %-32s %12s %12s %10s %12s %10s\n", "TYPE", "GROUP", "BYTES", "BUDGET", "BLOCKS",
                "ALLOCS", "REFUSED");
    std::vector<row> rows = rows_of(view::types, u);
    sort_rows(rows, order::bytes);
    for (const row &r : rows)
        std::printf("%s %s %12lld %12lld %10llu %12llu %10llu\n", pad(shown(r.name), 32).c_str(),
                    pad(shown(r.group), 32).c_str(), static_cast<long long>(r.bytes),
                    static_cast<long long>(r.budget), static_cast<unsigned long long>(r.blocks),
                    static_cast<unsigned long long>(r.allocs), static_cast<unsigned long long>(r.refusals));
}

} // namespace tavtop
