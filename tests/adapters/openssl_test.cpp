// OpenSSL with its whole heap charged to one type: TLS 1.3 handshakes over
// memory BIOs and SHA-256 checked; a squeezed budget fails OpenSSL cleanly;
// OPENSSL_cleanup() takes the charge back to 0. The hook lasts as long as the
// process: OpenSSLTooLate runs in a process of its own.
#include <tav/adapters/openssl.h>

#include <openssl/err.h>

#include "adapter_host.hpp"
#include "bench/workloads/openssl.hpp"

using namespace adapters_test;

namespace {

constexpr int32_t kBudget = 64 << 20;
const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

tavhandle hooked()
{
    static const tavhandle t = make_type("openssl", kBudget);
    EXPECT_EQ(tav::adapters::openssl::install(tav::type_handle(t)), std::error_code());
    return t;
}

extern "C" int32_t tavtest_side_install(tavhandle type); // tests/adapters/openssl_side.c

TEST(OpenSSLHook, ASecondTypeIsRefusedFromAnyObjectOfTheProcess)
{
    const tavhandle t = hooked();
    const tavhandle other = make_type("other");
    EXPECT_EQ(tav_openssl_install(other), TAV_ADAPTER_TAKEN);
    EXPECT_EQ(tavtest_side_install(other), TAV_ADAPTER_TAKEN) << "a shared library sees the same hook";
    EXPECT_EQ(tavtest_side_install(t), TAV_ADAPTER_OK);
    EXPECT_EQ(tav_openssl_install(t), TAV_ADAPTER_OK);
    EXPECT_EQ(tav_openssl_install(t + 1000), TAV_ADAPTER_BADTYPE);
}

TEST(OpenSSLHook, ASqueezedBudgetFailsCleanlyAndOpenSSLWorksOn)
{
    const tavhandle t = hooked();
    const Identity id = identity();
    ASSERT_TRUE(id);
    ASSERT_EQ(tls_echo(id, "warm"), "warm");
    {
        const Squeeze squeeze(t, kBudget, 16 << 10);
        const uint32_t before = refusals(t);
        ERR_clear_error();
        EXPECT_EQ(tls_echo(id, "hello"), "");
        EXPECT_GT(refusals(t), before);
        EXPECT_NE(ERR_peek_error(), 0u) << "OpenSSL reports the failure in its error queue";
    }
    ERR_clear_error();
    EXPECT_EQ(tls_echo(id, "hello"), "hello");
}

// Last: after OPENSSL_cleanup() OpenSSL cannot start again in this process.
TEST(OpenSSLHook, HandshakesAndCleanupTakeTheChargeBackToZero)
{
    const tavhandle t = hooked();
    {
        const Identity id = identity();
        ASSERT_TRUE(id);
        const std::string message = sample_text(10000);
        EXPECT_EQ(tls_echo(id, message), message);
        EXPECT_EQ(tls_echo(id, "second"), "second");
        EXPECT_EQ(sha256_hex("abc"), kAbcDigest);
        EXPECT_GT(charged(t), 64 << 10);
    }
    EXPECT_GT(charged(t), 0) << "OpenSSL keeps its caches until the cleanup";
    OPENSSL_cleanup();
    EXPECT_EQ(charged(t), 0);
    EXPECT_EQ(host::books_problem({}), "");
}

TEST(OpenSSLTooLate, AnInstallAfterOpenSSLAllocatedIsRefused)
{
    ASSERT_EQ(tav_adapter_hook_type(&tav_openssl_hook), 0u) << "run this test in a process of its own";
    EXPECT_EQ(sha256_hex("abc"), kAbcDigest);
    const tavhandle t = make_type("openssl");
    const std::error_code e = tav::adapters::openssl::install(tav::type_handle(t));
    EXPECT_EQ(e, tav::errc::too_late);
    EXPECT_NE(e.message().find("too late"), std::string::npos);
    EXPECT_EQ(tav_adapter_hook_type(&tav_openssl_hook), 0u);
    EXPECT_EQ(sha256_hex("abc"), kAbcDigest) << "OpenSSL works on with its own allocator";
    EXPECT_EQ(charged(t), 0);
}

} // namespace
