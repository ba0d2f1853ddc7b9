// zlib, zstd, liblzma and Brotli with their state charged to a type: round
// trips checked, the charge gone with the last object, budgets that fail the
// library with its own error code.
#include "adapter_host.hpp"
#include "bench/workloads/compression.hpp"

using namespace adapters_test;

namespace {

using Compression = Registry;

const std::string &input()
{
    static const std::string text = sample_text(1 << 20);
    return text;
}

TEST_F(Compression, ZlibStreamShapesRoundTrip)
{
    const tavhandle t = make_type("zlib");
    // Default, raw, gzip, small window and memory, best compression.
    const int shapes[][3] = {{Z_DEFAULT_COMPRESSION, 15, 8}, {1, -15, 8}, {6, 31, 8}, {6, 9, 1}, {9, 15, 9}};
    for (const auto &s : shapes) {
        const std::string packed = zlib_deflate(t, input(), s[0], s[1], s[2]);
        ASSERT_FALSE(packed.empty());
        EXPECT_EQ(charged(t), 0) << "deflateEnd left blocks behind";
        EXPECT_TRUE(zlib_inflate(t, packed, input().size(), s[1]) == input()) << "window " << s[1];
    }
    EXPECT_GE(allocations(t), 5u * 2u) << "every stream went through the type";
}

int deflate_init(z_stream &s, tavhandle t)
{
    s = z_stream{};
    tav::adapters::zlib::use(s, tav::type_handle(t));
    return deflateInit(&s, Z_DEFAULT_COMPRESSION);
}

TEST_F(Compression, ZlibBudgetOfTwoAndAHalfStreams)
{
    const tavhandle unbudgeted = make_type("zlib-probe");
    z_stream s[3];
    ASSERT_EQ(deflate_init(s[0], unbudgeted), Z_OK);
    const int32_t stream = charged(unbudgeted);
    deflateEnd(&s[0]);
    const tavhandle t = make_type("zlib", stream * 5 / 2);
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
    {
        auto c = tav::adapters::zstd::make_cctx(tav::type_handle(t));
        auto d = tav::adapters::zstd::make_dctx(tav::type_handle(t));
        const std::string packed = zstd_compress(c.get(), input(), 3);
        EXPECT_GT(charged(t), 1 << 20) << "the workspace is charged";
        EXPECT_TRUE(zstd_decompress(d.get(), packed, input().size()) == input());
    }
    EXPECT_EQ(charged(t), 0);
    ZSTD_CCtx *c = ZSTD_createCCtx_advanced(tav_zstd_mem(make_type("zstd-small", 64 << 10)));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(zstd_compress(c, input(), 19), "error " + std::to_string(ZSTD_error_memory_allocation));
    ZSTD_freeCCtx(c);
}

TEST_F(Compression, LzmaRoundTripAndMemError)
{
    const tavhandle t = make_type("lzma");
    const tav::adapters::lzma::allocator a{tav::type_handle(t)};
    const std::string in = input().substr(0, 256 << 10), packed = lzma_compress(a.get(), in, 1);
    EXPECT_GT(allocations(t), 0u) << "the coder went through the type";
    EXPECT_TRUE(lzma_decompress(a.get(), packed, in.size()) == in);
    EXPECT_EQ(charged(t), 0);
    const lzma_allocator tight = tav_lzma_allocator(make_type("lzma-small", 1 << 20));
    lzma_stream e = LZMA_STREAM_INIT;
    e.allocator = &tight;
    EXPECT_EQ(lzma_easy_encoder(&e, 6, LZMA_CHECK_CRC64), LZMA_MEM_ERROR);
    lzma_end(&e);
}

TEST_F(Compression, BrotliRoundTripsAndNoEncoderUnderABudget)
{
    const tavhandle t = make_type("brotli");
    std::string packed;
    {
        auto e = tav::adapters::brotli::make_encoder(tav::type_handle(t));
        auto d = tav::adapters::brotli::make_decoder(tav::type_handle(t));
        packed = brotli_compress(e.get(), input(), 5, 22);
        EXPECT_TRUE(brotli_decompress(d.get(), packed, input().size()) == input());
        EXPECT_GT(charged(t), 1 << 20) << "the ring buffer of a 4 MiB window";
    }
    EXPECT_EQ(charged(t), 0);
    // The encoder would end the process on a refused block: a budgeted type gets none.
    const tavhandle small = make_type("brotli-small", 256 << 10);
    EXPECT_EQ(tav_brotli_encoder(small), nullptr);
    tavhandle g = 0, in_budgeted_group = 0;
    ASSERT_EQ(tavgroupregister("budgeted", 1 << 20, &g), 0);
    ASSERT_EQ(tavtyperegister(g, "brotli-in-group", 0, 0, &in_budgeted_group), 0);
    EXPECT_EQ(tav_brotli_encoder(in_budgeted_group), nullptr) << "the group's budget refuses as well";
    EXPECT_THROW(tav::adapters::brotli::make_encoder(tav::type_handle(small)), std::system_error);
    BrotliDecoderState *d = tav_brotli_decoder(small);
    EXPECT_EQ(brotli_decompress(d, packed, input().size()), "");
    EXPECT_LE(BrotliDecoderGetErrorCode(d), BROTLI_DECODER_ERROR_ALLOC_CONTEXT_MODES);
    EXPECT_GE(BrotliDecoderGetErrorCode(d), BROTLI_DECODER_ERROR_ALLOC_BLOCK_TYPE_TREES);
    BrotliDecoderDestroyInstance(d);
}

} // namespace
