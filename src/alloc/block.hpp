// The block layout: a 32-byte header, then the caller's data. An address
// handed in may not be one of ours, and stepping a pointer outside its object
// is undefined: until the page map vouches for it, it is an integer.
#pragma once

#include <cstdint>

#include "tav.h"

namespace tav {

inline uintptr_t header_address(uintptr_t data) { return data - sizeof(tavblkhdr); }
// Only for a block the page map knows as live: one allocation, header first.
inline tavblkhdr *header_of(void *data) { return static_cast<tavblkhdr *>(data) - 1; }
inline void *data_of(tavblkhdr *h) { return h + 1; }

} // namespace tav
