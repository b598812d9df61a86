#ifndef QTHTTPCERTIFICATE_H
#define QTHTTPCERTIFICATE_H

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>

// The server's TLS identity: a certificate chain and its private key, read
// from PEM files, or made self-signed for a quick start.
class QtHttpCertificate
{
public:
    QtHttpCertificate() = default;

    bool isNull() const { return m_chain.isEmpty(); }
    QList<QSslCertificate> chain() const { return m_chain; }
    QSslKey privateKey() const { return m_key; }

    // Reads the chain and the key (unencrypted PEM) and checks that the key
    // is the certificate's. On failure says why in *error, in a few words.
    static bool load(const QString &certificatePath, const QString &keyPath, QtHttpCertificate *identity,
                     QString *error);

    // A new P-256 key and a certificate for it, signed by itself, valid for
    // the given days from now, naming every host (a DNS name or an IP
    // address) as a subject alternative name, the first also as common name.
    static bool makeSelfSigned(const QStringList &hosts, int days, QByteArray *certificatePem, QByteArray *keyPem,
                               QString *error);

private:
    QList<QSslCertificate> m_chain;
    QSslKey m_key;
};

#endif // QTHTTPCERTIFICATE_H
