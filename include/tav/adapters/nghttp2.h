/*
 * nghttp2: each session (and HPACK deflater or inflater) charged to a type,
 * through the nghttp2_mem its constructor takes. Keep the nghttp2_mem alive as
 * long as the objects made with it: the HPACK constructors keep a pointer to it.
 *
 *   nghttp2_mem mem = tav_nghttp2_mem(type);    C++: tav::adapters::nghttp2::mem(type)
 *   nghttp2_session_client_new3(&session, callbacks, user_data, NULL, &mem);
 *
 * A refused block shows as NGHTTP2_ERR_NOMEM.
 */
#ifndef TAV_ADAPTERS_NGHTTP2_H
#define TAV_ADAPTERS_NGHTTP2_H

#include <nghttp2/nghttp2.h>

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

static inline void *tav_nghttp2_malloc(size_t n, void *type)
{
    return tav_adapter_alloc(TAV_ADAPTER_TYPE(type), n);
}

static inline void tav_nghttp2_free(void *p, void *type)
{
    (void)type;
    tav_adapter_free(p);
}

static inline void *tav_nghttp2_calloc(size_t count, size_t size, void *type)
{
    return tav_adapter_calloc(TAV_ADAPTER_TYPE(type), count, size);
}

static inline void *tav_nghttp2_realloc(void *p, size_t n, void *type)
{
    return tav_adapter_realloc(TAV_ADAPTER_TYPE(type), p, n);
}

static inline nghttp2_mem tav_nghttp2_mem(tavhandle type)
{
    const nghttp2_mem mem = {TAV_ADAPTER_CONTEXT(type), tav_nghttp2_malloc, tav_nghttp2_free,
                             tav_nghttp2_calloc, tav_nghttp2_realloc};
    return mem;
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus) && __cplusplus >= 202002L
namespace tav::adapters::nghttp2 {
inline nghttp2_mem mem(type_handle type) noexcept { return tav_nghttp2_mem(type.value()); }
} // namespace tav::adapters::nghttp2
#endif

#endif /* TAV_ADAPTERS_NGHTTP2_H */
