#ifndef DAEMON_H
#define DAEMON_H

#include <QObject>
#include <QStringList>

class App;

// Turns the service host's lifecycle signals into calls on the application
// and into service-log lines.
class Daemon : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Daemon)

public:
    explicit Daemon(QObject *parent = nullptr);
    ~Daemon() override;

public slots:
    void handleDaemonReady(QStringList args);
    void handleStarted();
    void handleStopped();
    void handleInstalled();
    void handleUninstalled();

private:
    App *m_app = nullptr;
};

#endif // DAEMON_H
