#ifndef QDAEMONAPPLICATION_H
#define QDAEMONAPPLICATION_H

#include "QDaemonCommand.h"

#include <QCoreApplication>
#include <QList>
#include <QStringList>

#include <cstdio>

class QSocketNotifier;
class SystemdNotifier;

// The service host: a core application that decides from its command line
// whether the process runs as the service (in the foreground, as systemd
// starts it), installs or removes the systemd unit, or prints its usage.
class QDaemonApplication : public QCoreApplication
{
    Q_OBJECT
    Q_DISABLE_COPY(QDaemonApplication)

public:
    // Descriptors the service's table holds room for from the start.
    static constexpr int ReservedDescriptors = 8192;

    QDaemonApplication(int &argc, char **argv);
    ~QDaemonApplication() override;

    static void setApplicationDescription(const QString &description);
    static QString applicationDescription();

    // Runs what the command line asks for; the result is the exit code.
    static int exec();

    // Adds a command of the program's own; call before exec().
    static void addCommand(const QDaemonCommand &command);

    // Where the service keeps its files: the directory given by a leading
    // `--data-dir DIR`, otherwise the program's own directory.
    static QString dataDirectory();

    // A short line for systemd's view of the service (systemctl status);
    // nothing happens when systemd did not start the process.
    static void setStatus(const QString &status);

signals:
    void daemonized(const QStringList &args);
    void started();
    void stopped();
    void installed();
    void uninstalled();

private:
    int run();
    QStringList takeDataDirectory(QStringList args);
    void printUsage(FILE *stream) const;
    int runService(const QStringList &args);
    int install(const QString &unitDirectory);
    int uninstall(const QString &unitDirectory);
    void watchTerminationSignals();
    void onTerminationRequested();

    QString m_description;
    QString m_dataDirectory;
    QList<QDaemonCommand> m_commands;
    QSocketNotifier *m_terminationNotifier = nullptr;
    SystemdNotifier *m_systemd = nullptr;
};

#endif // QDAEMONAPPLICATION_H
