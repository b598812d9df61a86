#include "UserStore.h"

#include "QDaemonApplication.h"

#include <QFile>
#include <QSaveFile>
#include <QTimer>

#include <sys/stat.h>

UserStore::UserStore(const QString &path, QObject *parent)
    : QObject(parent)
    , m_path(path)
{
}

QString UserStore::defaultPath()
{
    return QDaemonApplication::dataDirectory() + QStringLiteral("/users");
}

const User *UserStore::find(const QString &name) const
{
    const auto it = m_users.constFind(name);
    return it == m_users.constEnd() ? nullptr : &it.value();
}

bool UserStore::load(QString *error)
{
    m_users.clear();
    m_identity = fileIdentity();
    QFile file(m_path);
    m_enabled = file.exists() && file.size() > 0;
    if (!file.exists())
        return true;
    const auto fail = [error](const QString &reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (file.size() > MaxFileSize)
        return fail(QStringLiteral("%1 is larger than %2 bytes").arg(m_path).arg(MaxFileSize));
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("%1: %2").arg(m_path, file.errorString()));

    QMap<QString, User> users;
    int lineNumber = 0;
    for (const QByteArray &line : file.readAll().split('\n')) {
        ++lineNumber;
        if (line.trimmed().isEmpty())
            continue;
        const QList<QByteArray> fields = line.simplified().split(' ');
        User user;
        if (fields.size() != 3 || !User::isValidName(QString::fromLatin1(fields.at(0)))
            || !User::parseRole(QString::fromLatin1(fields.at(1)), &user.role) || users.size() >= MaxUsers)
            return fail(QStringLiteral("%1: line %2 is not a user").arg(m_path).arg(lineNumber));
        user.name = QString::fromLatin1(fields.at(0));
        user.passwordRecord = fields.at(2);
        users.insert(user.name, user);
    }
    m_users = users;
    return true;
}

bool UserStore::save(QString *error) const
{
    QSaveFile file(m_path);
    bool written = file.open(QIODevice::WriteOnly) && file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    for (const User &user : m_users) {
        if (written)
            written = file.write(user.name.toLatin1() + ' ' + User::roleName(user.role).toLatin1() + ' '
                                 + user.passwordRecord + '\n') > 0;
    }
    if (written && file.commit())
        return true;
    if (error)
        *error = QStringLiteral("%1: %2").arg(m_path, file.errorString());
    return false;
}

void UserStore::watch(int intervalMs)
{
    if (!m_timer) {
        m_timer = new QTimer(this);
        connect(m_timer, &QTimer::timeout, this, &UserStore::onPoll);
    }
    m_timer->start(intervalMs);
}

// Inode, size and modification time to the nanosecond: an atomic rewrite
// always gives a new inode, an edit in place a new time.
QByteArray UserStore::fileIdentity() const
{
    struct stat info = {};
    if (::stat(QFile::encodeName(m_path).constData(), &info) != 0)
        return QByteArray();
    return QByteArray::number(quint64(info.st_ino)) + ':' + QByteArray::number(qint64(info.st_size)) + ':'
        + QByteArray::number(qint64(info.st_mtim.tv_sec)) + '.' + QByteArray::number(qint64(info.st_mtim.tv_nsec));
}

void UserStore::onPoll()
{
    if (fileIdentity() == m_identity)
        return;
    QString error;
    load(&error);
    emit reloaded(error);
}
