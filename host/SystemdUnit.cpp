#include "SystemdUnit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

#include <pwd.h>

QString SystemdUnit::fileName()
{
    return QStringLiteral("tavro.service");
}

QString SystemdUnit::defaultDirectory()
{
    return QStringLiteral("/etc/systemd/system");
}

QString SystemdUnit::userName()
{
    return QStringLiteral("tavro");
}

QString SystemdUnit::dataDirectory()
{
    return QStringLiteral("/var/lib/tavro");
}

// The service runs as a user of its own, with its data in a state directory
// that systemd makes private to that user; the program stays root's. It may
// bind ports below 1024 and nothing else that root could: the rest is the
// sandbox an unattended network service deserves.
QString SystemdUnit::text(const QString &description, const QString &programPath)
{
    QString executable = QFileInfo(programPath).absoluteFilePath();
    if (executable.contains(QLatin1Char(' ')))
        executable = QLatin1Char('"') + executable + QLatin1Char('"');
    return QStringLiteral(
               "[Unit]\n"
               "Description=%1\n"
               "After=network-online.target\n"
               "Wants=network-online.target\n"
               "\n"
               "[Service]\n"
               "Type=notify\n"
               "NotifyAccess=main\n"
               "ExecStart=%2 --data-dir %3 --service\n"
               "User=%4\n"
               "Group=%4\n"
               "StateDirectory=%4\n"
               "StateDirectoryMode=0700\n"
               "WorkingDirectory=%3\n"
               "UMask=0077\n"
               "Restart=on-failure\n"
               "RestartSec=5\n"
               "WatchdogSec=30\n"
               "LimitNOFILE=65536\n"
               "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
               "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
               "NoNewPrivileges=yes\n"
               "ProtectSystem=strict\n"
               "ProtectHome=yes\n"
               "PrivateTmp=yes\n"
               "PrivateDevices=yes\n"
               "PrivateMounts=yes\n"
               "DevicePolicy=closed\n"
               "ProtectKernelTunables=yes\n"
               "ProtectKernelModules=yes\n"
               "ProtectKernelLogs=yes\n"
               "ProtectControlGroups=yes\n"
               "ProtectClock=yes\n"
               "ProtectHostname=yes\n"
               "ProtectProc=invisible\n"
               "ProcSubset=pid\n"
               "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n"
               "RestrictNamespaces=yes\n"
               "RestrictRealtime=yes\n"
               "RestrictSUIDSGID=yes\n"
               "LockPersonality=yes\n"
               "MemoryDenyWriteExecute=yes\n"
               "RemoveIPC=yes\n"
               "KeyringMode=private\n"
               "SystemCallFilter=@system-service\n"
               "SystemCallFilter=~@privileged\n"
               "SystemCallErrorNumber=EPERM\n"
               "SystemCallArchitectures=native\n"
               "\n"
               "[Install]\n"
               "WantedBy=multi-user.target\n")
        .arg(description, executable, dataDirectory(), userName());
}

QString SystemdUnit::install(const QString &directory, const QString &description, const QString &programPath)
{
    if (!QDir().mkpath(directory))
        return QStringLiteral("cannot create %1").arg(directory);
    QSaveFile file(QDir(directory).filePath(fileName()));
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
    file.write(text(description, programPath).toUtf8());
    if (!file.commit())
        return QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
    return QString();
}

QString SystemdUnit::uninstall(const QString &directory)
{
    QFile file(QDir(directory).filePath(fileName()));
    if (file.exists() && !file.remove())
        return QStringLiteral("cannot remove %1: %2").arg(file.fileName(), file.errorString());
    return QString();
}

void SystemdUnit::ensureUser()
{
    if (::getpwnam(userName().toLocal8Bit().constData()))
        return;
    const QString adduser = QStandardPaths::findExecutable(QStringLiteral("adduser"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    if (!adduser.isEmpty()) {
        QProcess::execute(adduser, {QStringLiteral("--system"), QStringLiteral("--group"), QStringLiteral("--home"), dataDirectory(),
                                    QStringLiteral("--no-create-home"), QStringLiteral("--quiet"), userName()});
    }
}

void SystemdUnit::systemctl(const QStringList &arguments)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("systemctl"));
    if (program.isEmpty() || !QFileInfo::exists(QStringLiteral("/run/systemd/system")))
        return;
    QProcess::execute(program, arguments);
}
