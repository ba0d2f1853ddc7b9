// TLS 1.3 between a server and a client in memory, and SHA-256 (see common.hpp).
// Whose heap it charges is decided once per process, by the hook.
#pragma once

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <utility>

namespace work {

template <class T, void (*Free)(T *)> struct ssl_releaser {
    void operator()(T *p) const noexcept { Free(p); }
};
template <class T, void (*Free)(T *)> using ssl_owned = std::unique_ptr<T, ssl_releaser<T, Free>>;

// An EC P-256 key and a self-signed certificate for it; empty on failure.
struct Identity {
    ssl_owned<EVP_PKEY, EVP_PKEY_free> key;
    ssl_owned<X509, X509_free> cert;
    explicit operator bool() const { return key && cert; }
};

inline Identity identity()
{
    Identity id{ssl_owned<EVP_PKEY, EVP_PKEY_free>(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")),
                ssl_owned<X509, X509_free>(X509_new())};
    if (!id) return {};
    X509 *x = id.cert.get();
    X509_NAME *name = X509_get_subject_name(x);
    if (ASN1_INTEGER_set(X509_get_serialNumber(x), 1) != 1 ||
        X509_gmtime_adj(X509_getm_notBefore(x), 0) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(x), 3600) == nullptr || X509_set_pubkey(x, id.key.get()) != 1 ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char *)"tav.test", -1, -1, 0) !=
            1 ||
        X509_set_issuer_name(x, name) != 1 || X509_sign(x, id.key.get(), EVP_sha256()) == 0)
        return {};
    return id;
}

// A TLS 1.3 handshake, then the message to the server and back: what came
// back, "" at the first failure (OpenSSL's error queue tells which).
inline std::string tls_echo(const Identity &id, const std::string &message)
{
    ssl_owned<SSL_CTX, SSL_CTX_free> sctx(SSL_CTX_new(TLS_server_method())),
        cctx(SSL_CTX_new(TLS_client_method()));
    if (!sctx || !cctx || SSL_CTX_use_certificate(sctx.get(), id.cert.get()) != 1 ||
        SSL_CTX_use_PrivateKey(sctx.get(), id.key.get()) != 1 ||
        SSL_CTX_set_min_proto_version(cctx.get(), TLS1_3_VERSION) != 1)
        return "";
    ssl_owned<SSL, SSL_free> server(SSL_new(sctx.get())), client(SSL_new(cctx.get()));
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
            const int rc = SSL_do_handshake(s), why = SSL_get_error(s, rc);
            if (rc != 1 && why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) return "";
            done += rc == 1;
        }
    }
    std::string got(message.size(), '\0'), back(message.size(), '\0');
    const int n = int(message.size());
    if (SSL_version(client.get()) != TLS1_3_VERSION || SSL_write(client.get(), message.data(), n) != n ||
        SSL_read(server.get(), got.data(), n) != n || SSL_write(server.get(), got.data(), n) != n ||
        SSL_read(client.get(), back.data(), n) != n)
        return "";
    return back;
}

inline std::string sha256_hex(const std::string &data)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    std::string hex;
    if (EVP_Digest(data.data(), data.size(), md, &n, EVP_sha256(), nullptr) != 1) return hex;
    for (unsigned i = 0; i < n; ++i)
        hex += "0123456789abcdef"[md[i] >> 4], hex += "0123456789abcdef"[md[i] & 15];
    return hex;
}

} // namespace work
