// The full-screen live view: a reading every -d seconds in the background, so
// that keys are read while a reading or a large screen is being made; the
// last good screen stays up, marked stale, while readings fail.
#include "layout.hpp"
#include "remote/background.hpp"
#include "remote/proc_maps.hpp"
#include "rows.hpp"
#include "terminal.hpp"
#include "terminal_text.hpp"
#include "usage.hpp"
#include "views.hpp"

#include <algorithm>
#include <cstdio>
#include <ncurses.h>

namespace tavtop {
namespace {

using clock = std::chrono::steady_clock;
using tav::remote::read_status;
using tav::remote::reading;

constexpr int top_lines = 4; // the header: two lines about the host, the view line, the column titles

// What the screen shows and how, as the keys set it.
struct choices {
    view v = view::types;
    order o = order::bytes;
    bool trace = false, help = false, editing = false;
    std::string filter;
    long top = 0; // the first row shown
};

// The readings behind the screen.
struct readings {
    tav::report now;
    std::vector<row> before; // the rows of the reading before, for rates
    view before_view = view::types;
    clock::time_point now_at, before_at;
    std::string stale; // why the screen is not the target's present, if it is not
    bool gone = false;
};

// One screen line of text: at most the terminal's width, the rest cleared.
void put_line(int y, const std::string &text, int attrs = A_NORMAL)
{
    const int width = COLS - (y == LINES - 1 ? 1 : 0); // the last cell of the screen would scroll it
    attrset(attrs);
    mvaddstr(y, 0, fit(text, width).c_str());
    attrset(A_NORMAL);
}

std::string header(const target &t, const readings &r)
{
    std::string state = r.gone             ? "  exited; press q"
                        : !r.stale.empty() ? "  STALE: " + r.stale
                        : !r.now.settled   ? "  (changing)"
                                           : "";
    return "tavtop - " + shown(t.name) + " (" + std::to_string(t.pid) + ")  up " +
           (t.start != 0 ? age(tav::remote::seconds_since(t.start)) : "?") + shown(state);
}

std::string figures(const tav::report &u)
{
    const totals tot = totals_of(u);
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "groups %zu  types %zu  pools %zu  charged %lld  refusals %llu  wraps %llu", tot.groups,
                  tot.types, tot.pools, static_cast<long long>(tot.charged),
                  static_cast<unsigned long long>(tot.refusals), static_cast<unsigned long long>(tot.wraps));
    return buf;
}

// The rows a page shows, after scrolling: `top` kept within them.
long first_shown(choices &c, long rows, long page)
{
    c.top = std::clamp(c.top, 0L, std::max(rows - page, 0L));
    return c.top;
}

std::string place(long first, long shown_rows, long all, const std::string &filter = {})
{
    std::string s = all == 0 ? "no rows"
                             : "rows " + std::to_string(first + 1) + "-" +
                                   std::to_string(first + shown_rows) + " of " + std::to_string(all);
    if (!filter.empty()) s += ", filter \"" + shown(filter) + "\"";
    return s + "   ? help";
}

void draw_help()
{
    int y = 0;
    put_line(y++, "tavtop keys (any key to go back):", A_BOLD);
    for (const key_doc &k : key_docs())
        if (y < LINES) put_line(y++, "  " + fit(k.keys, 11) + " " + k.text);
}

void draw_trace(const tav::report &u, choices &c, caller_names &names, long page)
{
    const std::vector<tav::trace_event> none;
    const auto &events = u.trace ? u.trace->events : none;
    const long all = static_cast<long>(events.size());
    const long first = first_shown(c, all, page);
    const long count = std::min(page, all - first);
    const std::string where = u.trace
                                  ? "trace ring of " + std::to_string(u.trace->capacity) + ", newest first"
                                  : "the host has no trace ring";
    put_line(2, where + ", " + place(first, count, all));
    const int caller_width = std::max(COLS - 36, 1);
    put_line(3,
             fit("EVENT", 7) + " " + fit("SIZE", 8, true) + " " + fit("ADDRESS", 18) + " " +
                 fit("CALLER", caller_width),
             A_REVERSE);
    for (long i = 0; i < count; ++i) {
        const tav::trace_event &e = events[static_cast<std::size_t>(all - 1 - first - i)];
        put_line(top_lines + static_cast<int>(i), fit(e.event, 7) + " " + compact(e.size, 8) + " " +
                                                      fit(tav::hex_address(e.address), 18) + " " +
                                                      shown(names(e.caller)));
    }
}

void draw_rows(const std::vector<row> &rows, choices &c, long page)
{
    const layout l = lay_out(c.v, COLS);
    const long all = static_cast<long>(rows.size());
    const long first = first_shown(c, all, page);
    const long count = std::min(page, all - first);
    put_line(2, std::string("view ") + view_name(c.v) + ", sorted by " + order_name(c.o) + "   " +
                    place(first, count, all, c.filter));
    put_line(3, header_line(l), A_REVERSE);
    for (long i = 0; i < count; ++i)
        put_line(top_lines + static_cast<int>(i), row_line(l, rows[static_cast<std::size_t>(first + i)]));
}

void draw(const target &t, const readings &r, const std::vector<row> &rows, choices &c, caller_names &names)
{
    erase();
    if (LINES < top_lines + 2 || COLS < 20) {
        put_line(0, "tavtop: too small");
    } else if (c.help) {
        draw_help();
    } else {
        put_line(0, header(t, r));
        put_line(1, figures(r.now));
        const long page = LINES - top_lines - 1;
        if (c.trace)
            draw_trace(r.now, c, names, page);
        else
            draw_rows(rows, c, page);
        if (c.editing) put_line(LINES - 1, "filter: " + shown(c.filter));
    }
    refresh();
}

// A key while the filter is being typed: the filter applies as it is typed.
void edit_filter(choices &c, int key)
{
    if (key == '\n' || key == '\r' || key == KEY_ENTER) {
        c.editing = false;
    } else if (key == 27) { // Esc
        c.editing = false;
        c.filter.clear();
    } else if (key == KEY_BACKSPACE || key == 127 || key == 8) {
        while (!c.filter.empty() && (static_cast<unsigned char>(c.filter.back()) & 0xC0) == 0x80)
            c.filter.pop_back();
        if (!c.filter.empty()) c.filter.pop_back();
    } else if (key >= 0x20 && key < 0x100 && key != 0x7F) {
        c.filter += static_cast<char>(key);
    }
    c.top = 0;
}

// A key otherwise; false for q.
bool handle_key(choices &c, int key, long page)
{
    if (c.help) {
        c.help = false;
        return key != 'q';
    }
    switch (key) {
    case 'q':
        return false;
    case '?':
    case 'h':
        c.help = true;
        break;
    case 'b':
        c.o = order::bytes;
        break;
    case 'n':
        c.o = order::name;
        break;
    case 'r':
        c.o = order::refusals;
        break;
    case 's':
        c.o = order::rate;
        break;
    case 't':
    case 'g':
    case 'p':
        c.v = key == 't' ? view::types : key == 'g' ? view::groups : view::pools;
        c.trace = false, c.top = 0;
        break;
    case 'x':
        c.trace = !c.trace, c.top = 0;
        break;
    case '/':
        c.editing = true;
        break;
    case KEY_UP:
        --c.top;
        break;
    case KEY_DOWN:
        ++c.top;
        break;
    case KEY_PPAGE:
        c.top -= page;
        break;
    case KEY_NPAGE:
        c.top += page;
        break;
    case KEY_HOME:
        c.top = 0;
        break;
    case KEY_END:
        c.top = 1L << 40;
        break; // drawing brings it back to the last page
    default:
        break;
    }
    return true;
}

// The rows of the screen: the view's, filtered, with rates, sorted.
std::vector<row> screen_rows(const readings &r, const choices &c)
{
    std::vector<row> rows = rows_of(c.v, r.now);
    if (r.before_view == c.v)
        add_rates(rows, r.before, std::chrono::duration<double>(r.now_at - r.before_at).count());
    keep_matching(rows, c.filter);
    sort_rows(rows, c.o);
    return rows;
}

// A finished reading taken in: the rows before it kept for rates.
void take_in(readings &r, reading fresh, clock::time_point at, const choices &c)
{
    switch (fresh.status) {
    case read_status::ok:
        r.before = rows_of(c.v, r.now);
        r.before_view = c.v;
        r.before_at = r.now_at;
        r.now = std::move(fresh.report);
        r.now_at = at;
        r.stale.clear();
        break;
    case read_status::gone:
        r.gone = true;
        break;
    default:
        r.stale = fresh.message;
    }
}

} // namespace

