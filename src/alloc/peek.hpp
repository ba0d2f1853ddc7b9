// Reading bytes at an address nobody vouches for: a release of an address
// the block structures do not know reads the header in front of it only through
// this, which reports memory that cannot be read instead of faulting on it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tav {

// Copies n bytes at addr into dst: false when any of them cannot be read,
// and false when the system cannot say (the call is refused or missing), so
// the caller then treats the address as unreadable.
bool peek(uintptr_t addr, void *dst, size_t n);

} // namespace tav
