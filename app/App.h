#ifndef APP_H
#define APP_H

#include "QtHttpServerSettings.h"
#include "ServiceStatus.h"
#include "SiteConfig.h"
#include "StatusRoutes.h"

#include <QObject>
#include <QString>
#include <QTimer>

class AccessControl;
class CommandManager;
class HttpEvents;
class QtHttpAddressCounts;
class QtHttpMemoryBudget;
class VideoServer;

// Creates, wires, updates and stops the long-lived components of the
// service: the video server, the events server and the link to Central.
class App : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(App)

public:
    explicit App(QObject *parent = nullptr);
    ~App() override;

    void start();
    void stop();

    // A picture of every component, for the status pages.
    ServiceStatus collectStatus() const;

private slots:
    void handleConfigUpdated(const SiteConfig &inserted);
    void handlePingError();
    void handleVideoServerStarted(quint16 port);
    void handleVideoServerStopped();
    void handleVideoServerError(QString msg);

private:
    void startAll();
    void stopAll();
    void updateServers();
    void startServers(const QtHttpServerSettings &settings);
    bool httpServerSettings(QtHttpServerSettings *settings) const;
    void startVideoServer(const QtHttpServerSettings &settings);
    void startHttpEvents(const QtHttpServerSettings &settings);
    void reportStatus();
    void scheduleStatusReport();
    void startCommandManager();
    void stopVideoServer();
    void stopHttpEvents();
    void stopCommandManager();
    void applyAccessSettings();

    // Shared by every HTTP server, so that their connections together stay
    // within one bound; a child, so it outlives the servers stopped in the
    // destructor.
    QtHttpMemoryBudget *m_httpBudget;
    QtHttpAddressCounts *m_httpAddressCounts;
    VideoServer *m_videoServer = nullptr;
    HttpEvents *m_events = nullptr;
    CommandManager *m_commandManager = nullptr;
    // Outlives every server that consults it.
    AccessControl *m_accessControl = nullptr;
    // What the running servers were started with; other settings start them anew.
    QtHttpServerSettings m_serverSettings;
    qint64 m_startedMs = 0;
    StatusRoutes m_statusRoutes;
    // Changes that come in a burst make one status line.
    QTimer m_statusReport;
    QString m_statusLine;
};

#endif // APP_H
