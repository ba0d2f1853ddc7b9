#include "registry/sizelist.hpp"

#include <cstdlib>

#include "core/covering.hpp"
#include "tav.h"

namespace tav {

bool sizelist_insert(int32_t bsize, uint32_t pindex)
{
    auto *node = static_cast<tavsizenode *>(std::calloc(1, sizeof(tavsizenode)));
    if (node == nullptr) return false;
    node->bsize = bsize;
    node->pindex = pindex;

    tavsizenode **link = &tavnode.sizelist;
    if (*link != nullptr && bsize >= (*link)->bsize) {
        tavsizenode *after = *link;
        while (after->next != nullptr && after->next->bsize <= bsize) after = after->next;
        link = &after->next;
    }
    node->next = *link;
    *link = node;
    rebuild_direct_classes();
    return true;
}

void sizelist_release()
{
    while (tavnode.sizelist != nullptr) {
        tavsizenode *node = tavnode.sizelist;
        tavnode.sizelist = node->next;
        std::free(node);
    }
    rebuild_direct_classes();
}

} // namespace tav
