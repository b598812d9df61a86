#include "LogCapture.h"

#include "QDaemonLog.h"

LogCapture::LogCapture(QObject *parent)
    : QObject(parent)
{
    connect(&qDaemonLog(), &QDaemonLog::messageLogged, this,
            [this](const QString &message) { m_lines.append(message); });
}
