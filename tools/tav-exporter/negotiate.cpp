#include "negotiate.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

namespace tav::exporter {
namespace {

std::string lower(std::string_view s)
{
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string_view trim(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// One element of a comma-separated header: "value; name=param; q=0.5".
struct element {
    std::string value, version;
    double q = 1;
};

std::vector<element> elements(std::string_view header)
{
    std::vector<element> out;
    while (!header.empty()) {
        const auto comma = header.find(',');
        std::string_view item = header.substr(0, comma);
        header = comma == std::string_view::npos ? std::string_view{} : header.substr(comma + 1);
        element e;
        const auto semi = item.find(';');
        e.value = lower(trim(item.substr(0, semi)));
        item = semi == std::string_view::npos ? std::string_view{} : item.substr(semi + 1);
        bool valid = !e.value.empty();
        while (!item.empty()) {
            const auto next = item.find(';');
            const std::string_view param = item.substr(0, next);
            item = next == std::string_view::npos ? std::string_view{} : item.substr(next + 1);
            const auto eq = param.find('=');
            if (eq == std::string_view::npos) continue;
            const std::string name = lower(trim(param.substr(0, eq)));
            std::string value(trim(param.substr(eq + 1)));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            if (name == "version") {
                e.version = value;
            } else if (name == "q") {
                // A qvalue is 0 to 1 with at most three decimals; anything else voids the element.
                char *end = nullptr;
                e.q = std::strtod(value.c_str(), &end);
                valid = valid && !value.empty() && *end == '\0' && e.q >= 0 && e.q <= 1;
            }
        }
        if (valid) out.push_back(std::move(e));
    }
    return out;
}

// How well a media range names one format: the quality of the most specific
// matching range (type/subtype with a version, then without, then type/*,
// then */*); -1 when none matches.
struct match {
    double q = -1;
    int rank = -1;
};

match best(const std::vector<element> &ranges, std::string_view type, std::string_view version)
{
    const std::string_view major = type.substr(0, type.find('/'));
    match m;
    for (const element &r : ranges) {
        int rank = -1;
        if (r.value == type && (r.version.empty() || r.version == version))
            rank = r.version.empty() ? 2 : 3;
        else if (r.value == std::string(major) + "/*")
            rank = 1;
        else if (r.value == "*/*")
            rank = 0;
        if (rank > m.rank) m = {r.q, rank};
    }
    return m;
}

} // namespace

text_format format_for(std::string_view accept)
{
    const std::vector<element> ranges = elements(accept);
    const match om = best(ranges, "application/openmetrics-text", "1.0.0");
    const match text = best(ranges, "text/plain", "0.0.4");
    // Equal qualities go to OpenMetrics only when it was named, not reached through a wildcard.
    const bool prefer = om.q > text.q || (om.q == text.q && om.rank >= 2);
    return om.q > 0 && prefer ? text_format::openmetrics : text_format::prometheus;
}

bool wants_gzip(std::string_view accept_encoding)
{
    double named = -1, any = -1;
    for (const element &e : elements(accept_encoding)) {
        if (e.value == "gzip" || e.value == "x-gzip") named = std::max(named, e.q);
        if (e.value == "*") any = e.q;
    }
    return (named >= 0 ? named : any) > 0;
}

} // namespace tav::exporter
