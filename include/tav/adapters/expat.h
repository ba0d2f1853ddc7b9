/*
 * Expat: each parser charged to a type, through XML_ParserCreate_MM. Expat's
 * memory functions get no user pointer, so the allocating ones come from a
 * table of TAV_EXPAT_SLOTS slots, one per type, taken on first use and kept
 * for the life of the process (frees and moves find the type in the header).
 *
 *   XML_Parser p = tav_expat_parser(type, NULL, NULL);   NULL when refused or no slot is left
 *   C++: tav::adapters::expat::make_parser(type): owning (XML_ParserFree); std::bad_alloc,
 *        or std::system_error (tav::errc::hook_taken) when every slot has another type
 *
 * A refused block fails the parse with XML_ERROR_NO_MEMORY.
 */
#ifndef TAV_ADAPTERS_EXPAT_H
#define TAV_ADAPTERS_EXPAT_H

#include <expat.h>

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TAV_EXPAT_SLOTS 16
TAV_ADAPTER_SHARED tavhandle tav_expat_slots[TAV_EXPAT_SLOTS];

#define TAV_EXPAT_SLOT(i)                                                                                    \
    static inline void *tav_expat_malloc_##i(size_t n)                                                       \
    {                                                                                                        \
        return tav_adapter_alloc(__atomic_load_n(&tav_expat_slots[i], __ATOMIC_ACQUIRE), n);                 \
    }                                                                                                        \
    static inline void *tav_expat_realloc_##i(void *p, size_t n)                                             \
    {                                                                                                        \
        return tav_adapter_realloc(__atomic_load_n(&tav_expat_slots[i], __ATOMIC_ACQUIRE), p, n);            \
    }
TAV_EXPAT_SLOT(0)
TAV_EXPAT_SLOT(1)
TAV_EXPAT_SLOT(2)
TAV_EXPAT_SLOT(3)
TAV_EXPAT_SLOT(4)
TAV_EXPAT_SLOT(5)
TAV_EXPAT_SLOT(6)
TAV_EXPAT_SLOT(7)
TAV_EXPAT_SLOT(8)
TAV_EXPAT_SLOT(9)
TAV_EXPAT_SLOT(10)
TAV_EXPAT_SLOT(11)
TAV_EXPAT_SLOT(12)
TAV_EXPAT_SLOT(13)
TAV_EXPAT_SLOT(14)
TAV_EXPAT_SLOT(15)
#undef TAV_EXPAT_SLOT

/* The memory functions that charge `type`: TAV_ADAPTER_OK, or _TAKEN when
 * every slot holds another type. */
static inline int32_t tav_expat_suite(tavhandle type, XML_Memory_Handling_Suite *suite)
{
    static void *(*const mallocs[TAV_EXPAT_SLOTS])(size_t) = {
        tav_expat_malloc_0,  tav_expat_malloc_1,  tav_expat_malloc_2,  tav_expat_malloc_3,
        tav_expat_malloc_4,  tav_expat_malloc_5,  tav_expat_malloc_6,  tav_expat_malloc_7,
        tav_expat_malloc_8,  tav_expat_malloc_9,  tav_expat_malloc_10, tav_expat_malloc_11,
        tav_expat_malloc_12, tav_expat_malloc_13, tav_expat_malloc_14, tav_expat_malloc_15};
    static void *(*const reallocs[TAV_EXPAT_SLOTS])(void *, size_t) = {
        tav_expat_realloc_0,  tav_expat_realloc_1,  tav_expat_realloc_2,  tav_expat_realloc_3,
        tav_expat_realloc_4,  tav_expat_realloc_5,  tav_expat_realloc_6,  tav_expat_realloc_7,
        tav_expat_realloc_8,  tav_expat_realloc_9,  tav_expat_realloc_10, tav_expat_realloc_11,
        tav_expat_realloc_12, tav_expat_realloc_13, tav_expat_realloc_14, tav_expat_realloc_15};
    for (int i = 0; i < TAV_EXPAT_SLOTS; ++i) {
        tavhandle seen = 0;
        if (__atomic_compare_exchange_n(&tav_expat_slots[i], &seen, type, 0, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE) ||
            seen == type) {
            suite->malloc_fcn = mallocs[i];
            suite->realloc_fcn = reallocs[i];
            suite->free_fcn = tav_adapter_free;
            return TAV_ADAPTER_OK;
        }
    }
    return TAV_ADAPTER_TAKEN;
}

static inline XML_Parser tav_expat_parser(tavhandle type, const XML_Char *encoding, const XML_Char *separator)
{
    XML_Memory_Handling_Suite suite;
    if (tav_expat_suite(type, &suite) != TAV_ADAPTER_OK) return NULL;
    return XML_ParserCreate_MM(encoding, &suite, separator);
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus) && __cplusplus >= 202002L
namespace tav::adapters::expat {
using parser = owned<XML_ParserStruct, XML_ParserFree>;
inline parser make_parser(type_handle type, const XML_Char *encoding = nullptr,
                          const XML_Char *separator = nullptr)
{
    XML_Memory_Handling_Suite suite;
    check(tav_expat_suite(type.value(), &suite), "expat");
    return own<XML_ParserFree>(XML_ParserCreate_MM(encoding, &suite, separator));
}
} // namespace tav::adapters::expat
#endif

#endif /* TAV_ADAPTERS_EXPAT_H */
