#include "QDaemonLog.h"

#include <QDateTime>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray formatStamp(const QDateTime &when)
{
    return when.toUTC().toString(Qt::ISODateWithMs).toUtf8();
}

// The journal names its stream "device:inode"; a descriptor that was
// redirected elsewhere since is not it, whatever the environment says.
bool isJournalStream(int descriptor)
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    struct stat status = {};
    if (stream.isEmpty() || ::fstat(descriptor, &status) != 0)
        return false;
    return stream == QByteArray::number(qulonglong(status.st_dev)) + ':' + QByteArray::number(qulonglong(status.st_ino));
}

} // namespace

QDaemonLog::QDaemonLog()
    : m_journal(isJournalStream(STDERR_FILENO))
{
}

QDaemonLog &QDaemonLog::instance()
{
    static QDaemonLog log;
    return log;
}

QDaemonLog &qDaemonLog()
{
    return QDaemonLog::instance();
}

QDaemonLog::Stream qDaemonLog(QDaemonLog::Priority priority)
{
    return QDaemonLog::Stream(QDaemonLog::instance(), priority);
}

QByteArray QDaemonLog::priorityPrefix(Priority priority) const
{
    return m_journal ? '<' + QByteArray::number(int(priority)) + '>' : QByteArray();
}

QByteArray QDaemonLog::formatLine(const QDateTime &when, const QString &message)
{
    return joinLine(formatStamp(when), message);
}

QByteArray QDaemonLog::joinLine(const QByteArray &stamp, const QString &message)
{
    QString text = message;
    text.replace(QLatin1Char('\r'), QLatin1String("\\r")).replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return stamp + ' ' + text.toUtf8() + '\n';
}

QDaemonLog &QDaemonLog::operator<<(const QString &message)
{
    write(Priority::Info, message);
    return *this;
}

void QDaemonLog::write(Priority priority, const QString &message)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now != m_stampMsecs) {
        m_stampMsecs = now;
        m_stamp = formatStamp(QDateTime::fromMSecsSinceEpoch(now, Qt::UTC));
    }
    const QByteArray line = priorityPrefix(priority) + joinLine(m_stamp, message);
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
    emit messageLogged(message);
}
