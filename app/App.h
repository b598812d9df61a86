#ifndef APP_H
#define APP_H

#include <QObject>
#include <QString>

class AccessControl;
class CommandManager;
class HttpEvents;
class VideoServer;

// Creates, wires, restarts and stops the long-lived components of the
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

private slots:
    void handleConfigUpdated();
    void handlePingError();
    void handleVideoServerStarted(quint16 port);
    void handleVideoServerStopped();
    void handleVideoServerError(QString msg);

private:
    void startAll();
    void stopAll();
    void restartServers();
    void reportStatus();
    void startVideoServer();
    void startHttpEvents();
    void startCommandManager();
    void stopVideoServer();
    void stopHttpEvents();
    void stopCommandManager();
    void applyAccessSettings();

    VideoServer *m_videoServer = nullptr;
    HttpEvents *m_events = nullptr;
    CommandManager *m_commandManager = nullptr;
    // Outlives every server that consults it.
    AccessControl *m_accessControl = nullptr;
};

#endif // APP_H
