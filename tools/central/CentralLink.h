#ifndef CENTRALLINK_H
#define CENTRALLINK_H

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>

#include <zmq.hpp>

class QSocketNotifier;
class ZapHandler;

// Central's end of the link: a bound PUB socket for topic-framed
// publications and a bound PULL socket whose frames are handed up as they
// arrive. Both live on the thread of the event loop: the PULL socket's
// descriptor wakes a socket notifier, so nothing blocks.
class CentralLink : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(CentralLink)

public:
    // Frames larger than this are refused by the library.
    static constexpr qint64 MaxFrameSize = qint64(16) << 20;

    explicit CentralLink(QObject *parent = nullptr);
    ~CentralLink() override;

    // Both sockets serve the encrypted link with this secret key (Z85);
    // called before bind().
    void setCurveServer(const QByteArray &secretKey);
    // Only services whose public key (Z85) is listed complete the encrypted
    // handshake; called before bind().
    void allowClients(const QSet<QByteArray> &publicKeys);

    // False, with the library's reason in the error, when either endpoint
    // cannot be bound.
    bool bind(const QString &publishEndpoint, const QString &pullEndpoint, QString *error);
    // The endpoints as bound: a port given as * shows the one chosen.
    QString publishEndpoint() const;
    QString pullEndpoint() const;

    // Publishes topic and packet as one two-frame message. Subscribers that
    // are too slow lose messages rather than hold the publisher up.
    bool publish(const QByteArray &topic, const QByteArray &packet);

signals:
    void frameReceived(const QByteArray &frame);
    void error(const QString &message);

private slots:
    void onReadable();

private:
    zmq::context_t m_context;
    zmq::socket_t m_publisher;
    zmq::socket_t m_puller;
    QSocketNotifier *m_notifier = nullptr;
    ZapHandler *m_zap = nullptr;
};

#endif // CENTRALLINK_H
