#include "Utils.h"

#include "QDaemonLog.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

void Utils::writeFile(const QString &path, const QString &content)
{
    const QFileInfo info(path);
    if (!info.exists())
        QDir(QStringLiteral(".")).mkpath(info.absolutePath());

    QSaveFile file(path);
    const QByteArray bytes = content.toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        qDaemonLog(QDaemonLog::Priority::Error) << QString("  Can't write %1: %2").arg(path, file.errorString());
}

void Utils::removeFile(const QString &path)
{
    const QFileInfo info(path);
    if (info.exists() || info.isSymLink())
        QFile::remove(path);
}

void Utils::cleanDirectory(const QString &dir, const QStringList &keep)
{
    QStringList kept = keep;
    kept << QStringLiteral(".") << QStringLiteral("..");

    const QStringList names = QDir(dir).entryList();
    for (const QString &name : names) {
        if (kept.contains(name))
            continue;
        const QString path = QString("%1/%2").arg(dir, name);
        const QFileInfo info(path);
        // A link is removed itself, never what it points to.
        if (info.isFile() || info.isSymLink()) {
            qDaemonLog() << QString("Removing file: %1").arg(path);
            removeFile(path);
        } else if (info.isDir()) {
            qDaemonLog() << QString("Removing dir recursively: %1").arg(path);
            QDir(path).removeRecursively();
        }
    }
}
