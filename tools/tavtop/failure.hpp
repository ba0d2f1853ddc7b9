// The one kind of error tavtop reports: a single line for the user, then a non-zero exit.
#pragma once
#include <stdexcept>
#include <string>

namespace tavtop {
struct failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
} // namespace tavtop
