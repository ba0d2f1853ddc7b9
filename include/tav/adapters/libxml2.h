/*
 * libxml2: its whole heap charged to one type, through xmlMemSetup.
 * Process-wide, and it must go in before libxml2's first allocation: install
 * it before xmlInitParser() and before any other library that uses libxml2.
 * Up to libxml2 2.10 an install after xmlInitParser() is refused as too late;
 * later versions give no way to tell, so the order is the host's to keep.
 *
 *   tav_libxml2_install(type)            C: TAV_ADAPTER_OK, _BADTYPE, _TOO_LATE, _TAKEN
 *   tav::adapters::libxml2::install(t)   C++: std::error_code
 *
 * A refused block fails the parse with XML_ERR_NO_MEMORY. xmlCleanupParser()
 * releases libxml2's global tables; after it the charge is what the host holds.
 */
#ifndef TAV_ADAPTERS_LIBXML2_H
#define TAV_ADAPTERS_LIBXML2_H

#include <libxml/xmlmemory.h>
#include <libxml/xmlversion.h>

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

TAV_ADAPTER_SHARED tav_adapter_hook tav_libxml2_hook = TAV_ADAPTER_HOOK_INIT;

static inline void *tav_libxml2_malloc(size_t n)
{
    return tav_adapter_alloc(tav_adapter_hook_type(&tav_libxml2_hook), n);
}

static inline void *tav_libxml2_realloc(void *p, size_t n)
{
    return tav_adapter_realloc(tav_adapter_hook_type(&tav_libxml2_hook), p, n);
}

static inline void tav_libxml2_free(void *p) { tav_adapter_free(p); }

static inline char *tav_libxml2_strdup(const char *s)
{
    return tav_adapter_strdup(tav_adapter_hook_type(&tav_libxml2_hook), s);
}

static inline int32_t tav_libxml2_set(void *unused)
{
    (void)unused;
#if LIBXML_VERSION < 21100
    /* xmlInitParser() initialises the memory layer first: -1 means it ran. */
    if (xmlInitMemory() != 0) return TAV_ADAPTER_TOO_LATE;
#endif
    return xmlMemSetup(tav_libxml2_free, tav_libxml2_malloc, tav_libxml2_realloc, tav_libxml2_strdup) == 0
               ? TAV_ADAPTER_OK
               : TAV_ADAPTER_FAILED;
}

static inline int32_t tav_libxml2_install(tavhandle type)
{
    return tav_adapter_hook_install(&tav_libxml2_hook, type, tav_libxml2_set, NULL);
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus) && __cplusplus >= 202002L
namespace tav::adapters::libxml2 {
[[nodiscard]] inline std::error_code install(type_handle type) noexcept
{
    return to_error(tav_libxml2_install(type.value()));
}
} // namespace tav::adapters::libxml2
#endif

#endif /* TAV_ADAPTERS_LIBXML2_H */
