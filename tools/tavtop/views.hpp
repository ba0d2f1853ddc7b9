// The modes of tavtop, each over a located target.
#pragma once
#include "locate.hpp"

namespace tavtop {
struct options {
    double delay = 2.0;
    bool once = false, json = false, openmetrics = false, trace = false;
};
// Runs the chosen mode; returns the exit status. Throws failure.
int run(const target &t, const options &opt);
} // namespace tavtop
