#include "read_target.hpp"

#include "remote/caller_names.hpp"
#include "remote/failure.hpp"
#include "rows.hpp"
#include "views.hpp"

#include <cstdio>
#include <tav/monitor.hpp>

namespace tavtop {

tav::report read_target(const target &t, process_source &src)
{
    tav::snapshot s;
    const std::string who = "process " + std::to_string(t.pid) + " (" + t.name + ")";
    switch (tav::read_snapshot(src, t.node, s)) {
    case tav::snapshot_error::none: return tav::report_of(s);
    case tav::snapshot_error::unreadable: throw failure(src.explain(who));
    case tav::snapshot_error::implausible: break;
    }
    throw failure(who + ": its control block holds implausible counts, lengths or pointers");
}

void print_text(const target &t, const tav::report &u); // text_view.cpp
int live_view(const target &t, const options &opt);        // live_view.cpp

int run(const target &t, const options &opt)
{
    if (!opt.once && !opt.json && !opt.openmetrics) return live_view(t, opt);
    process_source src(t.pid);
    const tav::report u = read_target(t, src);
    if (opt.once) {
        print_text(t, u);
        return 0;
    }
    tav::json_options jo;
    jo.trace = opt.trace;
    caller_names names(t.pid, t.maps);
    if (opt.trace) jo.caller_name = [&names](std::uintptr_t a) { return names(a); };
    const std::string out = opt.json ? tav::render_json(u, jo)
                                     : tav::render_exposition(u, tav::text_format::openmetrics,
                                                              {{"pid", std::to_string(t.pid)}, {"comm", t.name}});
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

} // namespace tavtop
