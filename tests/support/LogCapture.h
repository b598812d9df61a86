#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QObject>
#include <QStringList>

// Records every service-log message written while it lives.
class LogCapture : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(LogCapture)

public:
    explicit LogCapture(QObject *parent = nullptr);

    const QStringList &lines() const { return m_lines; }
    bool contains(const QString &line) const { return m_lines.contains(line); }
    int count(const QString &line) const { return m_lines.count(line); }
    void clear() { m_lines.clear(); }

private:
    QStringList m_lines;
};

#endif // LOGCAPTURE_H
