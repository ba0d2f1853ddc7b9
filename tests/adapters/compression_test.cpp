// zlib, zstd, liblzma and Brotli with their state charged to a type: real
// round trips, the charge gone with the last object, budgets that fail the
// library with its own error code.
#include <tav/adapters/brotli.h>
#include <tav/adapters/lzma.h>
#include <tav/adapters/zlib.h>
#include <tav/adapters/zstd.h>

#include "adapter_host.hpp"

using namespace adapters_test;

namespace {

using Compression = Registry;

const std::string &input()
{
    static const std::string text = sample_text(1 << 20);
    return text;
}

int deflate_init(z_stream &s, tavhandle t, int level = Z_DEFAULT_COMPRESSION, int window = 15, int memlevel = 8)
{
    s = z_stream{};
    tav::adapters::zlib::use(s, tav::type_handle(t));
    return deflateInit2(&s, level, Z_DEFLATED, window, memlevel, Z_DEFAULT_STRATEGY);
}

// Every stream shape zlib has: default, raw, gzip, small window and memory, best compression.
TEST_F(Compression, ZlibStreamShapesRoundTrip)
{
    const tavhandle t = make_type("zlib");
    const struct {
        int level, window, memlevel;
    } shapes[] = {{Z_DEFAULT_COMPRESSION, 15, 8}, {1, -15, 8}, {6, 31, 8}, {6, 9, 1}, {9, 15, 9}};
    for (const auto &shape : shapes) {
        z_stream d;
        ASSERT_EQ(deflate_init(d, t, shape.level, shape.window, shape.memlevel), Z_OK);
        EXPECT_GT(charged(t), 0);
        std::string packed(deflateBound(&d, input().size()), '\0');
        d.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(input().data()));
        d.avail_in = static_cast<uInt>(input().size());
        d.next_out = reinterpret_cast<Bytef *>(packed.data());
        d.avail_out = static_cast<uInt>(packed.size());
        ASSERT_EQ(deflate(&d, Z_FINISH), Z_STREAM_END);
        packed.resize(d.total_out);
        EXPECT_EQ(deflateEnd(&d), Z_OK);
        EXPECT_EQ(charged(t), 0) << "deflateEnd left blocks behind";

        z_stream i{};
        tav_zlib_use(&i, t);
        ASSERT_EQ(inflateInit2(&i, shape.window), Z_OK);
        std::string out(input().size(), '\0');
        i.next_in = reinterpret_cast<Bytef *>(packed.data());
        i.avail_in = static_cast<uInt>(packed.size());
        i.next_out = reinterpret_cast<Bytef *>(out.data());
        i.avail_out = static_cast<uInt>(out.size());
        EXPECT_EQ(inflate(&i, Z_FINISH), Z_STREAM_END);
        EXPECT_TRUE(out == input()) << "window " << shape.window;
        EXPECT_EQ(inflateEnd(&i), Z_OK);
        EXPECT_EQ(charged(t), 0);
    }
}

TEST_F(Compression, ZlibBudgetOfTwoAndAHalfStreams)
{
    const tavhandle unbudgeted = make_type("zlib-probe");
    z_stream probe;
    ASSERT_EQ(deflate_init(probe, unbudgeted), Z_OK);
    const int32_t stream = charged(unbudgeted);
    deflateEnd(&probe);
    const tavhandle t = make_type("zlib", stream * 5 / 2);
    z_stream s[3];
    EXPECT_EQ(deflate_init(s[0], t), Z_OK);
    EXPECT_EQ(deflate_init(s[1], t), Z_OK);
    EXPECT_EQ(deflate_init(s[2], t), Z_MEM_ERROR);
    EXPECT_EQ(charged(t), 2 * stream) << "the refused stream left blocks behind";
    EXPECT_GT(refusals(t), 0u);
    deflateEnd(&s[0]);
    deflateEnd(&s[1]);
}

TEST_F(Compression, ZstdContextsRoundTripAndFailWithMemoryAllocation)
{
    const tavhandle t = make_type("zstd");
    std::string packed(ZSTD_compressBound(input().size()), '\0'), out(input().size(), '\0');
    {
        auto c = tav::adapters::zstd::make_cctx(tav::type_handle(t));
        auto d = tav::adapters::zstd::make_dctx(tav::type_handle(t));
        const size_t n = ZSTD_compressCCtx(c.get(), packed.data(), packed.size(), input().data(), input().size(), 3);
        ASSERT_FALSE(ZSTD_isError(n)) << ZSTD_getErrorName(n);
        EXPECT_GT(charged(t), 1 << 20) << "the workspace is charged";
        EXPECT_EQ(ZSTD_decompressDCtx(d.get(), out.data(), out.size(), packed.data(), n), input().size());
        EXPECT_TRUE(out == input());
    }
    EXPECT_EQ(charged(t), 0);

    const tavhandle small = make_type("zstd-small", 64 << 10);
    ZSTD_CCtx *c = ZSTD_createCCtx_advanced(tav_zstd_mem(small));
    ASSERT_NE(c, nullptr);
    const size_t n = ZSTD_compressCCtx(c, packed.data(), packed.size(), input().data(), input().size(), 19);
    EXPECT_EQ(ZSTD_getErrorCode(n), ZSTD_error_memory_allocation);
    ZSTD_freeCCtx(c);
    EXPECT_EQ(charged(small), 0);
}

