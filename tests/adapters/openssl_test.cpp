// OpenSSL with its whole heap charged to one type: TLS 1.3 handshakes over
// memory BIOs, AES-256-GCM and SHA-256 checked; a squeezed budget fails
// OpenSSL cleanly; OPENSSL_cleanup() takes the charge back to 0. The hook lasts
// as long as the process: OpenSSLTooLate runs in a process of its own.
#include <tav/adapters/openssl.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

#include "adapter_host.hpp"

using namespace adapters_test;

namespace {

constexpr int32_t kBudget = 64 << 20;

tavhandle hooked()
{
    static const tavhandle t = make_type("openssl", kBudget);
    EXPECT_EQ(tav::adapters::openssl::install(tav::type_handle(t)), std::error_code());
    return t;
}

using Key = std::unique_ptr<EVP_PKEY, tav::adapters::releaser<EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, tav::adapters::releaser<X509_free>>;
using Ctx = std::unique_ptr<SSL_CTX, tav::adapters::releaser<SSL_CTX_free>>;
using Conn = std::unique_ptr<SSL, tav::adapters::releaser<SSL_free>>;

// An EC P-256 key and a self-signed certificate for it.
std::pair<Key, Cert> identity()
{
    Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    Cert cert(X509_new());
    if (!key || !cert) return {};
    X509 *x = cert.get();
    X509_NAME *name = X509_get_subject_name(x);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    if (X509_set_pubkey(x, key.get()) != 1 ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char *)"tav.test", -1, -1, 0) != 1 ||
        X509_set_issuer_name(x, name) != 1 || X509_sign(x, key.get(), EVP_sha256()) == 0)
        return {};
    return {std::move(key), std::move(cert)};
}

// A TLS 1.3 handshake between a server and a client in memory, then the
// message to the server and back; "" at the first failure.
std::string echo_over_tls(const std::pair<Key, Cert> &id, const std::string &message)
{
    Ctx sctx(SSL_CTX_new(TLS_server_method())), cctx(SSL_CTX_new(TLS_client_method()));
    if (!sctx || !cctx || SSL_CTX_use_certificate(sctx.get(), id.second.get()) != 1 ||
        SSL_CTX_use_PrivateKey(sctx.get(), id.first.get()) != 1 ||
        SSL_CTX_set_min_proto_version(cctx.get(), TLS1_3_VERSION) != 1)
        return "";
    Conn server(SSL_new(sctx.get())), client(SSL_new(cctx.get()));
    BIO *sbio = nullptr, *cbio = nullptr;
    if (!server || !client || BIO_new_bio_pair(&sbio, 0, &cbio, 0) != 1) return "";
    SSL_set_bio(server.get(), sbio, sbio);
    SSL_set_bio(client.get(), cbio, cbio);
    SSL_set_accept_state(server.get());
    SSL_set_connect_state(client.get());
    for (int round = 0, done = 0; done != 2; ++round) {
        if (round == 20) return "";
        done = 0;
        for (SSL *s : {client.get(), server.get()}) {
            const int rc = SSL_do_handshake(s);
            const int why = SSL_get_error(s, rc);
            if (rc != 1 && why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) return "";
            done += rc == 1;
        }
    }
    std::string got(message.size(), '\0'), back(message.size(), '\0');
    if (SSL_version(client.get()) != TLS1_3_VERSION ||
        SSL_write(client.get(), message.data(), int(message.size())) != int(message.size()) ||
        SSL_read(server.get(), got.data(), int(got.size())) != int(got.size()) ||
        SSL_write(server.get(), got.data(), int(got.size())) != int(got.size()) ||
        SSL_read(client.get(), back.data(), int(back.size())) != int(back.size()))
        return "";
    return back;
}

