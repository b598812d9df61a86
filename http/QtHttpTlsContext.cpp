#include "QtHttpTlsContext.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

namespace {

// AES-128-GCM first: as safe as the wider key for this use, and the
// cheapest per byte with the processor's AES instructions, which matters
// when one frame is encrypted once per viewer.
const char Tls13Suites[] = "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
const char Tls12Ciphers[] = "ECDHE+AESGCM:ECDHE+CHACHA20";

// Resumable sessions the server remembers; beyond it the oldest go.
constexpr long SessionCacheSize = 1024;

QString lastError(const char *what)
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    char text[256] = {};
    if (code)
        ERR_error_string_n(code, text, sizeof text);
    return code ? QStringLiteral("%1: %2").arg(QLatin1String(what), QLatin1String(text)) : QLatin1String(what);
}

bool useKey(SSL_CTX *context, const QSslKey &key)
{
    const QByteArray pem = key.toPem();
    BIO *bio = BIO_new_mem_buf(pem.constData(), pem.size());
    EVP_PKEY *pkey = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
    const bool ok = pkey && SSL_CTX_use_PrivateKey(context, pkey) == 1;
    EVP_PKEY_free(pkey);
    BIO_free(bio);
    return ok;
}

// The first certificate is the server's own, the rest its chain.
bool useChain(SSL_CTX *context, const QList<QSslCertificate> &chain)
{
    for (int i = 0; i < chain.size(); ++i) {
        const QByteArray pem = chain.at(i).toPem();
        BIO *bio = BIO_new_mem_buf(pem.constData(), pem.size());
        X509 *cert = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
        const bool ok = cert && (i == 0 ? SSL_CTX_use_certificate(context, cert) : SSL_CTX_add1_chain_cert(context, cert)) == 1;
        X509_free(cert);
        BIO_free(bio);
        if (!ok)
            return false;
    }
    return !chain.isEmpty();
}

} // namespace

std::unique_ptr<QtHttpTlsContext> QtHttpTlsContext::create(const QList<QSslCertificate> &chain, const QSslKey &key,
                                                           QString *error)
{
    ERR_clear_error();
    SSL_CTX *context = SSL_CTX_new(TLS_server_method());
    if (!context) {
        *error = lastError("no TLS context");
        return nullptr;
    }
    std::unique_ptr<QtHttpTlsContext> result(new QtHttpTlsContext(context));
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION);
    // Writes may end after any whole record and resume from a copy of the
    // rest; idle connections give their record buffers back.
    SSL_CTX_set_mode(context,
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_sess_set_cache_size(context, SessionCacheSize);
    if (SSL_CTX_set_ciphersuites(context, Tls13Suites) != 1 || SSL_CTX_set_cipher_list(context, Tls12Ciphers) != 1) {
        *error = lastError("TLS ciphers not available");
        return nullptr;
    }
    if (!useChain(context, chain)) {
        *error = lastError("TLS certificate not usable");
        return nullptr;
    }
    if (!useKey(context, key) || SSL_CTX_check_private_key(context) != 1) {
        *error = lastError("TLS key not usable with the certificate");
        return nullptr;
    }
    return result;
}

QtHttpTlsContext::~QtHttpTlsContext()
{
    SSL_CTX_free(m_context);
}
