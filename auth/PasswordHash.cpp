#include "PasswordHash.h"

#include <QList>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace {

constexpr int SaltBytes = 16;
constexpr int HashBytes = 32;
// Far above the minimum, far below anything that costs a minute.
constexpr int MaxIterations = 10000000;
const QByteArray Scheme = QByteArrayLiteral("pbkdf2-sha256");

QByteArray derive(const QByteArray &password, const QByteArray &salt, int iterations)
{
    QByteArray hash(HashBytes, Qt::Uninitialized);
    if (PKCS5_PBKDF2_HMAC(password.constData(), password.size(), reinterpret_cast<const unsigned char *>(salt.constData()),
                          salt.size(), iterations, EVP_sha256(), hash.size(),
                          reinterpret_cast<unsigned char *>(hash.data())) != 1)
        return QByteArray();
    return hash;
}

} // namespace

QByteArray PasswordHash::make(const QByteArray &password)
{
    QByteArray salt(SaltBytes, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(salt.data()), salt.size()) != 1)
        return QByteArray();
    const QByteArray hash = derive(password, salt, Iterations);
    if (hash.isEmpty())
        return QByteArray();
    return Scheme + '$' + QByteArray::number(Iterations) + '$' + salt.toBase64() + '$' + hash.toBase64();
}

bool PasswordHash::verify(const QByteArray &record, const QByteArray &password)
{
    const QList<QByteArray> parts = record.split('$');
    if (parts.size() != 4 || parts.at(0) != Scheme)
        return false;
    bool isNumber = false;
    const int iterations = parts.at(1).toInt(&isNumber);
    const QByteArray salt = QByteArray::fromBase64(parts.at(2));
    const QByteArray expected = QByteArray::fromBase64(parts.at(3));
    if (!isNumber || iterations < Iterations || iterations > MaxIterations || salt.size() < SaltBytes
        || expected.size() != HashBytes)
        return false;
    const QByteArray hash = derive(password, salt, iterations);
    return hash.size() == HashBytes && CRYPTO_memcmp(hash.constData(), expected.constData(), HashBytes) == 0;
}

void PasswordHash::spendVerification(const QByteArray &password)
{
    derive(password, QByteArray(SaltBytes, '\0'), Iterations);
}
