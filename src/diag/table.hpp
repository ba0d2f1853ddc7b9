// How every table prints: an optional count line, one header line of titles,
// then one row per selected record, each line a single printf call. The
// callers hold the read lock around the whole table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <tuple>

namespace tav {

// What a table answers when it could not take the read lock: it printed nothing.
inline constexpr int32_t kTableLockFailed = -1;

template <size_t N> struct TableFormat {
    const char *count; // "... = %d.\n", or null for a table without one
    const char *header;
    const char *row;
    std::array<const char *, N> titles;
};

// The conversions of a printf format: every '%' but those of "%%".
constexpr size_t conversions(const char *format)
{
    size_t n = 0;
    for (const char *c = format; *c != '\0'; ++c)
        if (*c == '%' && *++c != '%') ++n;
    return n;
}

// Header and row each take the table's N cells; the count line takes the count.
template <size_t N> constexpr bool well_formed(const TableFormat<N> &f)
{
    return conversions(f.header) == N && conversions(f.row) == N &&
           (f.count == nullptr || conversions(f.count) == 1);
}

// Numeric cells print as signed 32-bit values, whatever the field's type.
template <class T> constexpr int num(T v) { return static_cast<int>(v); }

template <class Tuple> void print_line(const char *format, const Tuple &cells)
{
    std::apply([format](auto... c) { std::printf(format, c...); }, cells);
}

// The count line (where the table has one) and the header line.
template <size_t N> void print_heading(const TableFormat<N> &f, int32_t count)
{
    if (f.count != nullptr) std::printf(f.count, count);
    print_line(f.header, f.titles);
}

template <size_t N, class Tuple> void print_row(const TableFormat<N> &f, const Tuple &cells)
{
    static_assert(std::tuple_size_v<Tuple> == N, "one cell per column");
    print_line(f.row, cells);
}

// The heading, then row(i) for every position i below count that
// selected(i) accepts. Skipped positions still count, so "No" is always the
// record's position.
template <size_t N, class Selected, class Row>
void print_table(const TableFormat<N> &f, int32_t count, Selected selected, Row row)
{
    print_heading(f, count);
    for (int32_t i = 0; i < count; ++i)
        if (selected(i)) print_row(f, row(i));
}

} // namespace tav
