#ifndef QDAEMONLOG_H
#define QDAEMONLOG_H

#include <QObject>
#include <QString>

class QDateTime;

// The service log. Every message becomes one line on standard error, where
// the journal picks it up when the process runs under systemd.
class QDaemonLog : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(QDaemonLog)

public:
    static QDaemonLog &instance();

    QDaemonLog &operator<<(const QString &message);

    // "<ISO 8601 UTC timestamp with milliseconds> <message>", with line
    // breaks escaped so that one message never spans two lines.
    static QByteArray formatLine(const QDateTime &when, const QString &message);

signals:
    // Emitted for every message, after it was written; lets tests capture the log.
    void messageLogged(const QString &message);

private:
    QDaemonLog() = default;
    static QByteArray joinLine(const QByteArray &stamp, const QString &message);

    // The last timestamp written: a burst of lines shares its millisecond,
    // and formatting the time is most of the cost of a line.
    qint64 m_stampMsecs = -1;
    QByteArray m_stamp;
};

QDaemonLog &qDaemonLog();

#endif // QDAEMONLOG_H
