/*
 * PCRE2: what is made from a general context charged to a type: the context
 * itself, compile contexts, compiled patterns, match data and match contexts
 * (and so the heap frames of a deep match). The code unit width is 8 unless
 * PCRE2_CODE_UNIT_WIDTH is defined before this header.
 *
 *   pcre2_general_context *g = tav_pcre2_general_context(type);   NULL when refused
 *   pcre2_compile_context *c = pcre2_compile_context_create(g);
 *   C++: tav::adapters::pcre2::make_general_context(type): owning, or std::bad_alloc
 *
 * A refused block fails a compile with PCRE2_ERROR_HEAP_FAILED and a match
 * with PCRE2_ERROR_NOMEMORY. Not charged: the machine code of
 * pcre2_jit_compile() and JIT stacks, which PCRE2 maps itself.
 */
#ifndef TAV_ADAPTERS_PCRE2_H
#define TAV_ADAPTERS_PCRE2_H

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

static inline void *tav_pcre2_malloc(PCRE2_SIZE n, void *type)
{
    return tav_adapter_alloc(TAV_ADAPTER_TYPE(type), n);
}

static inline void tav_pcre2_free(void *p, void *type)
{
    (void)type;
    tav_adapter_free(p);
}

static inline pcre2_general_context *tav_pcre2_general_context(tavhandle type)
{
    return pcre2_general_context_create(tav_pcre2_malloc, tav_pcre2_free, TAV_ADAPTER_CONTEXT(type));
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus) && __cplusplus >= 202002L
namespace tav::adapters::pcre2 {
using general_context = owned<pcre2_general_context, pcre2_general_context_free>;
inline general_context make_general_context(type_handle type)
{
    return own<pcre2_general_context_free>(tav_pcre2_general_context(type.value()));
}
} // namespace tav::adapters::pcre2
#endif

#endif /* TAV_ADAPTERS_PCRE2_H */
