#include "SystemdUnit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

QString SystemdUnit::fileName()
{
    return QStringLiteral("tavro.service");
}

QString SystemdUnit::defaultDirectory()
{
    return QStringLiteral("/etc/systemd/system");
}

QString SystemdUnit::text(const QString &description, const QString &programPath)
{
    const QFileInfo program(programPath);
    QString executable = program.absoluteFilePath();
    if (executable.contains(QLatin1Char(' ')))
        executable = QLatin1Char('"') + executable + QLatin1Char('"');
    // The whole file system is read-only to the service but for its own
    // directory, where the settings and the layout pages live.
    QString writablePath = program.absolutePath();
    if (writablePath.contains(QLatin1Char(' ')))
        writablePath = QLatin1Char('"') + writablePath + QLatin1Char('"');
    return QStringLiteral(
               "[Unit]\n"
               "Description=%1\n"
               "After=network-online.target\n"
               "Wants=network-online.target\n"
               "\n"
               "[Service]\n"
               "Type=simple\n"
               "ExecStart=%2 --service\n"
               "WorkingDirectory=%3\n"
               "Restart=on-failure\n"
               "RestartSec=5\n"
               "LimitNOFILE=65536\n"
               "NoNewPrivileges=yes\n"
               "PrivateTmp=yes\n"
               "ProtectSystem=strict\n"
               "ReadWritePaths=%4\n"
               "\n"
               "[Install]\n"
               "WantedBy=multi-user.target\n")
        .arg(description, executable, program.absolutePath(), writablePath);
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

void SystemdUnit::systemctl(const QStringList &arguments)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("systemctl"));
    if (program.isEmpty() || !QFileInfo::exists(QStringLiteral("/run/systemd/system")))
        return;
    QProcess::execute(program, arguments);
}
