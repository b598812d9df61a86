#ifndef UTILS_H
#define UTILS_H

#include <QObject>
#include <QString>
#include <QStringList>

// File-system operations of the Central link. Failures are swallowed; only
// a file that cannot be written and the removals of cleanDirectory log.
class Utils : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Utils)

public:
    // Replaces the file atomically with content as UTF-8 (no byte-order
    // mark), making the directory chain of a new file first. A reader sees
    // the old file or the new one, never a part.
    static void writeFile(const QString &path, const QString &content);

    static void removeFile(const QString &path);

    // Removes every entry of dir but those named in keep (exact names).
    static void cleanDirectory(const QString &dir, const QStringList &keep);

private:
    Utils() = default;
};

#endif // UTILS_H
