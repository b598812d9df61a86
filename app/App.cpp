#include "App.h"

#include "AccessControl.h"
#include "CommandManager.h"
#include "Config.h"
#include "HttpEvents.h"
#include "QDaemonApplication.h"
#include "QDaemonLog.h"
#include "QtHttpAddressCounts.h"
#include "QtHttpMemoryBudget.h"
#include "QtHttpServerSettings.h"
#include "VideoServer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdlib>
#include <tuple>

namespace {

// Whether servers made with the one would serve as servers made with the other.
bool sameServerSettings(const QtHttpServerSettings &a, const QtHttpServerSettings &b)
{
    return a.tls.chain() == b.tls.chain() && a.tls.privateKey() == b.tls.privateKey()
        && a.trustedProxies == b.trustedProxies && a.memoryBudget == b.memoryBudget
        && a.addressCounts == b.addressCounts;
}

} // namespace

App::App(QObject *parent)
    : QObject(parent)
    , m_httpBudget(new QtHttpMemoryBudget(QtHttp::MEMORY_BUDGET, this))
    , m_httpAddressCounts(new QtHttpAddressCounts(QtHttp::MAX_CONNECTIONS_PER_ADDRESS, this))
    , m_statusRoutes([this] { return collectStatus(); })
{
    std::srand(unsigned(QDateTime::currentMSecsSinceEpoch() / 1000));
    m_statusReport.setSingleShot(true);
    m_statusReport.setInterval(0);
    connect(&m_statusReport, &QTimer::timeout, this, &App::reportStatus);
    connect(m_httpBudget, &QtHttpMemoryBudget::connectionsShed, this, [this](int count, qint64 bytes) {
        qDaemonLog(QDaemonLog::Priority::Warning) << QStringLiteral("Closed %1 HTTP connections holding %2 bytes: the memory budget of %3 bytes was spent")
                            .arg(count)
                            .arg(bytes)
                            .arg(m_httpBudget->getLimit());
    });
}

App::~App()
{
    stopAll();
    delete m_accessControl;
}

void App::start()
{
    qDaemonLog() << QStringLiteral("Service started");
    m_startedMs = QDateTime::currentMSecsSinceEpoch();
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
    QtHttpServerSettings settings;
    if (httpServerSettings(&settings))
        startServers(settings);
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
    QtHttpServerSettings settings;
    const bool usable = httpServerSettings(&settings);
    if (usable && m_videoServer && m_events && sameServerSettings(settings, m_serverSettings)) {
        const Config &config = *Config::instance();
        m_events->update(EventsConfig::fromConfig(config));
        m_videoServer->update(VideoConfig::fromConfig(config));
        return;
    }
    // The servers are made with these settings: new ones start them anew,
    // and settings that cannot be used stop them.
    stopVideoServer();
    stopHttpEvents();
    if (usable)
        startServers(settings);
}

void App::startServers(const QtHttpServerSettings &settings)
{
    m_serverSettings = settings;
    startHttpEvents(settings);
    startVideoServer(settings);
}

// TLS is all or nothing: a certificate or key that is named but cannot be
// used stops every HTTP server rather than let one serve in plain text.
bool App::httpServerSettings(QtHttpServerSettings *settings) const
{
    const Config &config = *Config::instance();
    settings->memoryBudget = m_httpBudget;
    settings->addressCounts = m_httpAddressCounts;
    settings->trustedProxies = config.trustedProxies;
    if (config.tlsCertificate.isEmpty() && config.tlsKey.isEmpty())
        return true;
    QString error = QStringLiteral("tlsCertificate and tlsKey must be set together");
    if (!config.tlsCertificate.isEmpty() && !config.tlsKey.isEmpty()) {
        const QDir dir(QDaemonApplication::dataDirectory());
        if (QtHttpCertificate::load(dir.filePath(config.tlsCertificate), dir.filePath(config.tlsKey), &settings->tls, &error))
            return true;
    }
    qDaemonLog(QDaemonLog::Priority::Error) << QStringLiteral("No HTTP server started: TLS cannot be used: %1").arg(error);
    return false;
}

