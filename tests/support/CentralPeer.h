#ifndef CENTRALPEER_H
#define CENTRALPEER_H

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

class Packet;

// Plays Central on loopback: publishes topic-framed packets and collects
// what the service pushes. Both sockets bind to free ports. While it waits
// it keeps the calling thread's event loop turning, so a service in the
// same process goes on handling what it receives.
class CentralPeer
{
    Q_DISABLE_COPY(CentralPeer)

public:
    CentralPeer();
    // Binds to these endpoints instead, for example those of an earlier
    // peer, to play a Central that went away and came back. With a secret
    // key (Z85) both sockets serve the encrypted link.
    CentralPeer(const QString &publishEndpoint, const QString &pullEndpoint, const QByteArray &curveSecretKey = {});
    ~CentralPeer();

    // Where the service's SUB and PUSH sockets are to connect.
    QString publishEndpoint() const;
    QString pullEndpoint() const;
    quint16 publishPort() const;
    quint16 pullPort() const;

    // True once a subscriber has subscribed to a prefix of "services";
    // only then do publications reach it.
    bool waitForSubscriber(int timeoutMs = 5000);

    void publish(const Packet &packet, const QByteArray &topic = "services");
    void publishFrames(const QList<QByteArray> &frames);

    // The next frame the service pushed, and that frame decoded.
    bool waitForFrame(QByteArray *frame, int timeoutMs = 5000);
    bool waitForPacket(Packet *packet, int timeoutMs = 5000);

    // Central's ping with this number.
    static Packet ping(int number);

private:
    struct Sockets;
    std::unique_ptr<Sockets> m_sockets;
};

#endif // CENTRALPEER_H
