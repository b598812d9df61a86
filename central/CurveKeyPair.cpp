#include "CurveKeyPair.h"

#include <QFile>
#include <QSaveFile>

#include <zmq.h>

namespace {

const QByteArray publicPrefix = "public=";
const QByteArray secretPrefix = "secret=";

QByteArray valueOf(const QList<QByteArray> &lines, const QByteArray &prefix)
{
    for (const QByteArray &line : lines) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed();
    }
    return QByteArray();
}

} // namespace

bool CurveKeyPair::isAvailable()
{
    return zmq_has("curve") != 0;
}

bool CurveKeyPair::isKey(const QByteArray &z85)
{
    uint8_t decoded[32];
    return z85.size() == KeyLength && zmq_z85_decode(decoded, z85.constData()) != nullptr;
}

CurveKeyPair CurveKeyPair::generate()
{
    char publicKey[KeyLength + 1] = {};
    char secretKey[KeyLength + 1] = {};
    CurveKeyPair keys;
    if (zmq_curve_keypair(publicKey, secretKey) == 0) {
        keys.publicKey = QByteArray(publicKey, KeyLength);
        keys.secretKey = QByteArray(secretKey, KeyLength);
    }
    return keys;
}

bool CurveKeyPair::read(const QString &path, CurveKeyPair *keys, QString *error)
{
    QFile file(path);
    // A key file is a few lines; anything much larger is not one.
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    const QList<QByteArray> lines = file.read(4096).split('\n');
    CurveKeyPair pair;
    pair.publicKey = valueOf(lines, publicPrefix);
    pair.secretKey = valueOf(lines, secretPrefix);
    char derived[KeyLength + 1] = {};
    if (!isKey(pair.secretKey) || zmq_curve_public(derived, pair.secretKey.constData()) != 0) {
        *error = QStringLiteral("%1: no valid secret key").arg(path);
        return false;
    }
    if (pair.publicKey != QByteArray(derived, KeyLength)) {
        *error = QStringLiteral("%1: the public key does not belong to the secret key").arg(path);
        return false;
    }
    if (file.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther))
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    *keys = pair;
    return true;
}

bool CurveKeyPair::write(const QString &path, const CurveKeyPair &keys, QString *error)
{
    QSaveFile file(path);
    const QByteArray text = publicPrefix + keys.publicKey + '\n' + secretPrefix + keys.secretKey + '\n';
    // The permissions are set before the secret is written.
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner)
        || file.write(text) != text.size() || !file.commit()) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool CurveKeyPair::readOrCreate(const QString &path, CurveKeyPair *keys, QString *error)
{
    if (QFile::exists(path))
        return read(path, keys, error);
    const CurveKeyPair made = generate();
    if (made.secretKey.isEmpty()) {
        *error = QStringLiteral("cannot make a key pair");
        return false;
    }
    if (!write(path, made, error))
        return false;
    *keys = made;
    return true;
}
