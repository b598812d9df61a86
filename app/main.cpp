#include "Daemon.h"

#include "QDaemonApplication.h"

int main(int argc, char *argv[])
{
    QDaemonApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("TAVRO"));
    QDaemonApplication::setApplicationDescription(QStringLiteral("TAVRO"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("tavro.example.net"));

    Daemon daemon(&app);
    QObject::connect(&app, &QDaemonApplication::daemonized, &daemon, &Daemon::handleDaemonReady);
    QObject::connect(&app, &QDaemonApplication::started, &daemon, &Daemon::handleStarted);
    QObject::connect(&app, &QDaemonApplication::stopped, &daemon, &Daemon::handleStopped);
    QObject::connect(&app, &QDaemonApplication::installed, &daemon, &Daemon::handleInstalled);
    QObject::connect(&app, &QDaemonApplication::uninstalled, &daemon, &Daemon::handleUninstalled);

    return QDaemonApplication::exec();
}
