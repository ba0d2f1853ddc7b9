// One side of a host built of shared libraries with hidden visibility: its
// error codes must compare equal with the other side's.
#include "tav/tav.hpp"

[[gnu::visibility("default")]] std::error_code TAVTEST_SIDE() { return tav::register_group("app").error(); }
