// The block layout: a 32-byte header, then the caller's data. Addresses are
// integers here: an address handed in may not be one of ours, and stepping
// a pointer outside its object is undefined.
#pragma once

#include <cstdint>

#include "tav.h"

namespace tav {

inline uintptr_t header_address(uintptr_t data) { return data - sizeof(tavblkhdr); }
inline tavblkhdr *header_of(uintptr_t data) { return reinterpret_cast<tavblkhdr *>(header_address(data)); }
inline void *data_of(tavblkhdr *h) { return h + 1; }

} // namespace tav