int live_view(const target &t, const options &opt, reading first)
{
    readings r;
    r.now = std::move(first.report);
    r.now_at = r.before_at = clock::now();
    caller_names names(t.pid, t.maps); // symbols are read when the trace view names a caller
    tav::remote::background<reading> work;
    choices c;
    c.trace = opt.trace;
    clock::time_point started = r.now_at, next = r.now_at + opt.delay_span();
    bool dirty = true;
    std::vector<row> rows;
    terminal screen;
    timeout(200);
    for (;;) {
        const auto now = clock::now();
        if (!r.gone && work.idle() && now >= next) {
            started = now;
            work.start(
                [t, deadline = now + opt.timeout_span()] { return tav::remote::read_now(t, deadline); });
        }
        if (auto fresh = work.take()) {
            take_in(r, std::move(*fresh), started, c);
            next = started + opt.delay_span();
            dirty = true;
        } else if (work.busy() && now - started > opt.timeout_span() + std::chrono::seconds(1)) {
            r.stale = "no reading for " + age(std::chrono::duration<double>(now - started).count()) +
                      ": its memory does not answer";
        }
        if (dirty) rows = screen_rows(r, c);
        dirty = false;
        draw(t, r, rows, c, names);
        const int key = getch();
        if (key == ERR || key == KEY_RESIZE) continue;
        const view was = c.v;
        const std::string filter = c.filter;
        const order o = c.o;
        if (c.editing)
            edit_filter(c, key);
        else if (!handle_key(c, key, LINES - top_lines - 1))
            return r.gone ? 1 : 0;
        dirty = c.v != was || c.filter != filter || c.o != o;
    }
}

} // namespace tavtop