// AES-256-GCM there and back: whether the plaintext and the tag survive.
bool gcm_round_trip(const std::string &plain)
{
    const unsigned char key[32] = {1, 2, 3}, iv[12] = {4, 5, 6};
    std::string sealed(plain.size(), '\0'), opened(plain.size(), '\0');
    unsigned char tag[16];
    int n = 0;
    std::unique_ptr<EVP_CIPHER_CTX, tav::adapters::releaser<EVP_CIPHER_CTX_free>> c(EVP_CIPHER_CTX_new());
    const auto *in = reinterpret_cast<const unsigned char *>(plain.data());
    auto *out = reinterpret_cast<unsigned char *>(sealed.data());
    if (!c || EVP_EncryptInit_ex(c.get(), EVP_aes_256_gcm(), nullptr, key, iv) != 1 ||
        EVP_EncryptUpdate(c.get(), out, &n, in, int(plain.size())) != 1 || EVP_EncryptFinal_ex(c.get(), out + n, &n) != 1 ||
        EVP_CIPHER_CTX_ctrl(c.get(), EVP_CTRL_GCM_GET_TAG, 16, tag) != 1 || sealed == plain)
        return false;
    auto *back = reinterpret_cast<unsigned char *>(opened.data());
    return EVP_DecryptInit_ex(c.get(), EVP_aes_256_gcm(), nullptr, key, iv) == 1 &&
           EVP_DecryptUpdate(c.get(), back, &n, out, int(sealed.size())) == 1 &&
           EVP_CIPHER_CTX_ctrl(c.get(), EVP_CTRL_GCM_SET_TAG, 16, tag) == 1 &&
           EVP_DecryptFinal_ex(c.get(), back + n, &n) == 1 && opened == plain;
}

std::string sha256_hex(const std::string &data)
{
    unsigned char md[32];
    unsigned int n = 0;
    if (EVP_Digest(data.data(), data.size(), md, &n, EVP_sha256(), nullptr) != 1) return "";
    std::string hex;
    for (unsigned i = 0; i < n; ++i) hex += "0123456789abcdef"[md[i] >> 4], hex += "0123456789abcdef"[md[i] & 15];
    return hex;
}

const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(OpenSSLHook, ASecondTypeIsRefused)
{
    const tavhandle t = hooked();
    EXPECT_EQ(tav_openssl_install(make_type("other")), TAV_ADAPTER_TAKEN);
    EXPECT_EQ(tav_openssl_install(t), TAV_ADAPTER_OK);
    EXPECT_EQ(tav_openssl_install(t + 1000), TAV_ADAPTER_BADTYPE);
}

TEST(OpenSSLHook, ASqueezedBudgetFailsCleanlyAndOpenSSLWorksOn)
{
    const tavhandle t = hooked();
    const auto id = identity();
    ASSERT_TRUE(id.first);
    ASSERT_EQ(echo_over_tls(id, "warm"), "warm");
    {
        const Squeeze squeeze(t, kBudget, 16 << 10);
        const uint32_t before = refusals(t);
        ERR_clear_error();
        EXPECT_EQ(echo_over_tls(id, "hello"), "");
        EXPECT_GT(refusals(t), before);
        EXPECT_NE(ERR_peek_error(), 0u) << "OpenSSL reports the failure in its error queue";
    }
    ERR_clear_error();
    EXPECT_EQ(echo_over_tls(id, "hello"), "hello");
    EXPECT_TRUE(gcm_round_trip(sample_text(64 << 10)));
}

// Last: after OPENSSL_cleanup() OpenSSL cannot start again in this process.
TEST(OpenSSLHook, HandshakesCiphersAndCleanupTakeTheChargeBackToZero)
{
    const tavhandle t = hooked();
    {
        const auto id = identity();
        ASSERT_TRUE(id.first);
        const std::string message = sample_text(10000);
        EXPECT_EQ(echo_over_tls(id, message), message);
        EXPECT_EQ(echo_over_tls(id, "second"), "second");
        EXPECT_TRUE(gcm_round_trip(sample_text(1 << 20)));
        EXPECT_EQ(sha256_hex("abc"), kAbcDigest);
        EXPECT_GT(charged(t), 64 << 10);
    }
    EXPECT_GT(charged(t), 0) << "OpenSSL keeps its caches until the cleanup";
    OPENSSL_cleanup();
    EXPECT_EQ(charged(t), 0);
    EXPECT_EQ(host::books_problem({}), "");
}

// Run alone: OpenSSL has allocated before the install.
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
