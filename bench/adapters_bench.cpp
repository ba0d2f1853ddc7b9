// Each adapter against its library's own allocator, side by side on the same
// work (bench/workloads/): "<library>/<work>/default" runs with the library's
// allocator, "<library>/<work>/tav" with its heap charged to a type through the
// adapter (a ladder of 20 classes, 16 B to 64 KiB, no budget). tav cases count
// the blocks the type was given per iteration ("blocks").
//
// The per-instance adapters, and SQLite whose hook comes off again, run both
// variants in one process. The hooks of OpenSSL, libxml2 and libcurl last as
// long as the process: with --tav-hooks the process installs them first and
// runs their tav variants, without it their default variants.
// bench/adapters_compare runs both kinds of process in turn and prints ratios.
#include <benchmark/benchmark.h>

#include <tav/adapters/curl.h>
#include <tav/adapters/libxml2.h>
#include <tav/adapters/openssl.h>
#include <tav/adapters/sqlite.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "bench/workloads/compression.hpp"
#include "bench/workloads/curl.hpp"
#include "bench/workloads/interpreters.hpp"
#include "bench/workloads/libxml2.hpp"
#include "bench/workloads/openssl.hpp"
#include "bench/workloads/sqlite.hpp"
#include "platform/zuno.h"

struct tavnode tavnode;

// The host platform, as cheap as it can be.
const char *zunoGetProcessName(void) { return "adapters_bench"; }
int zunoNamespaceAdd(const char *, const char *, int) { return 0; }

#if defined(__GLIBC__) && !(__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 38))
size_t strlcpy(char *dst, const char *src, size_t size)
{
    const size_t len = std::strlen(src);
    if (size > 0) {
        const size_t n = len < size - 1 ? len : size - 1;
        std::memcpy(dst, src, n);
        dst[n] = '\0';
    }
    return len;
}
#endif

namespace {

using namespace work;

// Blocks a type was given so far: pooled ones, and oversize ones (its group's).
uint64_t blocks(tavhandle t)
{
    const uint32_t i = t & TAV_INDEX_MASK;
    uint64_t n = tavnode.groups[tavnode.types[i].gindex].bigcount;
    for (int32_t p = 0; p < tavnode.npools; ++p) n += tavnode.pools[p].typestats.asucc[i];
    return n;
}

// Registers "<name>/default" and "<name>/tav"; run(t) is one iteration, t 0 for
// the library's own allocator. `variants` limits which are registered.
enum Variants { both, only_default, only_tav };
void add(const std::string &name, tavhandle t, std::function<void(tavhandle)> run, Variants variants = both)
{
    for (const bool tav : {false, true}) {
        if ((tav && variants == only_default) || (!tav && variants == only_tav)) continue;
        benchmark::RegisterBenchmark((name + (tav ? "/tav" : "/default")).c_str(), [=](benchmark::State
                                                                                           &state) {
            const tavhandle use = tav ? t : 0;
            const uint64_t before = tav ? blocks(t) : 0;
            for (auto _ : state) run(use);
            if (tav) state.counters["blocks"] = double(blocks(t) - before) / double(state.iterations());
        })->Unit(benchmark::kMicrosecond);
    }
}

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "adapters_bench: %s failed\n", what);
        std::exit(1);
    }
}

