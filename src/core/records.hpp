// The three record tables of tavnode, their handles, and the one way a table
// grows. Records move on every growth, so nothing keeps a pointer to a record
// across an operation: only indices and handles survive.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tav.h"

namespace tav {

// The 24-bit index field of a handle: a record beyond it would alias record 0,
// so registration refuses it as out of memory.
inline constexpr int32_t kMaxRecords = TAV_INDEX_MASK + 1;
// The kind field of a handle, bits 24 to 31.
inline constexpr tavhandle kKindMask = tavhandle{0xFF} << TAV_KIND_SHIFT;

template <uint32_t Kind> struct Table;

template <> struct Table<TAV_KIND_GROUP> {
    using Record = tavgroup;
    static Record *&rows() { return tavnode.groups; }
    static int32_t &count() { return tavnode.ngroups; }
};

template <> struct Table<TAV_KIND_TYPE> {
    using Record = tavtype;
    static Record *&rows() { return tavnode.types; }
    static int32_t &count() { return tavnode.ntypes; }
};

template <> struct Table<TAV_KIND_POOL> {
    using Record = tavpool;
    static Record *&rows() { return tavnode.pools; }
    static int32_t &count() { return tavnode.npools; }
};

constexpr tavhandle make_handle(uint32_t kind, uint32_t index)
{
    return (index & TAV_INDEX_MASK) | (tavhandle{kind} << TAV_KIND_SHIFT);
}

// The record a handle names, or null. Bits 32-63 are ignored; kind, bounds
// and inuse must all hold.
template <uint32_t Kind> typename Table<Kind>::Record *resolve(tavhandle h)
{
    if ((h & kKindMask) != (tavhandle{Kind} << TAV_KIND_SHIFT)) return nullptr;
    const auto index = static_cast<int64_t>(h & TAV_INDEX_MASK);
    if (index >= Table<Kind>::count()) return nullptr;
    auto *rec = &Table<Kind>::rows()[index];
    return rec->inuse != 0 ? rec : nullptr;
}

// Replaces the table with a zero-filled copy one record longer. Returns the
// new, still empty record at position count (the count is not yet raised:
// the caller fills the record, then counts it), or null with nothing changed.
template <uint32_t Kind> typename Table<Kind>::Record *grow_by_one()
{
    using Record = typename Table<Kind>::Record;
    const int32_t n = Table<Kind>::count();
    if (n >= kMaxRecords) return nullptr;
    auto *rows = static_cast<Record *>(std::calloc(static_cast<size_t>(n) + 1, sizeof(Record)));
    if (rows == nullptr) return nullptr;
    if (n > 0) std::memcpy(rows, Table<Kind>::rows(), static_cast<size_t>(n) * sizeof(Record));
    std::free(Table<Kind>::rows());
    Table<Kind>::rows() = rows;
    return &rows[n];
}

// The position of the first record that match() accepts, or -1. Look-ups
// pass over records whose inuse is 0; duplicate checks at registration see all.
enum class Scan { live, all };
template <uint32_t Kind, class Match> int32_t find_record(Scan scan, Match match)
{
    for (int32_t i = 0; i < Table<Kind>::count(); ++i) {
        const auto &r = Table<Kind>::rows()[i];
        if ((scan == Scan::all || r.inuse != 0) && match(r)) return i;
    }
    return -1;
}

inline tavgroup &group_of(const tavtype &t) { return tavnode.groups[t.gindex]; }

} // namespace tav
