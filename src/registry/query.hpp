// The shape every query by handle shares: under the read lock, resolve the
// handle and let the body copy out what it reports.
#pragma once

#include "core/lock.hpp"
#include "core/records.hpp"

namespace tav {

// TAV_E_NOTFOUND when the handle names no live record of the kind, else
// found (0, or TAV_POOL_FOUND for the pool queries) after body(record);
// TAV_E_NULL, the first failure code of them all, when the lock failed.
template <uint32_t Kind, class Body> int32_t query(tavhandle h, Body body, int32_t found = TAV_OK)
{
    ReadLock lock;
    if (!lock) return TAV_E_NULL;
    const auto *r = resolve<Kind>(h);
    if (r == nullptr) return TAV_E_NOTFOUND;
    body(*r);
    return found;
}

// The look-ups by name or size: *out receives the handle of the first live
// record that match() accepts, or 0 and TAV_E_NOTFOUND.
template <uint32_t Kind, class Match> int32_t lookup(tavhandle *out, Match match)
{
    *out = 0;
    ReadLock lock;
    if (!lock) return TAV_E_NULL;
    const int32_t i = find_record<Kind>(Scan::live, match);
    if (i < 0) return TAV_E_NOTFOUND;
    *out = make_handle(Kind, static_cast<uint32_t>(i));
    return TAV_OK;
}

} // namespace tav
