#ifndef QTHTTPTLSCONTEXT_H
#define QTHTTPTLSCONTEXT_H

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <memory>

typedef struct ssl_ctx_st SSL_CTX;

// What every TLS connection of a server shares: its certificate chain and
// key, TLS 1.2 and 1.3 only, forward-secret AEAD suites only, no
// renegotiation. The connections' sessions keep it alive for as long as
// they need it, so a server may replace it at any time.
class QtHttpTlsContext
{
public:
    // Null, with the reason in *error, when the chain or the key cannot be used.
    static std::unique_ptr<QtHttpTlsContext> create(const QList<QSslCertificate> &chain, const QSslKey &key,
                                                    QString *error);
    ~QtHttpTlsContext();

    SSL_CTX *handle() const { return m_context; }

private:
    explicit QtHttpTlsContext(SSL_CTX *context) : m_context(context) {}
    Q_DISABLE_COPY(QtHttpTlsContext)

    SSL_CTX *m_context;
};

#endif // QTHTTPTLSCONTEXT_H
