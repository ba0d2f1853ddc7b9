/*
 * Brotli: each encoder and decoder instance charged to a type, through the
 * allocator its create call takes.
 *
 *   BrotliEncoderState *e = tav_brotli_encoder(type);   NULL when refused
 *   BrotliDecoderState *d = tav_brotli_decoder(type);
 *   C++: tav::adapters::brotli::make_encoder(type), make_decoder(type): owning, or std::bad_alloc
 *
 * Brotli's encoder ends the process (exit(1)) when an allocation fails, as
 * Debian builds it (brotli 1.0, BROTLI_ENCODER_EXIT_ON_OOM): so no encoder is
 * made for a type that a budget, its own or its group's, could refuse (C: NULL;
 * C++: std::system_error, tav::errc::library_failed); its charge still shows,
 * and its quality and window (BROTLI_PARAM_QUALITY, _LGWIN) bound it.
 * The decoder fails cleanly: a refused block gives BROTLI_DECODER_RESULT_ERROR
 * with one of the BROTLI_DECODER_ERROR_ALLOC_ codes.
 * Not charged: BrotliEncoderCompress() and BrotliDecoderDecompress(), which make
 * their own instance with the default allocator.
 */
#ifndef TAV_ADAPTERS_BROTLI_H
#define TAV_ADAPTERS_BROTLI_H

#include <brotli/decode.h>
#include <brotli/encode.h>

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

static inline void *tav_brotli_alloc(void *type, size_t n)
{
    return tav_adapter_alloc(TAV_ADAPTER_TYPE(type), n);
}

static inline void tav_brotli_free(void *type, void *p)
{
    (void)type;
    tav_adapter_free(p);
}

static inline BrotliEncoderState *tav_brotli_encoder(tavhandle type)
{
    if (tav_adapter_budgeted(type) != 0) return NULL;
    return BrotliEncoderCreateInstance(tav_brotli_alloc, tav_brotli_free, TAV_ADAPTER_CONTEXT(type));
}

static inline BrotliDecoderState *tav_brotli_decoder(tavhandle type)
{
    return BrotliDecoderCreateInstance(tav_brotli_alloc, tav_brotli_free, TAV_ADAPTER_CONTEXT(type));
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus) && __cplusplus >= 202002L
namespace tav::adapters::brotli {
using encoder = owned<BrotliEncoderState, BrotliEncoderDestroyInstance>;
using decoder = owned<BrotliDecoderState, BrotliDecoderDestroyInstance>;
inline encoder make_encoder(type_handle type)
{
    if (tav_adapter_budgeted(type.value()) != 0)
        throw std::system_error(errc::library_failed,
                                "Brotli encoder: its type has a budget, and the encoder "
                                "ends the process when an allocation fails");
    return own<BrotliEncoderDestroyInstance>(tav_brotli_encoder(type.value()));
}
inline decoder make_decoder(type_handle type)
{
    return own<BrotliDecoderDestroyInstance>(tav_brotli_decoder(type.value()));
}
} // namespace tav::adapters::brotli
#endif

#endif /* TAV_ADAPTERS_BROTLI_H */
