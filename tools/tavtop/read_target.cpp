#include "read_target.hpp"

#include "remote/caller_names.hpp"
#include "remote/failure.hpp"
#include "rows.hpp"
#include "views.hpp"

#include <cstdio>
#include <tav/monitor.hpp>

namespace tavtop {

tav::snapshot read_target(const target &t, process_source &src)
{
    tav::snapshot s;
    const std::string who = "process " + std::to_string(t.pid) + " (" + t.name + ")";
    switch (tav::read_snapshot(src, t.node, s)) {
    case tav::snapshot_error::none: return s;
    case tav::snapshot_error::unreadable: throw failure(src.explain(who));
    case tav::snapshot_error::implausible: break;
    }
    throw failure(who + ": its control block holds implausible counts, lengths or pointers");
}

void print_text(const target &t, const tav::snapshot &s); // text_view.cpp
int live_view(const target &t, const options &opt);        // live_view.cpp

int run(const target &t, const options &opt)
{
    if (!opt.once && !opt.json && !opt.openmetrics) return live_view(t, opt);
    process_source src(t.pid);
    const tav::snapshot s = read_target(t, src);
    if (opt.once) {
        print_text(t, s);
        return 0;
    }
    tav::monitor_options mo;
    mo.trace = opt.trace;
    caller_names names(t.pid, t.maps);
    if (opt.trace) mo.caller_name = [&names](std::uintptr_t a) { return names(a); };
    const std::string out = opt.json ? tav::render_json(s, mo) : tav::render_openmetrics(s, mo);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

} // namespace tavtop
