#ifndef USERSTORE_H
#define USERSTORE_H

#include "User.h"

#include <QMap>
#include <QObject>
#include <QString>

class QTimer;

// The users file in the service's data directory: one "NAME ROLE RECORD" line per user,
// written atomically and readable by its owner alone. It holds hashes only.
// A service watches it and picks up every change within a second or two.
class UserStore : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(UserStore)

public:
    static constexpr int MaxUsers = 1000;
    static constexpr qint64 MaxFileSize = 1024 * 1024;

    explicit UserStore(const QString &path, QObject *parent = nullptr);

    // The users file of this run of the program.
    static QString defaultPath();

    // Reads the file again. False, with the reason, when the file exists but
    // cannot be read or holds a malformed line: no user is then known, while
    // isEnabled() stays true, so a damaged file locks out rather than opens.
    bool load(QString *error = nullptr);
    bool save(QString *error = nullptr) const;

    // True once the file exists with any content: access control is on.
    bool isEnabled() const { return m_enabled; }
    const QMap<QString, User> &users() const { return m_users; }
    const User *find(const QString &name) const;
    void setUser(const User &user) { m_users.insert(user.name, user); }
    bool removeUser(const QString &name) { return m_users.remove(name) > 0; }

    // Polls the file's identity every intervalMs and reloads it on change.
    void watch(int intervalMs);

signals:
    // After a reload that found the file changed; error is empty when it loaded.
    void reloaded(const QString &error);

private:
    QByteArray fileIdentity() const;
    void onPoll();

    QString m_path;
    QMap<QString, User> m_users;
    bool m_enabled = false;
    QByteArray m_identity;
    QTimer *m_timer = nullptr;
};

#endif // USERSTORE_H
