#include "core/covering.hpp"

#include <array>

namespace tav {
namespace {

// Class sizes are positive multiples of 4, so every size up to kDirectMax has
// its answer precomputed, as a pool index: the allocation path neither walks
// the list nor loads a node for common sizes. It lives in the library's own
// data, so one loaded copy of the library serves one tavnode.
constexpr int32_t kDirectMax = 4096;
using Direct = std::array<int32_t, kDirectMax / 4 + 1>;
constinit Direct direct_pool = [] {
    Direct none{};
    none.fill(-1);
    return none;
}();

int32_t walk_classes(int32_t size)
{
    for (const tavsizenode *n = tavnode.sizelist; n != nullptr; n = n->next)
        if (size <= n->bsize) return static_cast<int32_t>(n->pindex);
    return -1;
}

} // namespace

int32_t covering_pool(int32_t size)
{
    if (size > 0 && size <= kDirectMax) return direct_pool[(size + 3) / 4];
    return walk_classes(size);
}

void rebuild_direct_classes()
{
    const tavsizenode *n = tavnode.sizelist;
    for (int32_t k = 1; k <= kDirectMax / 4; ++k) {
        while (n != nullptr && n->bsize < 4 * k) n = n->next;
        direct_pool[k] = n != nullptr ? static_cast<int32_t>(n->pindex) : -1;
    }
}

} // namespace tav
