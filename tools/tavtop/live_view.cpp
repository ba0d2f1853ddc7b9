// The full-screen live view: refreshed every -d seconds, keys to sort and switch views.
#include "remote/caller_names.hpp"
#include "remote/failure.hpp"
#include "remote/process_source.hpp"
#include "read_target.hpp"
#include "rows.hpp"
#include "views.hpp"

#include <chrono>
#include <ncurses.h>

namespace tavtop {
namespace {

using clock_type = std::chrono::steady_clock;

void draw_bar(int y, int x, int width, std::int64_t used, std::int64_t budget)
{
    if (budget <= 0 || width <= 2) return;
    const int fill = static_cast<int>(std::min<std::int64_t>(used, budget) * (width - 2) / budget);
    mvaddch(y, x, '[');
    for (int i = 0; i < width - 2; ++i) addch(i < fill ? '#' : ' ');
    addch(']');
}

void draw(const target &t, const tav::report &s, const std::vector<row> &rows, view v, order o,
          double uptime, bool trace, caller_names &names, const std::string &status)
{
    erase();
    const totals tot = totals_of(s);
    mvprintw(0, 0, "tavtop - %s (%d)  up %.0fs  groups %zu  types %zu  pools %zu  charged %lld  refusals %llu  wraps %llu%s",
             t.name.c_str(), t.pid, uptime, tot.groups, tot.types, tot.pools, static_cast<long long>(tot.charged),
             static_cast<unsigned long long>(tot.refusals), static_cast<unsigned long long>(tot.tracewraps),
             s.settled ? "" : "  (changing)");
    mvprintw(1, 0, "view %s, sorted by %s   keys: b n r s sort  t g p view  x trace  q quit", view_name(v), order_name(o));
    if (!status.empty()) mvprintw(LINES - 1, 0, "%s", status.c_str());
    attron(A_REVERSE);
    mvprintw(2, 0, "%-24s %-16s %12s %12s %-12s %8s %8s %8s %10s %9s", v == view::pools ? "POOL" : "NAME",
             v == view::types ? "GROUP" : "", "BYTES", "BUDGET", "USE", v == view::groups ? "TYPES" : "BLOCKS",
             v == view::groups ? "OVERSIZE" : "PEAK", "REFUSED", "BYTES/S", "ALLOCS/S");
    attroff(A_REVERSE);
    int y = 3;
    if (trace) {
        const std::vector<tav::trace_event> none;
        const auto &events = s.trace ? s.trace->events : none;
        for (auto it = events.rbegin(); it != events.rend() && y < LINES - 1; ++it, ++y)
            mvprintw(y, 0, "%-7s %8u  %-16s %s", it->event, it->size, tav::hex_address(it->address).c_str(),
                     names(it->caller).c_str());
    } else {
        for (const row &r : rows) {
            if (y >= LINES - 1) break;
            mvprintw(y, 0, "%-24.24s %-16.16s %12lld %12lld", r.name.c_str(), r.group.c_str(),
                     static_cast<long long>(r.bytes), static_cast<long long>(r.budget));
            draw_bar(y, 67, 12, r.bytes, r.budget);
            mvprintw(y, 80, "%8llu %8llu %8llu %10.0f %9.1f", static_cast<unsigned long long>(r.live),
                     static_cast<unsigned long long>(r.peak), static_cast<unsigned long long>(r.refusals),
                     r.bytes_rate, r.alloc_rate);
            ++y;
        }
    }
    refresh();
}

} // namespace

int live_view(const target &t, const options &opt)
{
    process_source src(t.pid);
    caller_names names(t.pid, t.maps);
    tav::report before = read_target(t, src); // errors before the screen is taken
    tav::report now = before;
    initscr();
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    curs_set(0);
    const auto start = clock_type::now();
    auto taken = start, prev = start;
    view v = view::types;
    order o = order::bytes;
    bool trace = false, gone = false;
    std::string status;
    for (;;) {
        const double span = std::chrono::duration<double>(taken - prev).count();
        std::vector<row> rows = rows_of(v, now, before, span);
        sort_rows(rows, o);
        draw(t, now, rows, v, o, std::chrono::duration<double>(clock_type::now() - start).count(), trace, names,
             status);
        timeout(static_cast<int>(opt.delay * 1000));
        const int key = getch();
        switch (key) {
        case 'q': endwin(); return gone ? 1 : 0;
        case 'b': o = order::bytes; continue;
        case 'n': o = order::name; continue;
        case 'r': o = order::refusals; continue;
        case 's': o = order::rate; continue;
        case 't': v = view::types; trace = false; continue;
        case 'g': v = view::groups; trace = false; continue;
        case 'p': v = view::pools; trace = false; continue;
        case 'x': trace = !trace; continue;
        case KEY_RESIZE: continue;
        default: break;
        }
        if (gone) continue;
        try {
            tav::report next = read_target(t, src);
            before = std::move(now);
            now = std::move(next);
            prev = taken;
            taken = clock_type::now();
        } catch (const failure &e) {
            gone = true;
            status = std::string("") + e.what() + "; press q";
        }
    }
}

} // namespace tavtop
