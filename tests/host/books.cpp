#include "host/books.hpp"

#include <pthread.h>

#include <cstring>
#include <map>
#include <vector>

// The ledger's self-check, exported by test builds of the library only.
extern "C" int tav_debug_ledger_sound(void) __attribute__((weak));

namespace host {
namespace {

std::string at(const char *what, long a, long b = -1)
{
    return std::string(what) + " (" + std::to_string(a) + (b >= 0 ? ", " + std::to_string(b) : "") + ")";
}

int32_t wrapped(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

std::string structure_problem(int32_t &listed)
{
    const struct tavnode &n = tavnode;
    if (n.ngroups < 0 || n.ntypes < 0 || n.npools < 0) return "a negative count";
    if ((n.groups == nullptr) != (n.ngroups == 0) || (n.types == nullptr) != (n.ntypes == 0) ||
        (n.pools == nullptr) != (n.npools == 0))
        return "a table and its count disagree";
    uint32_t typed = 0;
    for (int32_t i = 0; i < n.ngroups; ++i) {
        if (n.groups[i].index != uint32_t(i) || n.groups[i].inuse != 1) return at("group record", i);
        typed += n.groups[i].ntypes;
    }
    if (typed != uint32_t(n.ntypes)) return "the groups' ntypes do not add up to ntypes";
    for (int32_t i = 0; i < n.ntypes; ++i) {
        const tavtype &t = n.types[i];
        if (t.index != uint32_t(i) || t.inuse != 1 || t.gindex >= uint32_t(n.ngroups) || t.pidx < -1 ||
            t.pidx >= n.npools)
            return at("type record", i);
    }
    for (int32_t i = 0; i < n.npools; ++i) {
        const tavpool &p = n.pools[i];
        if (p.index != uint32_t(i) || p.inuse != 1) return at("pool record", i);
        if (p.free != -int32_t(p.alloced) || p.asucc - p.fsucc != p.alloced)
            return at("pool counters disagree", i);
        const tavcounters &c = p.typestats;
        for (const uint32_t *a : {c.alloced, c.apeak, c.asucc, c.fsucc, c.afail, c.ffail})
            if (TAV_COUNTERS_LENGTH(a) > uint32_t(n.ntypes)) return at("counter array longer than ntypes", i);
        for (int32_t j = 0; j < i; ++j)
            if (n.pools[j].size == p.size) return at("two pools of one size", j, i);
    }
    std::vector<bool> seen(n.npools);
    listed = 0;
    for (const tavsizenode *s = n.sizelist; s != nullptr; s = s->next, ++listed) {
        if (listed >= n.npools || s->pindex >= uint32_t(n.npools) || seen[s->pindex])
            return "the size-class list names a pool twice or none";
        seen[s->pindex] = true;
        if (n.pools[s->pindex].size != s->bsize) return at("size class differs from its pool", s->pindex);
        if (s->next != nullptr && s->next->bsize <= s->bsize) return "the size-class list is not ascending";
    }
    return "";
}

} // namespace

int32_t block_size(const void *ptr)
{
    tavblkhdr h;
    std::memcpy(&h, static_cast<const char *>(ptr) - sizeof h, sizeof h);
    return h.size;
}

std::string books_problem(std::span<const Held> held, bool per_type)
{
    if (pthread_rwlock_trywrlock(&tavnode.lock) != 0) return "a call left the lock held";
    pthread_rwlock_unlock(&tavnode.lock);
    // The self-check walks the whole ledger: every 256th audit is enough to catch a fault.
    static unsigned audits = 0;
    if (tav_debug_ledger_sound != nullptr && audits++ % 256 == 0 && tav_debug_ledger_sound() != 1)
        return "the ledger is unsound";
    int32_t listed = 0;
    if (std::string p = structure_problem(listed); !p.empty()) return p;
    const struct tavnode &n = tavnode;

    std::vector<int64_t> type_bytes(n.ntypes), group_bytes(n.ngroups);
    std::map<std::pair<int32_t, uint32_t>, uint32_t> pooled; // (pool, type) -> held blocks
    for (const Held &b : held) {
        tavblkhdr h;
        std::memcpy(&h, static_cast<const char *>(b.ptr) - sizeof h, sizeof h);
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
        ++pooled[{p, t}];
    }
    if (listed != n.npools) return ""; // charged back through another class: cannot balance
    for (int32_t t = 0; t < n.ntypes; ++t)
        if (n.types[t].balloc != wrapped(type_bytes[t])) return at("type charge is not its blocks' bytes", t);
    for (int32_t g = 0; g < n.ngroups; ++g)
        if (n.groups[g].balloc != wrapped(group_bytes[g])) return at("group charge is not its blocks' bytes", g);
    for (int32_t p = 0; p < n.npools; ++p) {
        const tavpool &pool = n.pools[p];
        uint32_t total = 0;
        for (uint32_t t = 0; t < uint32_t(n.ntypes); ++t) {
            const auto it = pooled.find({p, t});
            const uint32_t want = it == pooled.end() ? 0 : it->second;
            total += want;
            const tavcounters &c = pool.typestats;
            if (per_type && t < TAV_COUNTERS_LENGTH(c.alloced) && c.alloced[t] != want)
                return at("per-type alloced is not the held blocks", p, t);
        }
        if (pool.alloced != total || pool.apeak < total) return at("pool alloced is not its held blocks", p);
    }
    return "";
}

} // namespace host
