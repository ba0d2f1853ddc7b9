// One reading of a located target as a report, with its failures turned into the user's line.
#pragma once
#include "remote/locate.hpp"
#include "remote/process_source.hpp"
#include "views.hpp"

#include <tav/report.hpp>

namespace tavtop {
// Throws failure: the target exited, we may not read it, or its control block is garbage.
tav::report read_target(const target &t, process_source &src);
} // namespace tavtop
