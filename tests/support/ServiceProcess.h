#ifndef SERVICEPROCESS_H
#define SERVICEPROCESS_H

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// The real service binary, copied into a directory of its own (where its
// settings files live), run with --service and watched through its log.
class CentralPeer;

class ServiceProcess : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ServiceProcess)

public:
    ServiceProcess();
    ~ServiceProcess() override;

    QString directory() const { return m_dir.path(); }
    QString program() const { return m_dir.filePath(QStringLiteral("tavro")); }
    void writeIni(const QString &key, const QString &value);
    // Points the service at a Central (or at these ports) as the given
    // client, with an events port of its own, which it returns.
    quint16 linkTo(const CentralPeer &central, const QString &id = QStringLiteral("site-1"));
    quint16 linkTo(quint16 publishPort, quint16 pullPort, const QString &id = QStringLiteral("site-1"));

    // The next start() runs the service with at most this many descriptors
    // (soft and hard limit); 0: as inherited.
    void setDescriptorLimit(int limit) { m_descriptorLimit = limit; }
    // Runs the copy of the service, or another program in its directory.
    bool start(const QStringList &arguments = {QStringLiteral("--service")}, const QString &program = QString());
    bool stop(int signal);
    bool waitForLog(const QString &message, int timeoutMs = 10000);

    QProcess &process() { return m_process; }
    const QByteArray &errorOutput() const { return m_log; }
    // The log messages so far, without their timestamps; a line that is not
    // in the log format appears prefixed by "malformed: ".
    QStringList messages() const;

    static QStringList messages(const QByteArray &log);
    static quint16 freePort();

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_log;
    int m_descriptorLimit = 0;
};

#endif // SERVICEPROCESS_H
