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

// The longest start of `text` that fits in `width` columns: its bytes, and its columns in `used`.
std::size_t prefix(std::string_view text, int width, int &used)
{
    used = 0;
    std::mbstate_t state{};
    std::size_t i = 0;
    while (i < text.size()) {
        wchar_t wc = 0;
        std::size_t len = std::mbrtowc(&wc, text.data() + i, text.size() - i, &state);
        int cols = 1;
        if (len == static_cast<std::size_t>(-1) || len == static_cast<std::size_t>(-2) || len == 0) {
            len = 1; // not in this locale's set: shown() made such text ASCII
            state = {};
        } else {
            cols = std::max(::wcwidth(wc), 0);
        }
        if (used + cols > width) break;
        used += cols;
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

std::string pad(std::string_view text, int width)
{
    int used = 0;
    const std::size_t all = prefix(text, width, used);
    return all < text.size() ? std::string(text) : fit(text, width);
}

} // namespace tavtop
