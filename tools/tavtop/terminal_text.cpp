#include "terminal_text.hpp"

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <langinfo.h>

#include <tav/report.hpp>

namespace tavtop {

std::string shown(std::string_view raw)
{
    std::string text = tav::printable(raw);
    static const bool utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    if (utf8) return text;
    // Elsewhere a byte from 0x80 up may be a control (0x9b is CSI on 8-bit terminals).
    std::string ascii;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            ascii += c;
            continue;
        }
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02x", b);
        ascii += hex;
    }
    return ascii;
}

void complain(std::string_view message) { std::fprintf(stderr, "tavtop: %s\n", shown(message).c_str()); }

namespace {

// The bytes and columns of the character at the start of `text`.
std::size_t character(std::string_view text, int &cols)
{
    std::mbstate_t state{};
    wchar_t wc = 0;
    const std::size_t len = std::mbrtowc(&wc, text.data(), text.size(), &state);
    if (len == static_cast<std::size_t>(-1) || len == static_cast<std::size_t>(-2) || len == 0) {
        cols = 1; // not in this locale's set: shown() made such text ASCII
        return 1;
    }
    cols = std::max(::wcwidth(wc), 0);
    return len;
}

// The longest start of `text` that fits in `width` columns: its bytes, and its columns in `used`.
std::size_t prefix(std::string_view text, int width, int &used)
{
    used = 0;
    std::size_t i = 0;
    for (int cols = 0; i < text.size(); used += cols) {
        const std::size_t len = character(text.substr(i), cols);
        if (used + cols > width) break;
        i += len;
    }
    return i;
}

} // namespace

std::string fit(std::string_view text, int width, bool right)
{
    int used = 0;
    const std::string kept(text.substr(0, prefix(text, width, used)));
    const std::string pad(static_cast<std::size_t>(std::max(width - used, 0)), ' ');
    return right ? pad + kept : kept + pad;
}

std::string fit_ends(std::string_view text, int width)
{
    int used = 0;
    if (prefix(text, width, used) == text.size() || width < 6) return fit(text, width);
    // The end (where "#index" tells repeated names apart) in at most a third of the width.
    std::size_t from = 0;
    int tail = 0, cols = 0;
    while (prefix(text.substr(from), width / 3, tail) < text.size() - from)
        from += character(text.substr(from), cols);
    const std::size_t head = prefix(text, width - 1 - tail, used);
    return fit(std::string(text.substr(0, head)) + "~" + std::string(text.substr(from)), width);
}

std::string pad(std::string_view text, int width)
{
    int used = 0;
    const std::size_t all = prefix(text, width, used);
    return all < text.size() ? std::string(text) : fit(text, width);
}

} // namespace tavtop
