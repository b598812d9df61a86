#include "CentralPeer.h"

#include "proto/svc.pb.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <zmq.hpp>

struct CentralPeer::Sockets
{
    zmq::context_t context;
    // An XPUB publishes like a PUB and also reports subscriptions.
    zmq::socket_t publisher{context, zmq::socket_type::xpub};
    zmq::socket_t puller{context, zmq::socket_type::pull};
    QString publishEndpoint;
    QString pullEndpoint;
};

namespace {

QString bindTo(zmq::socket_t &socket, const QString &endpoint)
{
    socket.set(zmq::sockopt::linger, 0);
    socket.bind(endpoint.toStdString());
    return QString::fromStdString(socket.get(zmq::sockopt::last_endpoint));
}

// Receives one frame from socket, turning the event loop meanwhile.
bool receiveWithin(zmq::socket_t &socket, zmq::message_t &frame, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    zmq::pollitem_t item{socket.handle(), 0, ZMQ_POLLIN, 0};
    do {
        QCoreApplication::processEvents();
        if (zmq::poll(&item, 1, std::chrono::milliseconds(5)) > 0)
            return socket.recv(frame, zmq::recv_flags::dontwait).has_value();
    } while (!deadline.hasExpired());
    return false;
}

} // namespace

CentralPeer::CentralPeer()
    : CentralPeer(QStringLiteral("tcp://127.0.0.1:*"), QStringLiteral("tcp://127.0.0.1:*"))
{
}

CentralPeer::CentralPeer(const QString &publishEndpoint, const QString &pullEndpoint, const QByteArray &curveSecretKey)
    : m_sockets(std::make_unique<Sockets>())
{
    for (zmq::socket_t *socket : {&m_sockets->publisher, &m_sockets->puller}) {
        if (!curveSecretKey.isEmpty()) {
            socket->set(zmq::sockopt::curve_server, true);
            socket->set(zmq::sockopt::curve_secretkey, curveSecretKey.toStdString());
        }
    }
    // Report every subscription, and never drop a publication: a test
    // decides what the service gets to see.
    m_sockets->publisher.set(zmq::sockopt::xpub_verbose, 1);
    m_sockets->publisher.set(zmq::sockopt::sndhwm, 0);
    m_sockets->publishEndpoint = bindTo(m_sockets->publisher, publishEndpoint);
    m_sockets->pullEndpoint = bindTo(m_sockets->puller, pullEndpoint);
}

CentralPeer::~CentralPeer() = default;

QString CentralPeer::publishEndpoint() const
{
    return m_sockets->publishEndpoint;
}

QString CentralPeer::pullEndpoint() const
{
    return m_sockets->pullEndpoint;
}

quint16 CentralPeer::publishPort() const
{
    return quint16(publishEndpoint().section(QLatin1Char(':'), -1).toUInt());
}

quint16 CentralPeer::pullPort() const
{
    return quint16(pullEndpoint().section(QLatin1Char(':'), -1).toUInt());
}

Packet CentralPeer::ping(int number)
{
    Packet packet;
    packet.set_client_id("central");
    packet.mutable_ping()->set_number(number);
    return packet;
}

bool CentralPeer::waitForSubscriber(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    zmq::message_t message;
    while (receiveWithin(m_sockets->publisher, message, int(deadline.remainingTime()))) {
        const QByteArray bytes(message.data<char>(), int(message.size()));
        if (bytes.startsWith('\x01') && QByteArray("services").startsWith(bytes.mid(1)))
            return true;
    }
    return false;
}

void CentralPeer::publish(const Packet &packet, const QByteArray &topic)
{
    publishFrames({topic, QByteArray::fromStdString(packet.SerializeAsString())});
}

void CentralPeer::publishFrames(const QList<QByteArray> &frames)
{
    for (int i = 0; i < frames.size(); ++i) {
        const QByteArray &frame = frames.at(i);
        const auto flags = i + 1 < frames.size() ? zmq::send_flags::sndmore : zmq::send_flags::none;
        m_sockets->publisher.send(zmq::buffer(frame.constData(), size_t(frame.size())), flags);
    }
}

bool CentralPeer::waitForFrame(QByteArray *frame, int timeoutMs)
{
    zmq::message_t message;
    if (!receiveWithin(m_sockets->puller, message, timeoutMs))
        return false;
    *frame = QByteArray(message.data<char>(), int(message.size()));
    return true;
}

bool CentralPeer::waitForPacket(Packet *packet, int timeoutMs)
{
    QByteArray frame;
    return waitForFrame(&frame, timeoutMs) && packet->ParseFromArray(frame.constData(), frame.size());
}
