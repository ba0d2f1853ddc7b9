// The library's books, audited from outside: what must hold after every call
// whatever the calls were. Shared by the tests and the fuzzer, so it uses
// nothing of GoogleTest.
#pragma once

#include <span>
#include <string>

#include "tav.h"

namespace host {

// A block the caller holds, with the handle it was allocated with.
struct Held {
    tavhandle type;
    void *ptr;
};

// The first thing wrong with the books, or "" when they are sound:
//  - the lock is free, the library's ledger passes its self-check (in test
//    builds, which export it), and the tables, counts and size-class list agree;
//  - each pool's free is minus its alloced, and asucc - fsucc is alloced;
//  - where every pool has its size class (else releases are charged back
//    through another class by design), the bytes charged to each type and
//    group are the sizes of their held blocks, and each pool's counters, in
//    total and per type, count exactly its held blocks.
// `held` must be every block handed out since the last shutdown and not yet
// released. Pass per_type false once a counter resize may have failed: an
// entry added later starts at 0 with blocks already out.
std::string books_problem(std::span<const Held> held, bool per_type = true);

// The size of a held block as its header records it.
int32_t block_size(const void *ptr);

} // namespace host
