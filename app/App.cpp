#include "App.h"

#include "CommandManager.h"
#include "Config.h"
#include "HttpEvents.h"
#include "QDaemonApplication.h"
#include "QDaemonLog.h"
#include "VideoServer.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <cstdlib>

App::App(QObject *parent)
    : QObject(parent)
{
    std::srand(unsigned(QDateTime::currentMSecsSinceEpoch() / 1000));
}

App::~App()
{
    stopAll();
}

void App::start()
{
    qDaemonLog() << QStringLiteral("Service started");
    Config::instance()->load();
    startAll();
    reportStatus();
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

// Each server moves to the new configuration as a difference from the one
// it serves, so that nothing the change leaves alone is interrupted.
void App::updateServers()
{
    const Config &config = *Config::instance();
    if (m_videoServer)
        m_videoServer->update(VideoConfig::fromConfig(config));
    else
        startVideoServer();
    if (m_events)
        m_events->update(EventsConfig::fromConfig(config));
    else
        startHttpEvents();
}

void App::startVideoServer()
{
    m_videoServer = new VideoServer(nullptr);
    connect(m_videoServer, &VideoServer::error, this, &App::handleVideoServerError);
    connect(m_videoServer, &VideoServer::serverStarted, this, &App::handleVideoServerStarted);
    connect(m_videoServer, &VideoServer::serverStopped, this, &App::handleVideoServerStopped);
    m_videoServer->start();
}

void App::startHttpEvents()
{
    m_events = new HttpEvents(nullptr);
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

QString milliseconds(qint64 nanoseconds)
{
    return QString::number(double(nanoseconds) / 1e6, 'f', 1);
}

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
    QElapsedTimer elapsed;
    elapsed.start();
    Config::instance()->load();
    const qint64 loaded = elapsed.nsecsElapsed();
    updateServers();
    qDaemonLog() << QStringLiteral("Configuration applied in %1 ms (reload %2 ms)")
                        .arg(milliseconds(elapsed.nsecsElapsed()), milliseconds(loaded));
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
