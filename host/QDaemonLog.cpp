#include "QDaemonLog.h"

#include <QDateTime>

#include <cstdio>

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
    QString text = message;
    text.replace(QLatin1Char('\r'), QLatin1String("\\r")).replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return when.toUTC().toString(Qt::ISODateWithMs).toUtf8() + ' ' + text.toUtf8() + '\n';
}

QDaemonLog &QDaemonLog::operator<<(const QString &message)
{
    const QByteArray line = formatLine(QDateTime::currentDateTimeUtc(), message);
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
    emit messageLogged(message);
    return *this;
}
