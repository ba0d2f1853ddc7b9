// Monitoring a host: its snapshot (tav/snapshot.hpp) turned into a report of
// typed rows (tav/report.hpp) and rendered as JSON (tav/json.hpp) or as the text of a
// Prometheus scrape (tav/exposition.hpp). Needs nlohmann-json for the JSON.
//
//   const tav::report r = tav::report_of(tav::take_snapshot());
//   std::string json = tav::render_json(r);
//   std::string text = tav::render_exposition(r, tav::text_format::openmetrics);
#pragma once

#include "tav/exposition.hpp"
#include "tav/json.hpp"
#include "tav/snapshot.hpp"
#include "tav/report.hpp"
