// The ascending list of size classes, one node per pool, that the covering
// walk (core/covering.hpp) runs over.
#pragma once

#include <cstdint>

namespace tav {

// Links a node for the pool at pindex; false when the node could not be
// allocated (the pool then has no size class).
bool sizelist_insert(int32_t bsize, uint32_t pindex);

// Releases every node, leaving the list empty.
void sizelist_release();

} // namespace tav
