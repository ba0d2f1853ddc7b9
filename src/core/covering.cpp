#include "core/covering.hpp"

namespace tav {

const tavsizenode *direct_class[kDirectMax / 4 + 1];

void rebuild_direct_classes()
{
    const tavsizenode *n = tavnode.sizelist;
    for (int32_t k = 1; k <= kDirectMax / 4; ++k) {
        while (n != nullptr && n->bsize < 4 * k) n = n->next;
        direct_class[k] = n;
    }
}

} // namespace tav
