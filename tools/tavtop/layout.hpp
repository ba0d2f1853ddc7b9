// The live view's columns: each view's table of columns, and the ones that
// fit the terminal. As it narrows, columns go in order of priority, never
// wrapped; the name column takes what is left.
#pragma once
#include "rows.hpp"

#include <span>
#include <string>
#include <vector>

namespace tavtop {

struct column {
    const char *title;
    int width;    // 0: the name column, which takes what is left
    int priority; // 1 stays longest
    bool left;    // text, aligned left; numbers go right
    std::string (*cell)(const row &r, int width);
};

struct layout {
    std::vector<const column *> shown; // in the table's order
    int name_width = 0;
};

std::span<const column> columns_of(view v);
layout lay_out(view v, int width);
std::string header_line(const layout &l);
std::string row_line(const layout &l, const row &r);

// A number in `width` characters: exact when it fits, else in thousands,
// millions... (k M G T P E) with as many decimals as fit.
std::string compact(double v, int width);
// A duration as top shows one: 42s, 3m12s, 5h07m, 12d03h.
std::string age(double seconds);

} // namespace tavtop
