#include "ZapHandler.h"

#include <QSocketNotifier>
#include <QTimer>

#include <zmq_addon.hpp>

namespace {

// A request: version, request id, domain, address, routing id, mechanism,
// then the mechanism's credentials (one 32-byte key for CURVE).
constexpr size_t RequestFrames = 7;

QByteArray bytes(const zmq::message_t &frame)
{
    return QByteArray(frame.data<char>(), int(frame.size()));
}

QByteArray z85(const zmq::message_t &key)
{
    char text[41] = {};
    if (key.size() != 32 || !zmq_z85_encode(text, key.data<uint8_t>(), 32))
        return QByteArray();
    return QByteArray(text, 40);
}

} // namespace

ZapHandler::ZapHandler(zmq::context_t &context, const QSet<QByteArray> &allowedKeys, QObject *parent)
    : QObject(parent)
    , m_socket(context, zmq::socket_type::rep)
    , m_allowed(allowedKeys)
{
    m_socket.set(zmq::sockopt::linger, 0);
    m_socket.bind("inproc://zeromq.zap.01");
    m_notifier = new QSocketNotifier(m_socket.get(zmq::sockopt::fd), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ZapHandler::onReadable);
}

ZapHandler::~ZapHandler()
{
    // The notifier watches a descriptor of the socket: it goes first.
    delete m_notifier;
}

void ZapHandler::onReadable()
{
    for (int taken = 0; taken < MaxRequestsPerWake; ++taken) {
        if (!(m_socket.get(zmq::sockopt::events) & ZMQ_POLLIN))
            return;
        std::vector<zmq::message_t> request;
        if (!zmq::recv_multipart(m_socket, std::back_inserter(request), zmq::recv_flags::dontwait))
            return;
        answer(request);
    }
    // More may be waiting, and the descriptor will not say so again.
    QTimer::singleShot(0, this, &ZapHandler::onReadable);
}

void ZapHandler::answer(const std::vector<zmq::message_t> &request)
{
    const bool wellFormed = request.size() >= RequestFrames && bytes(request[0]) == "1.0";
    const QByteArray key = request.size() >= RequestFrames ? z85(request[6]) : QByteArray();
    const bool allowed = wellFormed && bytes(request[5]) == "CURVE" && m_allowed.contains(key);
    if (wellFormed && !allowed)
        emit refused(key, bytes(request[3]));

    std::array<zmq::const_buffer, 6> reply = {
        zmq::str_buffer("1.0"),
        zmq::buffer(request.size() > 1 ? request[1].data() : nullptr, request.size() > 1 ? request[1].size() : 0),
        allowed ? zmq::str_buffer("200") : zmq::str_buffer("400"),
        allowed ? zmq::str_buffer("OK") : zmq::str_buffer("Not an allowed service"),
        zmq::buffer(key.constData(), allowed ? size_t(key.size()) : 0),
        zmq::str_buffer(""),
    };
    try {
        zmq::send_multipart(m_socket, reply, zmq::send_flags::dontwait);
    } catch (const zmq::error_t &) {
        // Unanswered, the handshake fails when its time runs out.
    }
}
