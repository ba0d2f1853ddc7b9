#include "core/counters.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace tav {
namespace {

// Two words in front keep the counters 8-byte aligned; the first holds the length.
constexpr size_t kHiddenWords = TAV_COUNTERS_PREFIX / sizeof(uint32_t);

uint32_t *make_array(uint32_t len)
{
    auto *raw = static_cast<uint32_t *>(std::calloc(kHiddenWords + len, sizeof(uint32_t)));
    if (raw == nullptr) return nullptr;
    raw[0] = len;
    return raw + kHiddenWords;
}

void free_array(uint32_t *a)
{
    if (a != nullptr) std::free(a - kHiddenWords);
}

} // namespace

int32_t resize_counters(tavcounters &c, int32_t newlen)
{
    const uint32_t len = newlen > 0 ? static_cast<uint32_t>(newlen) : 0;
    int32_t code = -1;
    for (uint32_t **slot : counter_arrays(c)) {
        uint32_t *fresh = make_array(len);
        if (fresh == nullptr) return code;
        const uint32_t keep = std::min(len, counter_length(*slot));
        if (keep > 0) std::memcpy(fresh, *slot, keep * sizeof(uint32_t));
        free_array(*slot);
        *slot = fresh;
        --code;
    }
    return 0;
}

void release_counters(tavcounters &c)
{
    for (uint32_t **slot : counter_arrays(c)) {
        free_array(*slot);
        *slot = nullptr;
    }
}

} // namespace tav
