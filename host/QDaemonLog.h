#ifndef QDAEMONLOG_H
#define QDAEMONLOG_H

#include <QObject>
#include <QString>

class QDateTime;

// The service log. Every message becomes one line on standard error, where
// the journal picks it up when the process runs under systemd. When standard
// error is the journal's stream, each line starts with its syslog priority
// ("<3>" for a failure), which the journal takes off and keeps as the level.
class QDaemonLog : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(QDaemonLog)

public:
    enum class Priority { Critical = 2, Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

    // Writes each message of a run at one priority: qDaemonLog(Error) << a << b.
    class Stream
    {
    public:
        Stream(QDaemonLog &log, Priority priority) : m_log(log), m_priority(priority) {}
        Stream &operator<<(const QString &message)
        {
            m_log.write(m_priority, message);
            return *this;
        }

    private:
        QDaemonLog &m_log;
        Priority m_priority;
    };

    static QDaemonLog &instance();

    // One message at Info.
    QDaemonLog &operator<<(const QString &message);
    void write(Priority priority, const QString &message);

    // "<N>" while standard error is the journal's stream, otherwise empty.
    QByteArray priorityPrefix(Priority priority) const;

    // "<ISO 8601 UTC timestamp with milliseconds> <message>", with line
    // breaks escaped so that one message never spans two lines.
    static QByteArray formatLine(const QDateTime &when, const QString &message);

signals:
    // Emitted for every message, after it was written; lets tests capture the log.
    void messageLogged(const QString &message);

private:
    QDaemonLog();
    static QByteArray joinLine(const QByteArray &stamp, const QString &message);

    // The last timestamp written: a burst of lines shares its millisecond,
    // and formatting the time is most of the cost of a line.
    qint64 m_stampMsecs = -1;
    QByteArray m_stamp;
    bool m_journal = false;
};

QDaemonLog &qDaemonLog();
QDaemonLog::Stream qDaemonLog(QDaemonLog::Priority priority);

#endif // QDAEMONLOG_H
