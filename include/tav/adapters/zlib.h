/*
 * zlib: each stream's state charged to a type, through its zalloc, zfree and
 * opaque fields. Set them before deflateInit/inflateInit; deflateEnd and
 * inflateEnd release it all.
 *
 *   z_stream s = {0};
 *   tav_zlib_use(&s, type);       C++: tav::adapters::zlib::use(s, type)
 *   deflateInit(&s, level);       Z_MEM_ERROR when the budget refuses the state
 *
 * Not charged: the one-shot helpers that build their own stream with the
 * default allocator (compress(), compress2(), uncompress()) and gzFile.
 */
#ifndef TAV_ADAPTERS_ZLIB_H
#define TAV_ADAPTERS_ZLIB_H

#include <zlib.h>

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

static inline voidpf tav_zlib_alloc(voidpf type, uInt items, uInt size)
{
    return tav_adapter_calloc(TAV_ADAPTER_TYPE(type), items, size);
}

static inline void tav_zlib_free(voidpf type, voidpf p)
{
    (void)type;
    tav_adapter_free(p);
}

static inline void tav_zlib_use(z_stream *s, tavhandle type)
{
    s->zalloc = tav_zlib_alloc;
    s->zfree = tav_zlib_free;
    s->opaque = TAV_ADAPTER_CONTEXT(type);
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus) && __cplusplus >= 202002L
namespace tav::adapters::zlib {
inline void use(z_stream &s, type_handle type) noexcept { tav_zlib_use(&s, type.value()); }
} // namespace tav::adapters::zlib
#endif

#endif /* TAV_ADAPTERS_ZLIB_H */
