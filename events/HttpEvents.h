#ifndef HTTPEVENTS_H
#define HTTPEVENTS_H

#include "EventsConfig.h"
#include "IoModuleState.h"
#include "ServiceStatus.h"

#include <QHash>
#include <QMimeDatabase>
#include <QObject>
#include <QString>

#include <functional>

class QtHttpAccessGate;
class QtHttpReply;
struct QtHttpServerSettings;
class QtHttpRequest;
class QtHttpServer;
class QUrl;

// The events server: mirrors the IO modules' alarm.htm pages, polled once a
// browser has asked for a module's state, serves the layout pages and the
// modules' state as JSON, and queues output changes for the modules.
class HttpEvents : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpEvents)

public:
    static constexpr int PollIntervalMs = 2000;
    // Changes beyond this many waiting for one module are dropped: a module
    // takes one per poll, and a browser must not grow the queue without end.
    static constexpr int MaxPendingOutputs = 32;

    explicit HttpEvents(QObject *parent = nullptr);
    ~HttpEvents() override;

    // TLS, trusted proxies and the memory budget of the server; before start().
    void setServerSettings(const QtHttpServerSettings &settings);
    // Serves the configuration loaded at the time.
    void start();
    // Moves to the given configuration. A module whose page address and
    // credentials stay keeps its state, its polling and its queued changes;
    // a module that moved keeps polling, at its new address, and its queued
    // changes, and forgets the state read from the old one; a removed
    // module's queued changes are dropped. A new port moves the server.
    void update(const EventsConfig &config);
    void stop();
    void setOutputs(int layout, const QUrl &url);
    // Consulted by the server with every request; set before start().
    void setAccessGate(QtHttpAccessGate *gate);
    // Tried before the events routes: the service's own pages. It returns
    // true when it answered the request.
    using ServiceRoute = std::function<bool(const QtHttpRequest &, QtHttpReply *)>;
    void setServiceRoute(const ServiceRoute &route) { m_serviceRoute = route; }

    // Every configured IO module, and the port.
    void collectStatus(ServiceStatus *status) const;

    // Whether the request would queue an output change: the route the
    // handler takes for it, without taking it.
    static bool isOutputChange(const QtHttpRequest &request);

signals:
    void pathChanged();
    void portChanged();
    void started(int port);
    void stopped();
    void error(QString msg);

private slots:
    void onServerStopped();
    void onServerStarted(quint16 port);
    void onServerError(QString msg);
    void onRequestNeedsReply(QtHttpRequest *request, QtHttpReply *reply);
    void onUpdateCompleted();
    void onUpdateError(QString msg);

private:
    void releaseModule(IoModuleState &module);
    void releaseModules();
    void startPolling(int layout, IoModuleState &module);
    void onPolled(int layout, const QByteArray &page);
    void onPollFailed(int layout, const QString &msg);
    void submitPendingOutputs(int layout, IoModuleState &module);

    void replyFile(const QString &path, QtHttpReply *reply);
    void replyState(const QUrl &url, QtHttpReply *reply);
    void replyLayoutIndex(QtHttpReply *reply) const;
    void replyModuleList(QtHttpReply *reply) const;
    QString layoutDirectory() const;

    EventsConfig m_config;
    QtHttpServer *m_server;
    QMimeDatabase m_mimeDatabase;
    QHash<int, IoModuleState> m_ioModules;
    ServiceRoute m_serviceRoute;
};

#endif // HTTPEVENTS_H
