// Reading one host: the one place the exporter reads another process's memory.
#pragma once
#include <array>
#include <chrono>
#include <cstdint>
#include <string_view>

#include <tav/report.hpp>

#include "discovery.hpp"

namespace tav::exporter {

using steady = std::chrono::steady_clock;

// Why a host could not be read. `exited`: it went away meanwhile; `layout`: its
// tavnode is another libtav's; `deadline`: the scrape's time ran out first.
enum class read_error : std::uint8_t {
    none,
    exited,
    not_permitted,
    unreadable,
    implausible,
    layout,
    deadline
};
inline constexpr std::array<std::string_view, 7> read_error_names = {
    "none", "exited", "not_permitted", "unreadable", "implausible", "layout", "deadline"};

// The host's report in `out`, read as tavtop reads (the shared snapshot reader,
// bounded and retried, never writing to, stopping or locking the host),
// giving up at `deadline`. The trace ring is left out of the report.
read_error read_host(const host &h, steady::time_point deadline, report &out);

} // namespace tav::exporter