void App::startVideoServer(const QtHttpServerSettings &settings)
{
    m_videoServer = new VideoServer(nullptr);
    m_videoServer->setServerSettings(settings);
    m_videoServer->setAccessGate(m_accessControl->videoGate());
    connect(m_videoServer, &VideoServer::error, this, &App::handleVideoServerError);
    connect(m_videoServer, &VideoServer::serverStarted, this, &App::handleVideoServerStarted);
    connect(m_videoServer, &VideoServer::serverStopped, this, &App::handleVideoServerStopped);
    connect(m_videoServer, &VideoServer::viewersChanged, this, &App::scheduleStatusReport);
    m_videoServer->start();
}

void App::startHttpEvents(const QtHttpServerSettings &settings)
{
    m_events = new HttpEvents(nullptr);
    m_events->setServerSettings(settings);
    m_events->setAccessGate(m_accessControl->eventsGate());
    m_events->setServiceRoute([this](const QtHttpRequest &request, QtHttpReply *reply) {
        return m_statusRoutes.serve(request, reply);
    });
    m_events->start();
}

void App::startCommandManager()
{
    m_commandManager = new CommandManager(nullptr);
    connect(m_commandManager, &CommandManager::configUpdated, this, &App::handleConfigUpdated);
    connect(m_commandManager, &CommandManager::pingError, this, &App::handlePingError);
    connect(m_commandManager, &CommandManager::linkChanged, this, &App::scheduleStatusReport);
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

// Built from the records just stored: reading them back from the database
// would give the same values at several times the cost.
void App::handleConfigUpdated(const SiteConfig &inserted)
{
    QElapsedTimer elapsed;
    elapsed.start();
    Config::instance()->load(inserted);
    applyAccessSettings();
    const qint64 loaded = elapsed.nsecsElapsed();
    updateServers();
    qDaemonLog() << QStringLiteral("Configuration applied in %1 ms (reload %2 ms)")
                        .arg(milliseconds(elapsed.nsecsElapsed()), milliseconds(loaded));
    reportStatus();
}

// One line for systemctl status, sent when it changes.
void App::reportStatus()
{
    const int streams = m_videoServer ? m_videoServer->watchedChannelCount() : 0;
    const int viewers = m_videoServer ? m_videoServer->viewerCount() : 0;
    const bool linkUp = m_commandManager && m_commandManager->linkStatus().connected;
    const QString line = QStringLiteral("Serving %1 streams to %2 viewers; Central link %3")
                             .arg(streams)
                             .arg(viewers)
                             .arg(linkUp ? QStringLiteral("up") : QStringLiteral("down"));
    if (line == m_statusLine)
        return;
    m_statusLine = line;
    QDaemonApplication::setStatus(line);
}

void App::scheduleStatusReport()
{
    if (!m_statusReport.isActive())
        m_statusReport.start();
}

ServiceStatus App::collectStatus() const
{
    const Config &config = *Config::instance();
    ServiceStatus status;
    status.version = QCoreApplication::applicationVersion();
    status.startedMs = m_startedMs;
    status.nowMs = QDateTime::currentMSecsSinceEpoch();
    if (m_commandManager)
        status.link = m_commandManager->linkStatus();
    status.link.dvrs = config.dvrs.size();
    status.link.streams = config.streams.size();
    status.link.ioModules = config.ios.size();
    for (const QList<DoorInfo> &doors : config.ioDoors)
        status.link.doors += doors.size();
    if (m_videoServer)
        m_videoServer->collectStatus(&status);
    if (m_events)
        m_events->collectStatus(&status);
    std::sort(status.channels.begin(), status.channels.end(), [](const auto &a, const auto &b) {
        return std::tie(a.dvr, a.dvrId, a.channel) < std::tie(b.dvr, b.dvrId, b.channel);
    });
    std::sort(status.ioModules.begin(), status.ioModules.end(), [](const auto &a, const auto &b) { return a.id < b.id; });
    std::sort(status.ports.begin(), status.ports.end(), [](const auto &a, const auto &b) { return a.port < b.port; });
    return status;
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
    qDaemonLog(QDaemonLog::Priority::Error) << QStringLiteral("VideoServer error: %1").arg(msg);
}
