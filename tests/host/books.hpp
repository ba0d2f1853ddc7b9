// The library's books audited from outside, by the tests and the fuzzer (so no GoogleTest).
#pragma once

#include <span>
#include <string>

#include "tav.h"

namespace host {

struct Held { // a block held, with the handle it was allocated with
    tavhandle type;
    void *ptr;
};

// The first thing wrong with the books, or "". `held` is every block handed out
// since the last shutdown and not released; per_type false skips the per-type
// counts, for after a counter resize may have failed (a late entry starts at 0).
std::string books_problem(std::span<const Held> held, bool per_type = true);

int32_t block_size(const void *ptr); // as the block's header records it

} // namespace host
