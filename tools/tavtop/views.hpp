// The modes of tavtop, each over a located target.
#pragma once
#include "remote/caller_names.hpp"
#include "remote/failure.hpp"
#include "remote/locate.hpp"
#include "remote/reading.hpp"

#include <chrono>

#include <tav/exposition.hpp>

namespace tavtop {
using tav::remote::caller_names;
using tav::remote::failure;
using tav::remote::target;

enum class mode { live, text, json, metrics };

struct options {
    mode how = mode::live;
    tav::text_format format = tav::text_format::openmetrics; // metrics
    double delay = 2.0;                                      // seconds between readings
    long iterations = 0;                                     // -n: readings to print; 0: one-shot or live
    double timeout = 10.0;                                   // seconds for one reading
    bool trace = false;
    static std::chrono::steady_clock::duration span(double seconds)
    {
        return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(seconds));
    }
    std::chrono::steady_clock::duration timeout_span() const { return span(timeout); }
    std::chrono::steady_clock::duration delay_span() const { return span(delay); }
};

// Runs the chosen mode; returns the exit status.
int run(const target &t, const options &opt);
int live_view(const target &t, const options &opt, tav::remote::reading first);

} // namespace tavtop
