#ifndef COMMANDMANAGER_H
#define COMMANDMANAGER_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <memory>

#include "LayoutStore.h"
#include "ServiceStatus.h"
#include "SiteConfig.h"
#include "ZeroMQ.h"

class CommandRequest;
class SystemData;
class Packet;
class Ping;

// The session with Central. The transport's receive loop runs on a worker
// thread of its own; every packet is decoded and handled here, on the
// thread this object lives on, one at a time and in arrival order.
class CommandManager : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(CommandManager)

public:
    // A configuration waits after the one before for as long as that one
    // took to apply, within these bounds: under a flood of them the service
    // spends no more than half its time applying, rewrites its database no
    // more than ten times a second, and the last one waiting wins.
    static constexpr int MinApplySpacingMs = 100;
    static constexpr int MaxApplySpacingMs = 1000;

    explicit CommandManager(QObject *parent = nullptr);
    ~CommandManager() override;

    void registerService();
    void sendPong();
    void sendPacket(const Packet &packet);

    // The link as this session saw it; the configuration counts are left
    // to the caller.
    ServiceStatus::Link linkStatus() const { return m_link; }

public slots:
    void start();
    void stop();

signals:
    void startZmqEventLoop();
    // The stored configuration was replaced by these records, as inserted.
    void configUpdated(const SiteConfig &inserted);
    void pingError();
    // The link came up (Central was heard from) or went down.
    void linkChanged(bool up);

private slots:
    void handleStarted();
    void handleTopicMessage(const QByteArray &topic, const QByteArray &data);
    void onTransportError(const QString &operation, const QString &message);
    void onLinkStateChanged(ZeroMQ::LinkState state);

private:
    bool configureEncryption();
    void handlePing(const Ping &ping);
    bool storeConfiguration(const SystemData &data, SiteConfig *inserted);
    void removeStalePages(const SiteConfig &site);
    void queueConfiguration(SystemData *data);
    void applyQueuedConfiguration();
    void generateLayoutPages(const CommandRequest &command);
    void setLinkUp(bool up);

    ZeroMQ *m_zmq;
    QThread m_thread;
    qint32 m_lastPingNumber = 0;
    qint32 m_sessionNumber;
    // The latest configuration not yet applied; when the last one was, and
    // how long it took.
    std::unique_ptr<SystemData> m_queuedConfiguration;
    QTimer m_applyTimer;
    QElapsedTimer m_sinceApplied;
    qint64 m_applySpacingMs = MinApplySpacingMs;
    LayoutStore m_layouts;
    ServiceStatus::Link m_link;
};

#endif // COMMANDMANAGER_H
