#ifndef ZAPHANDLER_H
#define ZAPHANDLER_H

#include <QByteArray>
#include <QObject>
#include <QSet>

#include <zmq.hpp>

class QSocketNotifier;

// Decides, for the library's authentication protocol, which services may
// complete the encrypted handshake: those whose public key is listed. It
// answers on the context's well-known inproc endpoint, on the event loop.
class ZapHandler : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ZapHandler)

public:
    // Requests taken per wake-up before the event loop gets its turn again.
    static constexpr int MaxRequestsPerWake = 64;

    // allowedKeys: public keys as Z85 text. Binds at once; a failure to bind
    // is thrown, as the link is being set up.
    ZapHandler(zmq::context_t &context, const QSet<QByteArray> &allowedKeys, QObject *parent = nullptr);
    ~ZapHandler() override;

signals:
    void refused(const QByteArray &publicKey, const QByteArray &address);

private slots:
    void onReadable();

private:
    void answer(const std::vector<zmq::message_t> &request);

    zmq::socket_t m_socket;
    QSet<QByteArray> m_allowed;
    QSocketNotifier *m_notifier = nullptr;
};

#endif // ZAPHANDLER_H