TEST_F(Compression, LzmaRoundTripAndMemError)
{
    const tavhandle t = make_type("lzma");
    const tav::adapters::lzma::allocator a{tav::type_handle(t)};
    const std::string in = input().substr(0, 256 << 10);
    std::string packed(lzma_stream_buffer_bound(in.size()), '\0'), out(in.size(), '\0');
    size_t packed_size = 0;
    ASSERT_EQ(lzma_easy_buffer_encode(1, LZMA_CHECK_CRC64, a.get(), reinterpret_cast<const uint8_t *>(in.data()),
                                      in.size(), reinterpret_cast<uint8_t *>(packed.data()), &packed_size,
                                      packed.size()),
              LZMA_OK);
    EXPECT_EQ(charged(t), 0);
    lzma_stream s = LZMA_STREAM_INIT;
    s.allocator = a.get();
    ASSERT_EQ(lzma_stream_decoder(&s, UINT64_MAX, 0), LZMA_OK);
    s.next_in = reinterpret_cast<const uint8_t *>(packed.data());
    s.avail_in = packed_size;
    s.next_out = reinterpret_cast<uint8_t *>(out.data());
    s.avail_out = out.size();
    EXPECT_EQ(lzma_code(&s, LZMA_FINISH), LZMA_STREAM_END);
    EXPECT_GT(charged(t), 0);
    lzma_end(&s);
    EXPECT_TRUE(out == in);
    EXPECT_EQ(charged(t), 0);

    const lzma_allocator tight = tav_lzma_allocator(make_type("lzma-small", 1 << 20));
    lzma_stream e = LZMA_STREAM_INIT;
    e.allocator = &tight;
    EXPECT_EQ(lzma_easy_encoder(&e, 6, LZMA_CHECK_CRC64), LZMA_MEM_ERROR);
    lzma_end(&e);
}

std::string brotli_compress(BrotliEncoderState *e, const std::string &in, bool &ok)
{
    std::string out(in.size() + 1024, '\0');
    size_t avail_in = in.size(), avail_out = out.size();
    auto *next_in = reinterpret_cast<const uint8_t *>(in.data());
    auto *next_out = reinterpret_cast<uint8_t *>(out.data());
    ok = BrotliEncoderCompressStream(e, BROTLI_OPERATION_FINISH, &avail_in, &next_in, &avail_out, &next_out,
                                     nullptr) &&
         BrotliEncoderIsFinished(e);
    out.resize(out.size() - avail_out);
    return out;
}

TEST_F(Compression, BrotliInstancesRoundTripAndFailCleanly)
{
    const tavhandle t = make_type("brotli");
    bool ok = false;
    std::string packed;
    {
        auto e = tav::adapters::brotli::make_encoder(tav::type_handle(t));
        BrotliEncoderSetParameter(e.get(), BROTLI_PARAM_QUALITY, 5);
        BrotliEncoderSetParameter(e.get(), BROTLI_PARAM_LGWIN, 22);
        packed = brotli_compress(e.get(), input(), ok);
        ASSERT_TRUE(ok);
        auto d = tav::adapters::brotli::make_decoder(tav::type_handle(t));
        std::string out(input().size(), '\0');
        size_t avail_in = packed.size(), avail_out = out.size();
        auto *next_in = reinterpret_cast<const uint8_t *>(packed.data());
        auto *next_out = reinterpret_cast<uint8_t *>(out.data());
        EXPECT_EQ(BrotliDecoderDecompressStream(d.get(), &avail_in, &next_in, &avail_out, &next_out, nullptr),
                  BROTLI_DECODER_RESULT_SUCCESS);
        EXPECT_TRUE(out == input());
    }
    EXPECT_EQ(charged(t), 0);

    // The encoder would end the process on a refused block: a budgeted type gets none.
    const tavhandle small = make_type("brotli-small", 256 << 10);
    EXPECT_EQ(tav_brotli_encoder(small), nullptr);
    EXPECT_THROW(tav::adapters::brotli::make_encoder(tav::type_handle(small)), std::system_error);
    BrotliDecoderState *d = tav_brotli_decoder(small);
    std::string out(input().size(), '\0');
    size_t avail_in = packed.size(), avail_out = out.size();
    auto *next_in = reinterpret_cast<const uint8_t *>(packed.data());
    auto *next_out = reinterpret_cast<uint8_t *>(out.data());
    EXPECT_EQ(BrotliDecoderDecompressStream(d, &avail_in, &next_in, &avail_out, &next_out, nullptr),
              BROTLI_DECODER_RESULT_ERROR);
    EXPECT_LE(BrotliDecoderGetErrorCode(d), BROTLI_DECODER_ERROR_ALLOC_CONTEXT_MODES);
    EXPECT_GE(BrotliDecoderGetErrorCode(d), BROTLI_DECODER_ERROR_ALLOC_BLOCK_TYPE_TREES);
    BrotliDecoderDestroyInstance(d);
    EXPECT_EQ(charged(small), 0);
}

} // namespace
