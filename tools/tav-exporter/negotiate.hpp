// What a scraper asks for in its request headers: the text format (Accept)
// and whether it takes gzip (Accept-Encoding).
#pragma once
#include <string_view>

#include <tav/exposition.hpp>

namespace tav::exporter {

// OpenMetrics 1.0 when Accept prefers application/openmetrics-text in a
// version this exporter writes (1.0.0, or none given) over text/plain; the
// Prometheus text 0.0.4 otherwise, also when nothing acceptable is named.
text_format format_for(std::string_view accept);

// Whether Accept-Encoding takes gzip (by name, as x-gzip, or through "*").
bool wants_gzip(std::string_view accept_encoding);

} // namespace tav::exporter
