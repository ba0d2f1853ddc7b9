// A whole text compressed as one gzip member (zlib), for scrapers that take gzip.
#pragma once
#include <string>
#include <string_view>

namespace tav::exporter {
std::string gzip(std::string_view text);
} // namespace tav::exporter
