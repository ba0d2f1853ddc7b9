// zlib, zstd, liblzma and Brotli round trips (see common.hpp).
#pragma once

#include <tav/adapters/brotli.h>
#include <tav/adapters/lzma.h>
#include <tav/adapters/zlib.h>
#include <tav/adapters/zstd.h>

#include <string>
#include <string_view>

#include "common.hpp"

namespace work {

inline Bytef *bytes(std::string_view s) { return reinterpret_cast<Bytef *>(const_cast<char *>(s.data())); }

// One stream, set up, run to its end in one call and ended: deflate (window
// as zlib's windowBits: 9..15, raw below 0, gzip above 15) or inflate into
// `size` bytes.
inline std::string zlib_deflate(tavhandle t, std::string_view in, int level = Z_DEFAULT_COMPRESSION,
                                int window = 15, int memlevel = 8)
{
    z_stream s{};
    if (t != 0) tav_zlib_use(&s, t);
    if (deflateInit2(&s, level, Z_DEFLATED, window, memlevel, Z_DEFAULT_STRATEGY) != Z_OK) return "";
    std::string out(deflateBound(&s, uLong(in.size())), '\0');
    s.next_in = bytes(in), s.avail_in = uInt(in.size());
    s.next_out = bytes(out), s.avail_out = uInt(out.size());
    const bool ok = deflate(&s, Z_FINISH) == Z_STREAM_END;
    out.resize(s.total_out);
    return deflateEnd(&s) == Z_OK && ok ? out : "";
}

inline std::string zlib_inflate(tavhandle t, std::string_view in, std::size_t size, int window = 15)
{
    z_stream s{};
    if (t != 0) tav_zlib_use(&s, t);
    if (inflateInit2(&s, window) != Z_OK) return "";
    std::string out(size, '\0');
    s.next_in = bytes(in), s.avail_in = uInt(in.size());
    s.next_out = bytes(out), s.avail_out = uInt(out.size());
    const bool ok = inflate(&s, Z_FINISH) == Z_STREAM_END;
    return inflateEnd(&s) == Z_OK && ok ? out : "";
}

// Through a context the caller made: the output, or "error " and zstd's error code.
inline std::string zstd_compress(ZSTD_CCtx *c, std::string_view in, int level)
{
    std::string out(ZSTD_compressBound(in.size()), '\0');
    const std::size_t n = ZSTD_compressCCtx(c, out.data(), out.size(), in.data(), in.size(), level);
    if (ZSTD_isError(n)) return "error " + std::to_string(ZSTD_getErrorCode(n));
    out.resize(n);
    return out;
}

inline std::string zstd_decompress(ZSTD_DCtx *d, std::string_view in, std::size_t size)
{
    std::string out(size, '\0');
    const std::size_t n = ZSTD_decompressDCtx(d, out.data(), out.size(), in.data(), in.size());
    return ZSTD_isError(n) || n != size ? "" : out;
}

// allocator null: liblzma's own. preset 0..9.
inline std::string lzma_compress(const lzma_allocator *a, std::string_view in, uint32_t preset)
{
    std::string out(lzma_stream_buffer_bound(in.size()), '\0');
    std::size_t n = 0;
    if (lzma_easy_buffer_encode(preset, LZMA_CHECK_CRC64, a, bytes(in), in.size(), bytes(out), &n,
                                out.size()) != LZMA_OK)
        return "";
    out.resize(n);
    return out;
}

inline std::string lzma_decompress(const lzma_allocator *a, std::string_view in, std::size_t size)
{
    lzma_stream s = LZMA_STREAM_INIT;
    s.allocator = a;
    std::string out(size, '\0');
    if (lzma_stream_decoder(&s, UINT64_MAX, 0) != LZMA_OK) return "";
    s.next_in = bytes(in), s.avail_in = in.size();
    s.next_out = bytes(out), s.avail_out = out.size();
    const bool ok = lzma_code(&s, LZMA_FINISH) == LZMA_STREAM_END;
    lzma_end(&s);
    return ok ? out : "";
}

inline std::string brotli_compress(BrotliEncoderState *e, std::string_view in, uint32_t quality,
                                   uint32_t lgwin)
{
    std::string out(in.size() + 1024, '\0');
    std::size_t avail_in = in.size(), avail_out = out.size();
    const uint8_t *next_in = bytes(in);
    uint8_t *next_out = bytes(out);
    if (!BrotliEncoderSetParameter(e, BROTLI_PARAM_QUALITY, quality) ||
        !BrotliEncoderSetParameter(e, BROTLI_PARAM_LGWIN, lgwin) ||
        !BrotliEncoderCompressStream(e, BROTLI_OPERATION_FINISH, &avail_in, &next_in, &avail_out, &next_out,
                                     nullptr) ||
        !BrotliEncoderIsFinished(e))
        return "";
    out.resize(out.size() - avail_out);
    return out;
}

// "" on failure: BrotliDecoderGetErrorCode(d) tells why.
inline std::string brotli_decompress(BrotliDecoderState *d, std::string_view in, std::size_t size)
{
    std::string out(size, '\0');
    std::size_t avail_in = in.size(), avail_out = out.size();
    const uint8_t *next_in = bytes(in);
    uint8_t *next_out = bytes(out);
    return BrotliDecoderDecompressStream(d, &avail_in, &next_in, &avail_out, &next_out, nullptr) ==
                   BROTLI_DECODER_RESULT_SUCCESS
               ? out
               : "";
}

} // namespace work
