#include "CentralLink.h"

#include "ZapHandler.h"

#include <QSocketNotifier>
#include <QTimer>

namespace {

// Frames taken per wake-up before the event loop gets its turn again.
constexpr int MaxFramesPerWake = 64;

} // namespace

CentralLink::CentralLink(QObject *parent)
    : QObject(parent)
    , m_context(1)
    , m_publisher(m_context, zmq::socket_type::pub)
    , m_puller(m_context, zmq::socket_type::pull)
{
    m_publisher.set(zmq::sockopt::linger, 0);
    m_puller.set(zmq::sockopt::linger, 0);
    m_puller.set(zmq::sockopt::maxmsgsize, int64_t(MaxFrameSize));
}

CentralLink::~CentralLink()
{
    // The notifier watches a descriptor of the puller: it goes first.
    delete m_notifier;
}

void CentralLink::setCurveServer(const QByteArray &secretKey)
{
    for (zmq::socket_t *socket : {&m_publisher, &m_puller}) {
        socket->set(zmq::sockopt::curve_server, true);
        socket->set(zmq::sockopt::curve_secretkey, secretKey.toStdString());
    }
}

void CentralLink::allowClients(const QSet<QByteArray> &publicKeys)
{
    m_zap = new ZapHandler(m_context, publicKeys, this);
    connect(m_zap, &ZapHandler::refused, this, [this](const QByteArray &key, const QByteArray &address) {
        emit error(QStringLiteral("refused a service at %1 with key %2")
                       .arg(QString::fromLatin1(address), key.isEmpty() ? QStringLiteral("(none)") : QString::fromLatin1(key)));
    });
}

bool CentralLink::bind(const QString &publishEndpoint, const QString &pullEndpoint, QString *error)
{
    try {
        m_publisher.bind(publishEndpoint.toStdString());
        m_puller.bind(pullEndpoint.toStdString());
    } catch (const zmq::error_t &e) {
        *error = QString::fromLocal8Bit(e.what());
        return false;
    }
    m_notifier = new QSocketNotifier(m_puller.get(zmq::sockopt::fd), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &CentralLink::onReadable);
    // The descriptor only signals changes: frames that came before the
    // notifier existed are taken now.
    QTimer::singleShot(0, this, &CentralLink::onReadable);
    return true;
}

QString CentralLink::publishEndpoint() const
{
    return QString::fromStdString(m_publisher.get(zmq::sockopt::last_endpoint));
}

QString CentralLink::pullEndpoint() const
{
    return QString::fromStdString(m_puller.get(zmq::sockopt::last_endpoint));
}

bool CentralLink::publish(const QByteArray &topic, const QByteArray &packet)
{
    try {
        return m_publisher.send(zmq::const_buffer(topic.constData(), size_t(topic.size())), zmq::send_flags::sndmore)
            && m_publisher.send(zmq::const_buffer(packet.constData(), size_t(packet.size())), zmq::send_flags::dontwait);
    } catch (const zmq::error_t &) {
        return false;
    }
}

void CentralLink::onReadable()
{
    try {
        for (int taken = 0; taken < MaxFramesPerWake; ++taken) {
            if (!(m_puller.get(zmq::sockopt::events) & ZMQ_POLLIN))
                return;
            zmq::message_t frame;
            if (!m_puller.recv(frame, zmq::recv_flags::dontwait))
                return;
            emit frameReceived(QByteArray(frame.data<char>(), int(frame.size())));
        }
    } catch (const zmq::error_t &e) {
        emit error(QStringLiteral("receive failed: %1").arg(QString::fromLocal8Bit(e.what())));
        return;
    }
    // More may be waiting, and the descriptor will not say so again.
    QTimer::singleShot(0, this, &CentralLink::onReadable);
}
