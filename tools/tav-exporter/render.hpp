// A collection as the text of one scrape: every host's families (tav/exposition.hpp)
// labelled with its pid and comm, then tav_up and tav_process_info for each
// host, then the exporter's own figures.
#pragma once
#include <string>

#include <tav/exposition.hpp>

#include "collector.hpp"

namespace tav::exporter {
std::string render(const collection &c, text_format f);
} // namespace tav::exporter
