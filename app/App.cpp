#include "App.h"

#include "CommandManager.h"
#include "Config.h"
#include "HttpEvents.h"
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
}

void App::start()
{
    qDaemonLog() << QStringLiteral("Service started");
    Config::instance()->load();
    startAll();
}

void App::stop()
{
    qDaemonLog() << QStringLiteral("Stopping service");
    stopAll();
}

void App::startAll()
{
    startVideoServer();
    startHttpEvents();
    startCommandManager();
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

void App::stopVideoServer()
{
    if (!m_videoServer)
        return;
    m_videoServer->stop();
    delete m_videoServer;
    m_videoServer = nullptr;
}

void App::stopHttpEvents()
{
    if (!m_events)
        return;
    m_events->stop();
    delete m_events;
    m_events = nullptr;
}

void App::stopCommandManager()
{
    if (!m_commandManager)
        return;
    m_commandManager->stop();
    delete m_commandManager;
    m_commandManager = nullptr;
}

void App::handleConfigUpdated()
{
    Config::instance()->load();
    restartServers();
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
