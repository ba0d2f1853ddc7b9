// The modes that print and exit: --once, --json, --openmetrics and
// --prometheus read once; -n reads N times, -d apart, as top -b does.
#include "terminal_text.hpp"
#include "views.hpp"

#include <cstdio>
#include <thread>

#include <tav/json.hpp>

namespace tavtop {

void print_text(const target &t, const tav::report &u); // text_view.cpp

namespace {

void print(const target &t, const options &opt, const tav::report &u, caller_names &names)
{
    if (opt.how == mode::text) {
        print_text(t, u);
        return;
    }
    std::string out;
    if (opt.how == mode::json) {
        tav::json_options jo;
        jo.trace = opt.trace;
        if (opt.trace) jo.caller_name = [&names](std::uintptr_t a) { return names(a); };
        out = tav::render_json(u, jo);
    } else {
        out = tav::render_exposition(u, opt.format, {{"pid", std::to_string(t.pid)}, {"comm", t.name}});
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
}

} // namespace

int run(const target &t, const options &opt)
{
    using clock = std::chrono::steady_clock;
    auto started = clock::now();
    tav::remote::reading r = tav::remote::read_report(t, started + opt.timeout_span());
    if (opt.how == mode::live) {
        if (r.status != tav::remote::read_status::ok) {
            complain(r.message);
            return 1;
        }
        return live_view(t, opt, std::move(r));
    }
    caller_names names(t.pid, t.maps); // symbols are read only for callers that are named
    int status = 0;
    for (long i = 0, n = std::max(opt.iterations, 1L);;) {
        if (r.status == tav::remote::read_status::ok) {
            print(t, opt, r.report, names);
            std::fflush(stdout);
        } else {
            complain(r.message);
            status = 1;
            if (r.status == tav::remote::read_status::gone) break;
        }
        if (++i == n) break;
        std::this_thread::sleep_until(started + opt.delay_span());
        if (opt.how == mode::text) std::putchar('\n');
        started = clock::now();
        r = tav::remote::read_report(t, started + opt.timeout_span());
    }
    return status;
}

} // namespace tavtop
