#include "host/books.hpp"

#include <pthread.h>

#include <cstring>
#include <vector>

// The block structures' self-check, exported by test builds of the library only.
extern "C" int tav_debug_blocks_sound(void) __attribute__((weak));

namespace host {
namespace {

tavblkhdr header(const void *ptr)
{
    tavblkhdr h;
    std::memcpy(&h, static_cast<const char *>(ptr) - sizeof h, sizeof h);
    return h;
}

} // namespace

int32_t block_size(const void *ptr) { return header(ptr).size; }

std::string books_problem(std::span<const Held> held, bool per_type)
{
    if (pthread_rwlock_trywrlock(&tavnode.lock) != 0) return "a call left the lock held";
    pthread_rwlock_unlock(&tavnode.lock);
    // The self-check walks both structures whole: every 256th audit is enough to catch a fault.
    static unsigned audits = 0;
    if (tav_debug_blocks_sound != nullptr && audits++ % 256 == 0 && tav_debug_blocks_sound() != 1)
        return "the block structures are unsound";
    const struct tavnode &n = tavnode;
    if (n.ngroups < 0 || n.ntypes < 0 || n.npools < 0 || (n.groups == nullptr) != (n.ngroups == 0) ||
        (n.types == nullptr) != (n.ntypes == 0) || (n.pools == nullptr) != (n.npools == 0))
        return "a negative count, or a table and its count disagree";
    uint32_t typed = 0;
    for (int32_t i = 0; i < n.ngroups; typed += n.groups[i++].ntypes)
        if (n.groups[i].index != uint32_t(i) || n.groups[i].inuse != 1) return "group record";
    if (typed != uint32_t(n.ntypes)) return "the groups' ntypes do not add up to ntypes";
    for (int32_t i = 0; i < n.ntypes; ++i) {
        const tavtype &t = n.types[i];
        if (t.index != uint32_t(i) || t.inuse != 1 || t.gindex >= uint32_t(n.ngroups) || t.pidx < -1 ||
            t.pidx >= n.npools)
            return "type record";
    }
    for (int32_t i = 0; i < n.npools; ++i) {
        const tavpool &p = n.pools[i];
        if (p.index != uint32_t(i) || p.inuse != 1) return "pool record";
        if (p.free != -int32_t(p.alloced) || p.asucc - p.fsucc != p.alloced) return "pool counters disagree";
        const tavcounters &c = p.typestats;
        for (const uint32_t *a : {c.alloced, c.apeak, c.asucc, c.fsucc, c.afail, c.ffail})
            if (TAV_COUNTERS_LENGTH(a) > uint32_t(n.ntypes)) return "counter array longer than ntypes";
    }
    std::vector<bool> seen(n.npools);
    int32_t listed = 0;
    for (const tavsizenode *s = n.sizelist; s != nullptr; s = s->next, ++listed) {
        if (listed >= n.npools || s->pindex >= uint32_t(n.npools) || seen[s->pindex])
            return "the size-class list names a pool twice or none";
        seen[s->pindex] = true;
        if (n.pools[s->pindex].size != s->bsize) return "size class differs from its pool";
        if (s->next != nullptr && s->next->bsize <= s->bsize) return "the size-class list is not ascending";
    }
    std::vector<int64_t> type_bytes(n.ntypes), group_bytes(n.ngroups);
    std::vector<uint32_t> pooled(size_t(n.npools) * size_t(n.ntypes)); // held blocks by [pool][type]
    for (const Held &b : held) {
        const tavblkhdr h = header(b.ptr);
        const uint32_t t = b.type & TAV_INDEX_MASK;
        if (h.magic != TAV_BLK_MAGIC || h.handle != b.type || (h.flags & TAV_BLK_FREED) != 0 ||
            t >= uint32_t(n.ntypes))
            return "a held block's header changed";
        type_bytes[t] += h.size;
        group_bytes[n.types[t].gindex] += h.size;
        if ((h.flags & TAV_BLK_OVERSIZE) != 0) continue;
        int32_t p = 0;
        while (p < n.npools && n.pools[p].size != h.size) ++p;
        if (p == n.npools) return "a pooled block's size is no pool's";
        ++pooled[size_t(p) * size_t(n.ntypes) + t];
    }
    if (listed != n.npools) return ""; // charged back through another class: cannot balance
    const auto wrapped = [](int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); };
    for (int32_t t = 0; t < n.ntypes; ++t)
        if (n.types[t].balloc != wrapped(type_bytes[t])) return "type charge is not its blocks' bytes";
    for (int32_t g = 0; g < n.ngroups; ++g)
        if (n.groups[g].balloc != wrapped(group_bytes[g])) return "group charge is not its blocks' bytes";
    for (int32_t p = 0; p < n.npools; ++p) {
        const tavcounters &c = n.pools[p].typestats;
        uint32_t total = 0;
        for (uint32_t t = 0; t < uint32_t(n.ntypes); ++t) {
            const uint32_t want = pooled[size_t(p) * size_t(n.ntypes) + t];
            total += want;
            if (per_type && t < TAV_COUNTERS_LENGTH(c.alloced) && c.alloced[t] != want)
                return "per-type alloced is not the held blocks";
        }
        if (n.pools[p].alloced != total || n.pools[p].apeak < total)
            return "pool alloced is not its held blocks";
    }
    return "";
}

} // namespace host
