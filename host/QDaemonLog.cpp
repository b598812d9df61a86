#include "QDaemonLog.h"

#include <QDateTime>

#include <cstdio>

namespace {

QByteArray formatStamp(const QDateTime &when)
{
    return when.toUTC().toString(Qt::ISODateWithMs).toUtf8();
}

} // namespace

QDaemonLog &QDaemonLog::instance()
{
    static QDaemonLog log;
    return log;
}

QDaemonLog &qDaemonLog()
{
    return QDaemonLog::instance();
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
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now != m_stampMsecs) {
        m_stampMsecs = now;
        m_stamp = formatStamp(QDateTime::fromMSecsSinceEpoch(now, Qt::UTC));
    }
    const QByteArray line = joinLine(m_stamp, message);
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
    emit messageLogged(message);
    return *this;
}
