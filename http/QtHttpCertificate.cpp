#include "QtHttpCertificate.h"

#include <QFile>
#include <QHostAddress>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace {

// PEM files of a TLS identity are small; anything larger is not one.
constexpr qint64 MaxPemBytes = 1024 * 1024;

template<typename T, void (*Free)(T *)>
struct Deleter
{
    void operator()(T *p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

// Never asks for a passphrase: the service runs unattended.
int noPassphrase(char *, int, int, void *)
{
    return 0;
}

bool readPem(const QString &path, QByteArray *pem, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    *pem = file.read(MaxPemBytes + 1);
    if (pem->size() > MaxPemBytes) {
        *error = QStringLiteral("%1 is larger than %2 bytes").arg(path).arg(MaxPemBytes);
        return false;
    }
    return true;
}

Bio memoryOf(const QByteArray &bytes)
{
    return Bio(BIO_new_mem_buf(bytes.constData(), bytes.size()));
}

QByteArray contentsOf(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, int(size));
}

bool keyIsCertificates(const QByteArray &certificatePem, const QByteArray &keyPem)
{
    const Certificate certificate(PEM_read_bio_X509(memoryOf(certificatePem).get(), nullptr, noPassphrase, nullptr));
    const Key key(PEM_read_bio_PrivateKey(memoryOf(keyPem).get(), nullptr, noPassphrase, nullptr));
    return certificate && key && X509_check_private_key(certificate.get(), key.get()) == 1;
}

bool addExtension(X509 *certificate, int nid, const QByteArray &value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    const Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.constData()));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

QByteArray alternativeNames(const QStringList &hosts)
{
    QByteArrayList names;
    for (const QString &host : hosts)
        names.append((QHostAddress(host).isNull() ? "DNS:" : "IP:") + host.toUtf8());
    return names.join(',');
}

bool setValidity(X509 *certificate, int days)
{
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1)
        return false;
    serial[0] &= 0x7f; // a positive number
    BIGNUM *number = BN_bin2bn(serial, sizeof serial, nullptr);
    const bool set = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate));
    BN_free(number);
    return set && X509_gmtime_adj(X509_getm_notBefore(certificate), 0)
        && X509_gmtime_adj(X509_getm_notAfter(certificate), long(days) * 24 * 3600);
}

} // namespace

bool QtHttpCertificate::load(const QString &certificatePath, const QString &keyPath, QtHttpCertificate *identity,
                             QString *error)
{
    QByteArray certificatePem;
    QByteArray keyPem;
    if (!readPem(certificatePath, &certificatePem, error) || !readPem(keyPath, &keyPem, error))
        return false;
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certificatePem, QSsl::Pem);
    if (chain.isEmpty()) {
        *error = QStringLiteral("no certificate in %1").arg(certificatePath);
        return false;
    }
    QSslKey key;
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Ec, QSsl::Rsa, QSsl::Dsa}) {
        if (key.isNull())
            key = QSslKey(keyPem, algorithm, QSsl::Pem, QSsl::PrivateKey);
    }
    if (key.isNull()) {
        *error = QStringLiteral("no private key without a passphrase in %1").arg(keyPath);
        return false;
    }
    if (!keyIsCertificates(certificatePem, keyPem)) {
        *error = QStringLiteral("the key in %1 is not the key of the certificate in %2").arg(keyPath, certificatePath);
        return false;
    }
    identity->m_chain = chain;
    identity->m_key = key;
    return true;
}

bool QtHttpCertificate::makeSelfSigned(const QStringList &hosts, int days, QByteArray *certificatePem,
                                       QByteArray *keyPem, QString *error)
{
    *error = QStringLiteral("the TLS library could not make the certificate");
    if (hosts.isEmpty()) {
        *error = QStringLiteral("no host to name");
        return false;
    }
    const Key key(EVP_EC_gen("P-256"));
    const Certificate certificate(X509_new());
    if (!key || !certificate || X509_set_version(certificate.get(), 2) != 1 || !setValidity(certificate.get(), days)
        || X509_set_pubkey(certificate.get(), key.get()) != 1)
        return false;
    X509_NAME *name = X509_get_subject_name(certificate.get());
    const QByteArray commonName = hosts.first().toUtf8();
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(commonName.constData()),
                                   commonName.size(), -1, 0) != 1
        || X509_set_issuer_name(certificate.get(), name) != 1
        || !addExtension(certificate.get(), NID_basic_constraints, "critical,CA:FALSE")
        || !addExtension(certificate.get(), NID_key_usage, "critical,digitalSignature")
        || !addExtension(certificate.get(), NID_ext_key_usage, "serverAuth")
        || !addExtension(certificate.get(), NID_subject_alt_name, alternativeNames(hosts))
        || X509_sign(certificate.get(), key.get(), EVP_sha256()) == 0)
        return false;

    const Bio certificateOut(BIO_new(BIO_s_mem()));
    const Bio keyOut(BIO_new(BIO_s_mem()));
    if (!certificateOut || !keyOut || PEM_write_bio_X509(certificateOut.get(), certificate.get()) != 1
        || PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return false;
    *certificatePem = contentsOf(certificateOut.get());
    *keyPem = contentsOf(keyOut.get());
    error->clear();
    return true;
}
