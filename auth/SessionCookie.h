#ifndef SESSIONCOOKIE_H
#define SESSIONCOOKIE_H

#include <QByteArray>
#include <QString>

#include <optional>

// The value of the session cookie: the user, the time of login, a random
// nonce that names this session, and the user's stamp, signed with the
// service's session key. Nothing is kept on the server; a change of the
// user's password (a new stamp) or of the key ends the session.
class SessionCookie
{
public:
    static constexpr qint64 LifetimeSecs = 12 * 3600;
    static constexpr int KeyBytes = 32;

    struct Session
    {
        QString user;
        QByteArray stamp;
        QByteArray nonce;
        qint64 issued = 0;
    };

    explicit SessionCookie(const QByteArray &key);

    QByteArray issue(const QString &user, const QByteArray &stamp, qint64 nowSecs) const;
    // Nothing for a value that is malformed, wrongly signed, expired or from
    // the future.
    std::optional<Session> parse(const QByteArray &value, qint64 nowSecs) const;

    // The key file, made with a fresh random key, readable by its owner
    // alone, when missing. Empty, with the reason, when it cannot be read or
    // made or holds something else than a key.
    static QByteArray loadKey(const QString &path, QString *error);
    static QByteArray randomBytes(int count);

private:
    QByteArray sign(const QByteArray &payload) const;

    QByteArray m_key;
};

#endif // SESSIONCOOKIE_H
