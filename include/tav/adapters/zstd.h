/*
 * zstd: the contexts and dictionaries made with ZSTD_customMem, charged to a
 * type. Everything a context allocates later (its workspace, worker threads'
 * buffers) goes the same way.
 *
 *   ZSTD_CCtx *c = ZSTD_createCCtx_advanced(tav_zstd_mem(type));
 *   ZSTD_DCtx *d = ZSTD_createDCtx_advanced(tav_zstd_mem(type));
 *   C++: tav::adapters::zstd::make_cctx(type), make_dctx(type): owning, or std::bad_alloc
 *
 * A refused workspace shows as the error ZSTD_error_memory_allocation.
 * Not charged: ZSTD_compress(), ZSTD_decompress() and every other call that
 * makes its own context with the default allocator.
 */
#ifndef TAV_ADAPTERS_ZSTD_H
#define TAV_ADAPTERS_ZSTD_H

#define ZSTD_STATIC_LINKING_ONLY /* ZSTD_customMem and the _advanced constructors */
#include <zstd.h>
#include <zstd_errors.h> /* ZSTD_getErrorCode(), for telling a refused workspace */

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

static inline void *tav_zstd_alloc(void *type, size_t n)
{
    return tav_adapter_alloc(TAV_ADAPTER_TYPE(type), n);
}

static inline void tav_zstd_free(void *type, void *p)
{
    (void)type;
    tav_adapter_free(p);
}

static inline ZSTD_customMem tav_zstd_mem(tavhandle type)
{
    const ZSTD_customMem mem = {tav_zstd_alloc, tav_zstd_free, TAV_ADAPTER_CONTEXT(type)};
    return mem;
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus) && __cplusplus >= 202002L
namespace tav::adapters::zstd {
using cctx = owned<ZSTD_CCtx, ZSTD_freeCCtx>;
using dctx = owned<ZSTD_DCtx, ZSTD_freeDCtx>;
inline cctx make_cctx(type_handle type)
{
    return own<ZSTD_freeCCtx>(ZSTD_createCCtx_advanced(tav_zstd_mem(type.value())));
}
inline dctx make_dctx(type_handle type)
{
    return own<ZSTD_freeDCtx>(ZSTD_createDCtx_advanced(tav_zstd_mem(type.value())));
}
} // namespace tav::adapters::zstd
#endif

#endif /* TAV_ADAPTERS_ZSTD_H */
