#include "LayoutStore.h"

#include "QDaemonLog.h"
#include "Utils.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

namespace {

qint64 sizeOf(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && !info.isSymLink() ? info.size() : 0;
}

} // namespace

LayoutStore::LayoutStore(const QString &recordPath)
    : m_recordPath(recordPath)
{
}

QStringList LayoutStore::pagePaths(const QString &directory, const QString &dvrName, const IOInfo &io)
{
    QStringList paths;
    for (const QString &fileName : {QString::number(io.id), io.name})
        paths << QStringLiteral("%1/%2/%3.html").arg(directory, dvrName, fileName);
    return paths;
}

QSet<QString> LayoutStore::pagePaths(const QString &directory, const SiteConfig &site)
{
    QHash<int, QString> dvrNames;
    for (const DVRInfo &dvr : site.dvrs) {
        if (!dvrNames.contains(dvr.id))
            dvrNames.insert(dvr.id, dvr.name);
    }
    QSet<QString> pages;
    for (const IOInfo &io : site.ios) {
        const auto dvr = dvrNames.constFind(io.dvrId);
        if (dvr == dvrNames.cend())
            continue;
        for (const QString &path : pagePaths(directory, *dvr, io))
            pages.insert(path);
    }
    return pages;
}

bool LayoutStore::write(const QString &directory, const QStringList &paths, const QString &content)
{
    use(directory);
    const QByteArray bytes = content.toUtf8();
    const QStringList targets = QSet<QString>(paths.cbegin(), paths.cend()).values();
    qint64 growth = 0;
    for (const QString &path : targets)
        growth += bytes.size() - sizeOf(path);
    if (directoryBytes() + growth > MaxDirectoryBytes)
        return false;

    for (const QString &path : targets) {
        const qint64 before = sizeOf(path);
        Utils::writeFile(path, content);
        m_bytes += sizeOf(path) - before;
        if (QFileInfo::exists(path))
            m_written.insert(path);
    }
    save();
    return true;
}

void LayoutStore::keepOnly(const QString &directory, const QSet<QString> &pages)
{
    use(directory);
    const QSet<QString> stale = m_written - pages;
    if (stale.isEmpty())
        return;
    for (const QString &path : stale) {
        qDaemonLog() << QStringLiteral("Removing a layout page no longer configured: %1").arg(path);
        if (m_bytes >= 0)
            m_bytes -= sizeOf(path);
        Utils::removeFile(path);
        // The DVR's folder goes with its last page; rmdir leaves it otherwise.
        QDir().rmdir(QFileInfo(path).absolutePath());
        m_written.remove(path);
    }
    save();
}

// The record is read, and the directory's size counted, for the directory
// in use; the layout directory only changes with a restart.
void LayoutStore::use(const QString &directory)
{
    if (m_loaded && directory == m_directory)
        return;
    m_directory = directory;
    m_written.clear();
    m_bytes = -1;
    load();
}

qint64 LayoutStore::directoryBytes()
{
    if (m_bytes >= 0)
        return m_bytes;
    m_bytes = 0;
    QDirIterator it(m_directory, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        m_bytes += it.fileInfo().size();
    }
    return m_bytes;
}

void LayoutStore::load()
{
    m_loaded = true;
    QFile file(m_recordPath);
    if (!file.open(QIODevice::ReadOnly))
        return;
    // Only pages below the layout directory are ever removed, whatever
    // the record says.
    const QString prefix = m_directory + QLatin1Char('/');
    for (const QJsonValue &value : QJsonDocument::fromJson(file.readAll()).array()) {
        const QString path = value.toString();
        if (path.startsWith(prefix) && !path.contains(QStringLiteral("/../")))
            m_written.insert(path);
    }
}

void LayoutStore::save() const
{
    QSaveFile file(m_recordPath);
    // JSON, because names may hold any character, line breaks included.
    const QByteArray text = QJsonDocument(QJsonArray::fromStringList(m_written.values())).toJson(QJsonDocument::Compact);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        qDaemonLog(QDaemonLog::Priority::Error) << QStringLiteral("  Can't write %1: %2").arg(m_recordPath, file.errorString());
}
