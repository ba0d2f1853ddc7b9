// A located target read as a report: retried with a short backoff when a
// reading is unreadable or implausible (a host that is busy registering can
// be caught mid-change), bounded by a deadline whatever the target does, and
// every failure classified for the caller (tavtop's views, tav-exporter).
#pragma once
#include "locate.hpp"

#include <chrono>
#include <string>

#include <tav/report.hpp>

namespace tav::remote {

enum class read_status { ok, gone, not_permitted, unreadable, implausible, timed_out };

struct reading {
    read_status status = read_status::ok;
    tav::report report;  // ok: the rows; report.settled false when it never read the same twice
    std::string message; // otherwise the user's line (raw text from the target: make it printable)
    int attempts = 0;    // readings started
};

struct read_options {
    int attempts = 6;                           // readings, the first and its retries
    std::chrono::milliseconds first_backoff{2}; // doubled after each retry
    tav::snapshot_limits limits;
};

using clock = std::chrono::steady_clock;

// Reads on this thread: each read stops at the deadline, but one that blocks
// in the kernel is not escaped. A process whose start time differs from the
// target's is another one under the same PID: gone.
reading read_now(const target &t, clock::time_point deadline, const read_options &opt = {});

// read_now() on a thread of its own, waited for until the deadline (and a
// moment for the report to be made): timed_out when it blocks.
reading read_report(const target &t, clock::time_point deadline, const read_options &opt = {});

// The reading a blocked read_now() leaves its caller with.
reading timed_out(const target &t);

} // namespace tav::remote
