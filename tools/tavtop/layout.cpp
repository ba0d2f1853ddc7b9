#include "layout.hpp"

#include "terminal_text.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tavtop {

std::string compact(double v, int width)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.0f", v);
    if (static_cast<int>(std::string_view(buf).size()) <= width) return fit(buf, width, true);
    static constexpr char units[] = "kMGTPE";
    for (const char unit : std::string_view(units)) {
        v /= 1000;
        for (int decimals = 1; decimals >= 0; --decimals) {
            std::snprintf(buf, sizeof buf, "%.*f%c", decimals, v, unit);
            if (static_cast<int>(std::string_view(buf).size()) <= width) return fit(buf, width, true);
        }
    }
    return fit("*", width, true);
}

std::string age(double seconds)
{
    const auto s = static_cast<long long>(std::max(seconds, 0.0));
    char buf[32];
    if (s < 60)
        std::snprintf(buf, sizeof buf, "%llds", s);
    else if (s < 3600)
        std::snprintf(buf, sizeof buf, "%lldm%02llds", s / 60, s % 60);
    else if (s < 86400)
        std::snprintf(buf, sizeof buf, "%lldh%02lldm", s / 3600, s % 3600 / 60);
    else
        std::snprintf(buf, sizeof buf, "%lldd%02lldh", s / 86400, s % 86400 / 3600);
    return buf;
}

namespace {

template <auto field> std::string number(const row &r, int w)
{
    return compact(static_cast<double>(r.*field), w);
}
std::string name(const row &r, int w) { return fit_ends(shown(r.name), w); }
std::string group(const row &r, int w) { return fit(shown(r.group), w); }
std::string budget(const row &r, int w)
{
    return r.budget > 0 ? compact(static_cast<double>(r.budget), w) : fit("-", w, true);
}
std::string use(const row &r, int w)
{
    if (r.budget <= 0) return fit("", w);
    return compact(std::floor(100.0 * static_cast<double>(r.bytes) / static_cast<double>(r.budget)), w - 1) +
           "%";
}
std::string max_blocks(const row &r, int w)
{
    return r.max_blocks > 0 ? number<&row::max_blocks>(r, w) : fit("-", w, true);
}

constexpr column type_columns[] = {
    {"NAME", 0, 0, true, name},
    {"GROUP", 12, 6, true, group},
    {"BYTES", 9, 1, false, number<&row::bytes>},
    {"BUDGET", 9, 7, false, budget},
    {"USE", 5, 8, false, use},
    {"BLOCKS", 8, 2, false, number<&row::blocks>},
    {"REFUSED", 8, 3, false, number<&row::refusals>},
    {"BYTES/S", 9, 5, false, number<&row::bytes_rate>},
    {"ALLOCS/S", 9, 4, false, number<&row::alloc_rate>},
};
constexpr column group_columns[] = {
    {"NAME", 0, 0, true, name},
    {"BYTES", 9, 1, false, number<&row::bytes>},
    {"BUDGET", 9, 4, false, budget},
    {"USE", 5, 6, false, use},
    {"TYPES", 7, 5, false, number<&row::types>},
    {"REFUSED", 8, 2, false, number<&row::refusals>},
    {"OVERSIZE", 8, 7, false, number<&row::oversize>},
    {"BYTES/S", 9, 3, false, number<&row::bytes_rate>},
};
constexpr column pool_columns[] = {
    {"POOL", 0, 0, true, name},
    {"BYTES", 9, 1, false, number<&row::bytes>},
    {"BLOCKS", 8, 2, false, number<&row::blocks>},
    {"PEAK", 8, 3, false, number<&row::peak>},
    {"MAX", 8, 7, false, max_blocks},
    {"ALLOCS", 10, 6, false, number<&row::allocs>},
    {"REL.FAIL", 8, 5, false, number<&row::refusals>},
    {"ALLOCS/S", 9, 4, false, number<&row::alloc_rate>},
};

constexpr int least_name = 12, most_name = 40;

} // namespace

std::span<const column> columns_of(view v)
{
    switch (v) {
    case view::groups:
        return group_columns;
    case view::pools:
        return pool_columns;
    case view::types:
        break;
    }
    return type_columns;
}

layout lay_out(view v, int width)
{
    const std::span<const column> all = columns_of(v);
    std::vector<const column *> by_priority;
    for (const column &c : all)
        if (c.width > 0) by_priority.push_back(&c);
    std::sort(by_priority.begin(), by_priority.end(),
              [](const column *a, const column *b) { return a->priority < b->priority; });
    int used = least_name;
    std::size_t kept = 0;
    while (kept < by_priority.size() && used + 1 + by_priority[kept]->width <= width)
        used += 1 + by_priority[kept++]->width;
    layout l;
    l.name_width = std::clamp(width - (used - least_name), 1, most_name);
    for (const column &c : all)
        if (c.width == 0 ||
            std::find(by_priority.begin(), by_priority.begin() + static_cast<std::ptrdiff_t>(kept), &c) !=
                by_priority.begin() + static_cast<std::ptrdiff_t>(kept))
            l.shown.push_back(&c);
    return l;
}

std::string header_line(const layout &l)
{
    std::string line;
    for (const column *c : l.shown) {
        if (!line.empty()) line += ' ';
        line += fit(c->title, c->width == 0 ? l.name_width : c->width, !c->left);
    }
    return line;
}

std::string row_line(const layout &l, const row &r)
{
    std::string line;
    for (const column *c : l.shown) {
        if (!line.empty()) line += ' ';
        line += c->cell(r, c->width == 0 ? l.name_width : c->width);
    }
    return line;
}

} // namespace tavtop
