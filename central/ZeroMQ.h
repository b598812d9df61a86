#ifndef ZEROMQ_H
#define ZEROMQ_H

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

struct ZeroMQPrivate;

// The byte transport to Central: a SUB socket that receives topic-framed
// publications and a PUSH socket that sends single frames. start() runs the
// receive loop on the thread the object lives on; send() and stop() are
// called directly from the main thread. No error of the library leaves
// this class: each is reported once through error() and leaves the link
// stopped.
//
// Both sockets watch their connections: heartbeats notice a dead peer, the
// library's reconnects back off to ReconnectMaxMs, and a connection that
// ends (lost, refused by the peer's handshake, or dropped by the library
// for an oversized frame) has both sockets closed and made anew after a
// delay that backs off the same way. A fresh socket never inherits a half
// read message from the old one.
class ZeroMQ : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ZeroMQ)

public:
    // Larger publications are refused by the library before they cost memory.
    static constexpr qint64 MaxMessageSize = qint64(64) << 20;
    // Received frames handed up but not yet taken by the receiver; beyond
    // this the loop waits, and the library's own bounded queue takes over.
    static constexpr int MaxPendingMessages = 64;
    static constexpr int HeartbeatIntervalMs = 10000;
    static constexpr int HeartbeatTimeoutMs = 30000;
    static constexpr int ReconnectMaxMs = 30000;
    static constexpr int RebuildFirstDelayMs = 100;

    // What became of the link to Central; reported once per change.
    enum class LinkState { Up, Unreachable, HandshakeFailed, Lost };
    Q_ENUM(LinkState)

    ZeroMQ();
    ~ZeroMQ() override;

    void setSubscriber(const QString &endpoint, const QString &topic);
    void setPushEndpoint(const QString &endpoint);
    // Encrypts and authenticates both sockets: Central's public key is pinned
    // and this end shows its own pair (all Z85 text). Empty: plain.
    void setCurve(const QByteArray &serverPublicKey, const QByteArray &publicKey, const QByteArray &secretKey);

    // The receiver calls this once for every topicMsgReceived it took.
    void messageHandled();

public slots:
    void start();
    void stop();
    void send(const QByteArray &buf);

signals:
    void started();
    void topicMsgReceived(const QByteArray &topic, const QByteArray &msg);
    void error(const QString &operation, const QString &message);
    void linkStateChanged(ZeroMQ::LinkState state);

private:
    bool open();
    void openSockets();
    void configure(void *socket);
    void receiveLoop();
    bool receiveMessage();
    void takeMonitorEvent(int index);
    void report(LinkState state);
    void noteConnectionEnded(bool wasUp);
    void rebuildSockets();
    void closeLinkSockets();
    int pollTimeoutMs() const;
    bool admitMessage();
    void closeSockets();

    std::unique_ptr<ZeroMQPrivate> d;
};

#endif // ZEROMQ_H