void add_per_instance()
{
    static const std::string text4k = sample_text(4 << 10), text64k = sample_text(64 << 10),
                             text256k = sample_text(256 << 10), text1m = sample_text(1 << 20),
                             xml = sample_xml(20000, 20);
    add("zlib/deflate_4KiB", register_type("zlib-4KiB"),
        [](tavhandle t) { check(!zlib_deflate(t, text4k).empty(), "zlib"); });
    add("zlib/deflate_1MiB", register_type("zlib-1MiB"),
        [](tavhandle t) { check(!zlib_deflate(t, text1m).empty(), "zlib"); });
    add("zstd/compress_64KiB", register_type("zstd"), [](tavhandle t) {
        ZSTD_CCtx *c = t != 0 ? ZSTD_createCCtx_advanced(tav_zstd_mem(t)) : ZSTD_createCCtx();
        check(zstd_compress(c, text64k, 3).size() < text64k.size(), "zstd");
        ZSTD_freeCCtx(c);
    });
    add("lzma/preset1_256KiB", register_type("lzma"), [](tavhandle t) {
        const lzma_allocator a = tav_lzma_allocator(t);
        check(!lzma_compress(t != 0 ? &a : nullptr, text256k, 1).empty(), "lzma");
    });
    add("brotli/quality5_256KiB", register_type("brotli"), [](tavhandle t) {
        BrotliEncoderState *e =
            t != 0 ? tav_brotli_encoder(t) : BrotliEncoderCreateInstance(nullptr, nullptr, nullptr);
        check(!brotli_compress(e, text256k, 5, 22).empty(), "brotli");
        BrotliEncoderDestroyInstance(e);
    });
    add("lua/table_script", register_type("lua"), [](tavhandle t) {
        lua_State *L = lua_open(t);
        check(lua_run(L, kLuaTableScript) == 566682, "lua");
        lua_close(L);
    });
    add("expat/parse_1MiB", register_type("expat"), [](tavhandle t) {
        XML_Parser p = expat_parser(t);
        XmlCounts c;
        check(expat_parse(p, xml, c) == XML_STATUS_OK && c.elements == 20001, "expat");
        XML_ParserFree(p);
    });
    add("nghttp2/request_50_headers", register_type("nghttp2"), [](tavhandle t) {
        const nghttp2_mem mem = tav_nghttp2_mem(t);
        H2Peer client, server;
        check(h2_open(client, server, t != 0 ? &mem : nullptr) == 0 && h2_exchange(client, server, 50) == 0,
              "nghttp2");
    });
    static std::string emails;
    for (int i = 0; i < 1000; ++i)
        emails += "user" + std::to_string(i) + "@host" + std::to_string(i % 10) + ".example, ";
    add("pcre2/compile_and_scan", register_type("pcre2"), [](tavhandle t) {
        pcre2_general_context *g = t != 0 ? tav_pcre2_general_context(t) : nullptr;
        check(pcre2_scan(g, "(\\w+)@(host[0-9])\\.example", emails, "host7").wanted == 100, "pcre2");
        pcre2_general_context_free(g);
    });
    // SQLite's hook comes off between the variants: each case puts SQLite as it needs it.
    add("sqlite/insert_20000_rows", register_type("sqlite"), [](tavhandle t) {
        if (tav_adapter_hook_type(&tav_sqlite_hook) != t) {
            if (t == 0)
                check(tav_sqlite_uninstall() == TAV_ADAPTER_OK, "sqlite uninstall");
            else
                check(sqlite3_shutdown() == SQLITE_OK && tav_sqlite_install(t) == TAV_ADAPTER_OK,
                      "sqlite install");
        }
        sqlite3 *db = nullptr;
        check(sqlite3_open(":memory:", &db) == SQLITE_OK && sqlite_fill(db, 0, 20000) == SQLITE_OK &&
                  sqlite_query(db, "SELECT count(*) FROM t") == 20000,
              "sqlite");
        sqlite3_close(db);
    });
}

// OpenSSL, libxml2 and libcurl: their tav variants only where the hooks went in first.
void add_process_wide(bool hooked)
{
    const Variants v = hooked ? only_tav : only_default;
    const tavhandle ssl = register_type("openssl"), xml2 = register_type("libxml2"),
                    curl = register_type("curl");
    if (hooked)
        check(tav_openssl_install(ssl) == TAV_ADAPTER_OK && tav_libxml2_install(xml2) == TAV_ADAPTER_OK &&
                  tav_curl_install(curl, CURL_GLOBAL_DEFAULT) == TAV_ADAPTER_OK,
              "installing the process-wide hooks");
    else
        check(curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK, "curl_global_init");
    add(
        "openssl/tls13_handshake_and_echo", ssl,
        [](tavhandle) {
            static const Identity id = identity();
            check(tls_echo(id, "hello") == "hello", "openssl");
        },
        v);
    static const std::string xml = sample_xml(20000, 20);
    add(
        "libxml2/parse_1MiB_and_count", xml2,
        [](tavhandle) {
            xmlDocPtr doc = xml_parse(xml);
            check(xml_evaluate(doc, "count(//item)") == 20000, "libxml2");
            xmlFreeDoc(doc);
        },
        v);
    add(
        "curl/get_64KiB_loopback", curl,
        [](tavhandle) {
            static const Server server(sample_text(64 << 10));
            static CURL *e = curl_easy_init();
            check(curl_get(e, server.url()).size() == 64 << 10, "curl");
        },
        v);
}

} // namespace

int main(int argc, char **argv)
{
    bool hooked = false;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--tav-hooks") == 0) {
            hooked = true;
            std::memmove(argv + i, argv + i + 1, sizeof *argv * size_t(argc - i));
            --argc;
            break;
        }
    add_process_wide(hooked); // first: the hooks go in before anything allocates
    add_per_instance();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
