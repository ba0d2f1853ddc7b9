/*
 * liblzma (xz): a stream's coder charged to a type, through an lzma_allocator
 * that must outlive the stream (the stream keeps a pointer to it). liblzma
 * asks for no zero fill; these blocks are zero-filled all the same.
 *
 *   lzma_allocator a = tav_lzma_allocator(type);
 *   lzma_stream s = LZMA_STREAM_INIT;
 *   s.allocator = &a;
 *   lzma_easy_encoder(&s, 6, LZMA_CHECK_CRC64);    LZMA_MEM_ERROR when refused
 *
 *   C++: tav::adapters::lzma::allocator a(type); s.allocator = a.get();
 *
 * The one-shot buffer calls take the allocator too (their allocator argument).
 */
#ifndef TAV_ADAPTERS_LZMA_H
#define TAV_ADAPTERS_LZMA_H

#include <lzma.h>

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

static inline void *tav_lzma_alloc(void *type, size_t count, size_t size)
{
    return tav_adapter_calloc(TAV_ADAPTER_TYPE(type), count, size);
}

static inline void tav_lzma_free(void *type, void *p)
{
    (void)type;
    tav_adapter_free(p);
}

static inline lzma_allocator tav_lzma_allocator(tavhandle type)
{
    const lzma_allocator a = {tav_lzma_alloc, tav_lzma_free, TAV_ADAPTER_CONTEXT(type)};
    return a;
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus) && __cplusplus >= 202002L
namespace tav::adapters::lzma {
// Streams point at it: it neither copies nor moves.
class allocator {
public:
    explicit allocator(type_handle type) noexcept : a_(tav_lzma_allocator(type.value())) {}
    allocator(const allocator &) = delete;
    allocator &operator=(const allocator &) = delete;
    const lzma_allocator *get() const noexcept { return &a_; }

private:
    lzma_allocator a_;
};
} // namespace tav::adapters::lzma
#endif

#endif /* TAV_ADAPTERS_LZMA_H */
