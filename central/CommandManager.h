#ifndef COMMANDMANAGER_H
#define COMMANDMANAGER_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QThread>

#include "LayoutStore.h"
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
    explicit CommandManager(QObject *parent = nullptr);
    ~CommandManager() override;

    void registerService();
    void sendPong();
    void sendPacket(const Packet &packet);

public slots:
    void start();
    void stop();

signals:
    void startZmqEventLoop();
    void configUpdated();
    void pingError();

private slots:
    void handleStarted();
    void handleTopicMessage(const QByteArray &topic, const QByteArray &data);
    void onTransportError(const QString &operation, const QString &message);
    void onLinkStateChanged(ZeroMQ::LinkState state);

private:
    bool configureEncryption();
    void handlePing(const Ping &ping);
    void applyConfiguration(const SystemData &data);
    void generateLayoutPages(const CommandRequest &command);

    ZeroMQ *m_zmq;
    QThread m_thread;
    qint32 m_lastPingNumber = 0;
    qint32 m_sessionNumber;
    LayoutStore m_layouts;
};

#endif // COMMANDMANAGER_H
