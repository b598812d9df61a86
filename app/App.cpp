#include "App.h"

#include "AccessControl.h"
#include "CommandManager.h"
#include "Config.h"
#include "HttpEvents.h"
#include "QDaemonApplication.h"
#include "QDaemonLog.h"
#include "VideoServer.h"

#include <QDateTime>

#include <cstdlib>

App::App(QObject *parent)
    : QObject(parent)
{
    std::srand(unsigned(QDateTime::currentMSecsSinceEpoch() / 1000));
}

App::~App()
{
    stopAll();
    delete m_accessControl;
}

void App::start()
{
    qDaemonLog() << QStringLiteral("Service started");
    Config::instance()->load();
    if (!m_accessControl) {
        m_accessControl = new AccessControl(QDaemonApplication::dataDirectory(), nullptr);
        m_accessControl->setOutputChangeTest(&HttpEvents::isOutputChange);
        m_accessControl->start();
    }
    applyAccessSettings();
    startAll();
    reportStatus();
}

void App::applyAccessSettings()
{
    const Config *config = Config::instance();
    m_accessControl->setAllowedHosts(config->allowedHosts);
    m_accessControl->setRefuseAll(config->noAllowedNetworkApplies);
}

void App::stop()
{
    qDaemonLog() << QStringLiteral("Stopping service");
    stopAll();
}

// The link to Central comes first, then the events server: whatever the
// video ports of a stored configuration take, Central can still reach the
// service and send a better one.
void App::startAll()
{
    startCommandManager();
    startHttpEvents();
    startVideoServer();
}

void App::stopAll()
{
    stopHttpEvents();
    stopVideoServer();
    stopCommandManager();
}

void App::restartServers()
{
    stopVideoServer();
    stopHttpEvents();
    startVideoServer();
    startHttpEvents();
}

void App::startVideoServer()
{
    m_videoServer = new VideoServer(nullptr);
    m_videoServer->setAccessGate(m_accessControl->videoGate());
    connect(m_videoServer, &VideoServer::error, this, &App::handleVideoServerError);
    connect(m_videoServer, &VideoServer::serverStarted, this, &App::handleVideoServerStarted);
    connect(m_videoServer, &VideoServer::serverStopped, this, &App::handleVideoServerStopped);
    m_videoServer->start();
}

void App::startHttpEvents()
{
    m_events = new HttpEvents(nullptr);
    m_events->setAccessGate(m_accessControl->eventsGate());
    m_events->start();
}

void App::startCommandManager()
{
    m_commandManager = new CommandManager(nullptr);
    connect(m_commandManager, &CommandManager::configUpdated, this, &App::handleConfigUpdated);
    connect(m_commandManager, &CommandManager::pingError, this, &App::handlePingError);
    m_commandManager->start();
}

namespace {

// Stops a component and deletes it at once: each stop has ended the
// component's timers, sockets and threads by the time it returns.
template<typename Component>
void stopAndDelete(Component *&component)
{
    if (!component)
        return;
    component->stop();
    delete component;
    component = nullptr;
}

} // namespace

void App::stopVideoServer()
{
    stopAndDelete(m_videoServer);
}

void App::stopHttpEvents()
{
    stopAndDelete(m_events);
}

void App::stopCommandManager()
{
    stopAndDelete(m_commandManager);
}

void App::handleConfigUpdated()
{
    Config::instance()->load();
    applyAccessSettings();
    restartServers();
    reportStatus();
}

// One line for systemctl status.
void App::reportStatus()
{
    const Config *config = Config::instance();
    QDaemonApplication::setStatus(QStringLiteral("Serving %1 streams and %2 IO modules; events on port %3")
                                      .arg(config->streams.size())
                                      .arg(config->ios.size())
                                      .arg(config->eventPort));
}

void App::handlePingError()
{
    qDaemonLog() << QStringLiteral("Registering service to Central");
    m_commandManager->registerService();
}

void App::handleVideoServerStarted(quint16 port)
{
    qDaemonLog() << QStringLiteral("VideoServer started on port %1").arg(port);
}

void App::handleVideoServerStopped()
{
    qDaemonLog() << QStringLiteral("VideoServer stopped");
}

void App::handleVideoServerError(QString msg)
{
    qDaemonLog() << QStringLiteral("VideoServer error: %1").arg(msg);
}
