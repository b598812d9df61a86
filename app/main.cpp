#include "CertificateCommand.h"
#include "Daemon.h"

#include "PublicKeyCommand.h"
#include "QDaemonApplication.h"
#include "UserCommands.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    // Qt's own event loop keeps its socket watchers in a hash; the GLib one
    // walks a list of them on every change, and a site may listen on
    // thousands of ports.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");

    QDaemonApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("TAVRO"));
    QDaemonApplication::setApplicationDescription(QStringLiteral("TAVRO"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("tavro.example.net"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVRO_VERSION));

    QDaemonApplication::addCommand({QStringLiteral("version"), QString(), QStringLiteral("print the version"),
                                    [](const QStringList &) {
                                        std::printf("tavro %s\n", TAVRO_VERSION);
                                        return 0;
                                    }});

    QDaemonApplication::addCommand(CertificateCommand::command());
    QDaemonApplication::addCommand(UserCommands::addUser());
    QDaemonApplication::addCommand(UserCommands::removeUser());
    QDaemonApplication::addCommand(UserCommands::listUsers());
    QDaemonApplication::addCommand(PublicKeyCommand::command());

    Daemon daemon(&app);
    QObject::connect(&app, &QDaemonApplication::daemonized, &daemon, &Daemon::handleDaemonReady);
    QObject::connect(&app, &QDaemonApplication::started, &daemon, &Daemon::handleStarted);
    QObject::connect(&app, &QDaemonApplication::stopped, &daemon, &Daemon::handleStopped);
    QObject::connect(&app, &QDaemonApplication::installed, &daemon, &Daemon::handleInstalled);
    QObject::connect(&app, &QDaemonApplication::uninstalled, &daemon, &Daemon::handleUninstalled);

    return QDaemonApplication::exec();
}
