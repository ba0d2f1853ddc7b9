/*
 * OpenSSL 3 (and 1.1): its whole heap charged to one type, through
 * CRYPTO_set_mem_functions. Process-wide, and OpenSSL accepts the hook only
 * before its first allocation: install it first thing in main(), before any
 * other library initialises OpenSSL for you (libcurl does, in
 * curl_global_init). After that OpenSSL answers "too late" and keeps its own
 * allocator.
 *
 *   tav_openssl_install(type)            C: TAV_ADAPTER_OK, _BADTYPE, _TOO_LATE, _TAKEN
 *   tav::adapters::openssl::install(t)   C++: std::error_code
 *
 * Not charged: the secure heap (CRYPTO_secure_malloc_init maps its own pages).
 * OPENSSL_cleanup() releases the caches OpenSSL keeps for the life of the
 * process; after it the type's charge is what the host still holds.
 */
#ifndef TAV_ADAPTERS_OPENSSL_H
#define TAV_ADAPTERS_OPENSSL_H

#include <openssl/crypto.h>

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

TAV_ADAPTER_SHARED tav_adapter_hook tav_openssl_hook = TAV_ADAPTER_HOOK_INIT;

static inline void *tav_openssl_malloc(size_t n, const char *file, int line)
{
    (void)file, (void)line;
    return tav_adapter_alloc(tav_adapter_hook_type(&tav_openssl_hook), n);
}

/* OpenSSL passes (NULL, n) for a new block and (p, 0) to free one. */
static inline void *tav_openssl_realloc(void *p, size_t n, const char *file, int line)
{
    (void)file, (void)line;
    return tav_adapter_realloc(tav_adapter_hook_type(&tav_openssl_hook), p, n);
}

static inline void tav_openssl_free(void *p, const char *file, int line)
{
    (void)file, (void)line;
    tav_adapter_free(p);
}

static inline int32_t tav_openssl_set(void *unused)
{
    (void)unused;
    return CRYPTO_set_mem_functions(tav_openssl_malloc, tav_openssl_realloc, tav_openssl_free) == 1
               ? TAV_ADAPTER_OK
               : TAV_ADAPTER_TOO_LATE;
}

static inline int32_t tav_openssl_install(tavhandle type)
{
    return tav_adapter_hook_install(&tav_openssl_hook, type, tav_openssl_set, NULL);
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus) && __cplusplus >= 202002L
namespace tav::adapters::openssl {
[[nodiscard]] inline std::error_code install(type_handle type) noexcept
{
    return to_error(tav_openssl_install(type.value()));
}
} // namespace tav::adapters::openssl
#endif

#endif /* TAV_ADAPTERS_OPENSSL_H */
