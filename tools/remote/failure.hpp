// The one kind of error the tools report about a target: a single line for the user.
#pragma once
#include <stdexcept>
#include <string>

namespace tav::remote {
struct failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
} // namespace tav::remote
