// The modes of tavtop, each over a located target.
#pragma once
#include "remote/caller_names.hpp"
#include "remote/failure.hpp"
#include "remote/locate.hpp"
#include "remote/process_source.hpp"

namespace tavtop {
using tav::remote::caller_names;
using tav::remote::failure;
using tav::remote::process_source;
using tav::remote::target;

struct options {
    double delay = 2.0;
    bool once = false, json = false, openmetrics = false, trace = false;
};
// Runs the chosen mode; returns the exit status. Throws failure.
int run(const target &t, const options &opt);
} // namespace tavtop
