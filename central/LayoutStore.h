#ifndef LAYOUTSTORE_H
#define LAYOUTSTORE_H

#include "SiteConfig.h"

#include <QSet>
#include <QString>
#include <QStringList>

// The layout pages this service wrote, kept in a record file (a JSON array
// of paths) so that they
// can follow the configuration across restarts, and the size of the layout
// directory, which never grows past MaxDirectoryBytes through a page.
class LayoutStore
{
    Q_DISABLE_COPY(LayoutStore)

public:
    static constexpr qint64 MaxDirectoryBytes = qint64(256) << 20;

    explicit LayoutStore(const QString &recordPath);

    // The two pages of an IO module: by id and by name, in its DVR's folder.
    static QStringList pagePaths(const QString &directory, const QString &dvrName, const IOInfo &io);
    // Every page the site configuration gives.
    static QSet<QString> pagePaths(const QString &directory, const SiteConfig &site);

    // Writes content to each path below directory, or nothing when the
    // directory would then hold more than MaxDirectoryBytes; false then.
    bool write(const QString &directory, const QStringList &paths, const QString &content);
    // Removes every page this service wrote below directory that is not
    // among pages.
    void keepOnly(const QString &directory, const QSet<QString> &pages);

private:
    void use(const QString &directory);
    qint64 directoryBytes();
    void load();
    void save() const;

    QString m_recordPath;
    QString m_directory;
    QSet<QString> m_written;
    bool m_loaded = false;
    qint64 m_bytes = -1; // the directory's size, counted at first need
};

#endif // LAYOUTSTORE_H
