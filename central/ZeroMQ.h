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

    ZeroMQ();
    ~ZeroMQ() override;

    void setSubscriber(const QString &endpoint, const QString &topic);
    void setPushEndpoint(const QString &endpoint);

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

private:
    bool open();
    void receiveLoop();
    void reconnectSubscriber();
    bool admitMessage();
    void closeSockets();

    std::unique_ptr<ZeroMQPrivate> d;
};

#endif // ZEROMQ_H
