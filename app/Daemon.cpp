#include "Daemon.h"

#include "App.h"
#include "QDaemonLog.h"

Daemon::Daemon(QObject *parent)
    : QObject(parent)
    , m_app(new App)
{
}

Daemon::~Daemon()
{
    delete m_app;
}

void Daemon::handleDaemonReady(QStringList args)
{
    Q_UNUSED(args)
    m_app->start();
}

void Daemon::handleStarted()
{
}

void Daemon::handleStopped()
{
    m_app->stop();
    qDaemonLog() << QStringLiteral("Service stopped!");
}

void Daemon::handleInstalled()
{
    qDaemonLog() << QStringLiteral("Service installed!");
}

void Daemon::handleUninstalled()
{
    qDaemonLog() << QStringLiteral("Service uninstalled!");
}
