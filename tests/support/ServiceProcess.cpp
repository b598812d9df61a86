#include "ServiceProcess.h"

#include "CentralPeer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTest>

#include <csignal>

ServiceProcess::ServiceProcess()
{
    QFile::copy(QStringLiteral(TAVRO_BINARY), program());
    connect(&m_process, &QProcess::readyReadStandardError, this, [this] { m_log += m_process.readAllStandardError(); });
}

ServiceProcess::~ServiceProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

void ServiceProcess::writeIni(const QString &key, const QString &value)
{
    QSettings ini(m_dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    ini.setValue(key, value);
}

quint16 ServiceProcess::linkTo(const CentralPeer &central, const QString &id)
{
    return linkTo(central.publishPort(), central.pullPort(), id);
}

quint16 ServiceProcess::linkTo(quint16 publishPort, quint16 pullPort, const QString &id)
{
    const quint16 eventPort = freePort();
    writeIni(QStringLiteral("serverSendPort"), QString::number(publishPort));
    writeIni(QStringLiteral("serverRecvPort"), QString::number(pullPort));
    writeIni(QStringLiteral("id"), id);
    writeIni(QStringLiteral("eventPort"), QString::number(eventPort));
    return eventPort;
}

bool ServiceProcess::start(const QStringList &arguments, const QString &program)
{
    const QString executable = program.isEmpty() ? this->program() : program;
    m_process.setWorkingDirectory(m_dir.path());
    if (m_descriptorLimit > 0)
        m_process.start(QStringLiteral("prlimit"), QStringList{QStringLiteral("--nofile=%1").arg(m_descriptorLimit), QStringLiteral("--"), executable} + arguments);
    else
        m_process.start(executable, arguments);
    return m_process.waitForStarted();
}

bool ServiceProcess::stop(int signal)
{
    ::kill(pid_t(m_process.processId()), signal);
    const bool finished = m_process.waitForFinished(10000);
    m_log += m_process.readAllStandardError();
    return finished;
}

bool ServiceProcess::waitForLog(const QString &message, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!messages().contains(message)) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return false;
        QTest::qWait(10);
    }
    return true;
}

QStringList ServiceProcess::messages() const
{
    return messages(m_log);
}

QStringList ServiceProcess::messages(const QByteArray &log)
{
    static const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z (.*)$"));
    QStringList result;
    for (const QByteArray &line : log.split('\n')) {
        if (line.isEmpty())
            continue;
        const QRegularExpressionMatch match = stamp.match(QString::fromUtf8(line));
        result.append(match.hasMatch() ? match.captured(1) : QStringLiteral("malformed: ") + QString::fromUtf8(line));
    }
    return result;
}

quint16 ServiceProcess::freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}
