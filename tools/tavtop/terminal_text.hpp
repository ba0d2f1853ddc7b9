// Text on its way to a terminal. Everything tavtop shows from a target (its
// names, its process name, paths and symbol names in messages) passes through
// shown(), the one sanitiser; the live view's cells are then cut to their
// width in columns, not bytes.
#pragma once
#include <string>
#include <string_view>

namespace tavtop {
// Printable (tav::printable: control bytes and invalid UTF-8 as \xNN), and
// ASCII only unless the terminal's character set is UTF-8.
std::string shown(std::string_view raw);
// "tavtop: " and the message, shown, on standard error.
void complain(std::string_view message);
// Shown text in exactly `width` columns: cut, or padded on the right (or on
// the left when `right`).
std::string fit(std::string_view text, int width, bool right = false);
// The same, cut in the middle ("~") when too wide: the end tells names apart.
std::string fit_ends(std::string_view text, int width);
// Shown text in at least `width` columns: padded on the right, never cut.
std::string pad(std::string_view text, int width);
} // namespace tavtop
