// Record names: compared over 32 bytes, stored in 33 (32 characters and the
// terminator), copied out into 32-byte caller buffers (31 characters).
#pragma once

#include <cstring>

#include "core/records.hpp"
#include "platform/zuno.h"
#include "tav.h"

namespace tav {

inline bool same_name(const char *a, const char *b) { return std::strncmp(a, b, TAV_NAME_MAX) == 0; }

// The position of the first type named name (among the live ones, or all), or -1.
inline int32_t find_type(Scan scan, const char *name)
{
    return find_record<TAV_KIND_TYPE>(scan, [name](const tavtype &t) { return same_name(t.name, name); });
}

inline void store_name(char (&dst)[TAV_NAME_MAX + 1], const char *src) { strlcpy(dst, src, sizeof dst); }

inline void copy_name_out(char *dst, const char *src) { strlcpy(dst, src, TAV_NAME_BUF); }

} // namespace tav
