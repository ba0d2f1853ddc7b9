/*
 * libcurl: its whole heap charged to one type, through curl_global_init_mem.
 * Process-wide, and it must be libcurl's first call: once libcurl is
 * initialised (by curl_global_init, or by a curl_easy_init that initialised it
 * for you) it ignores new memory functions. The install checks that its
 * functions are the ones in use, and answers "too late" (undoing its own
 * initialisation) when they are not.
 *
 *   tav_curl_install(type, CURL_GLOBAL_DEFAULT)   C: TAV_ADAPTER_OK, _BADTYPE, _TOO_LATE,
 *                                                 _TAKEN, _FAILED; pair an OK with
 *                                                 curl_global_cleanup()
 *   tav::adapters::curl::global g(type);          C++: installs or throws std::system_error;
 *                                                 curl_global_cleanup() when destroyed
 *
 * A refused block shows as CURLE_OUT_OF_MEMORY, or a NULL from curl_easy_init.
 * Not charged: what the TLS library and nghttp2 allocate under libcurl; they
 * have hooks of their own (OpenSSL's must then go in before this one, since
 * curl_global_init initialises OpenSSL).
 */
#ifndef TAV_ADAPTERS_CURL_H
#define TAV_ADAPTERS_CURL_H

#include <curl/curl.h>
#include <curl/mprintf.h>

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

TAV_ADAPTER_SHARED tav_adapter_hook tav_curl_hook = TAV_ADAPTER_HOOK_INIT;

static inline void *tav_curl_malloc(size_t n)
{
    return tav_adapter_alloc(tav_adapter_hook_type(&tav_curl_hook), n);
}

static inline void *tav_curl_calloc(size_t count, size_t size)
{
    return tav_adapter_calloc(tav_adapter_hook_type(&tav_curl_hook), count, size);
}

static inline void *tav_curl_realloc(void *p, size_t n)
{
    return tav_adapter_realloc(tav_adapter_hook_type(&tav_curl_hook), p, n);
}

static inline void tav_curl_free(void *p) { tav_adapter_free(p); }

static inline char *tav_curl_strdup(const char *s)
{
    return tav_adapter_strdup(tav_adapter_hook_type(&tav_curl_hook), s);
}

struct tav_curl_setup {
    long flags;
    int fresh; /* set when this call put the hook in */
};

/* curl_global_init_mem, checked: an initialised libcurl only counts the call,
 * so a block it hands out must be one of ours (the library tells, without
 * touching a foreign one). Else the count is undone and it is too late. */
static inline int32_t tav_curl_set(void *setup)
{
    struct tav_curl_setup *s = (struct tav_curl_setup *)setup;
    s->fresh = 1;
    if (curl_global_init_mem(s->flags, tav_curl_malloc, tav_curl_free, tav_curl_realloc, tav_curl_strdup,
                             tav_curl_calloc) != CURLE_OK)
        return TAV_ADAPTER_FAILED;
    char *probe = curl_maprintf("%s", "tav");
    if (probe != NULL && tavpoolfree(tav_adapter_hook_type(&tav_curl_hook), probe) == TAV_OK)
        return TAV_ADAPTER_OK;
    curl_free(probe);
    curl_global_cleanup();
    return probe == NULL ? TAV_ADAPTER_FAILED : TAV_ADAPTER_TOO_LATE;
}

/* Every OK counts one user of libcurl, like curl_global_init: the same type
 * installed again initialises again. */
static inline int32_t tav_curl_install(tavhandle type, long flags)
{
    struct tav_curl_setup setup = {flags, 0};
    const int32_t rc = tav_adapter_hook_install(&tav_curl_hook, type, tav_curl_set, &setup);
    return rc == TAV_ADAPTER_OK && !setup.fresh ? tav_curl_set(&setup) : rc;
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus) && __cplusplus >= 202002L
namespace tav::adapters::curl {
// libcurl initialised with its heap charged to `type`, cleaned up when destroyed.
class global {
public:
    explicit global(type_handle type, long flags = CURL_GLOBAL_DEFAULT)
    {
        check(tav_curl_install(type.value(), flags), "libcurl");
    }
    ~global() { curl_global_cleanup(); }
    global(const global &) = delete;
    global &operator=(const global &) = delete;
};
} // namespace tav::adapters::curl
#endif

#endif /* TAV_ADAPTERS_CURL_H */
