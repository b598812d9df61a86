#include "SessionCookie.h"

#include "User.h"

#include <QFile>
#include <QList>
#include <QMessageAuthenticationCode>
#include <QSaveFile>

#include <openssl/crypto.h>
#include <openssl/rand.h>

namespace {

constexpr QByteArray::Base64Options Base64Url = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;
constexpr int NonceBytes = 16;
// A cookie is small; anything longer is not ours and is not even decoded.
constexpr int MaxValueLength = 512;

} // namespace

SessionCookie::SessionCookie(const QByteArray &key)
    : m_key(key)
{
}

QByteArray SessionCookie::sign(const QByteArray &payload) const
{
    return QMessageAuthenticationCode::hash(payload, m_key, QCryptographicHash::Sha256);
}

QByteArray SessionCookie::issue(const QString &user, const QByteArray &stamp, qint64 nowSecs) const
{
    const QByteArray payload = user.toLatin1() + '|' + QByteArray::number(nowSecs) + '|'
        + randomBytes(NonceBytes).toHex() + '|' + stamp;
    return payload.toBase64(Base64Url) + '.' + sign(payload).toBase64(Base64Url);
}

std::optional<SessionCookie::Session> SessionCookie::parse(const QByteArray &value, qint64 nowSecs) const
{
    if (m_key.isEmpty() || value.size() > MaxValueLength)
        return std::nullopt;
    const int dot = value.indexOf('.');
    if (dot < 0)
        return std::nullopt;
    const QByteArray payload = QByteArray::fromBase64(value.left(dot), Base64Url);
    const QByteArray mac = QByteArray::fromBase64(value.mid(dot + 1), Base64Url);
    const QByteArray expected = sign(payload);
    if (mac.size() != expected.size() || CRYPTO_memcmp(mac.constData(), expected.constData(), size_t(mac.size())) != 0)
        return std::nullopt;

    const QList<QByteArray> fields = payload.split('|');
    if (fields.size() != 4)
        return std::nullopt;
    Session session;
    session.user = QString::fromLatin1(fields.at(0));
    session.issued = fields.at(1).toLongLong();
    session.nonce = fields.at(2);
    session.stamp = fields.at(3);
    if (!User::isValidName(session.user) || session.issued > nowSecs || nowSecs - session.issued >= LifetimeSecs)
        return std::nullopt;
    return session;
}

QByteArray SessionCookie::loadKey(const QString &path, QString *error)
{
    QFile file(path);
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("%1: %2").arg(path, file.errorString());
            return QByteArray();
        }
        const QByteArray key = file.read(KeyBytes + 1);
        if (key.size() != KeyBytes) {
            *error = QStringLiteral("%1 does not hold a key of %2 bytes").arg(path).arg(KeyBytes);
            return QByteArray();
        }
        return key;
    }
    const QByteArray key = randomBytes(KeyBytes);
    QSaveFile out(path);
    if (key.size() != KeyBytes || !out.open(QIODevice::WriteOnly)
        || !out.setPermissions(QFile::ReadOwner | QFile::WriteOwner) || out.write(key) != KeyBytes || !out.commit()) {
        *error = QStringLiteral("%1: %2").arg(path, out.errorString());
        return QByteArray();
    }
    return key;
}

QByteArray SessionCookie::randomBytes(int count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(bytes.data()), count) != 1)
        return QByteArray();
    return bytes;
}
