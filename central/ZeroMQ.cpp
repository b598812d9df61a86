#include "ZeroMQ.h"

#include "ZeroMQPrivate.h"

#include <cerrno>

namespace {

// One blocking receive. False when the call returned without a frame (a
// signal interrupted it, or the library had nothing after all); the caller
// simply receives again. ETERM and real failures propagate.
bool receiveFrame(zmq::socket_t &socket, zmq::message_t &frame)
{
    try {
        return socket.recv(frame).has_value();
    } catch (const zmq::error_t &e) {
        if (e.num() == EINTR)
            return false;
        throw;
    }
}

const char monitorEndpoint[] = "inproc://sub-monitor";

// Waits for input on any of the sockets; false when a signal interrupted.
bool waitForInput(zmq::pollitem_t *items, size_t count)
{
    try {
        zmq::poll(items, count, std::chrono::milliseconds(-1));
        return true;
    } catch (const zmq::error_t &e) {
        if (e.num() == EINTR)
            return false;
        throw;
    }
}

QByteArray toByteArray(const zmq::message_t &frame)
{
    return QByteArray(frame.data<char>(), int(frame.size()));
}

} // namespace

ZeroMQ::ZeroMQ()
    : d(std::make_unique<ZeroMQPrivate>())
{
}

ZeroMQ::~ZeroMQ() = default;

void ZeroMQ::setSubscriber(const QString &endpoint, const QString &topic)
{
    std::lock_guard<std::mutex> lock(d->m_mutex);
    d->m_subEndpoint = endpoint;
    d->m_topic = topic;
    d->m_armed = true;
}

void ZeroMQ::setPushEndpoint(const QString &endpoint)
{
    std::lock_guard<std::mutex> lock(d->m_mutex);
    d->m_pushEndpoint = endpoint;
    d->m_armed = true;
}

void ZeroMQ::start()
{
    try {
        if (open()) {
            emit started();
            receiveLoop();
        }
    } catch (const zmq::error_t &e) {
        // ETERM is stop() at work, not a failure.
        if (e.num() != ETERM)
            emit error(QStringLiteral("void ZeroMQ::start()"), QString::fromLocal8Bit(e.what()));
    }
    closeSockets();
}

void ZeroMQ::stop()
{
    std::unique_ptr<zmq::context_t> context;
    {
        std::lock_guard<std::mutex> lock(d->m_mutex);
        d->m_armed = false;
        d->m_running = false;
        context = std::move(d->m_context);
    }
    d->m_receiverReady.notify_all();
    // Terminating wakes the blocked receive with ETERM and returns once the
    // loop has closed both sockets; with linger 0 unsent frames do not delay it.
    if (context)
        context->close();
}

void ZeroMQ::send(const QByteArray &buf)
{
    QString failure;
    {
        std::lock_guard<std::mutex> lock(d->m_mutex);
        if (!d->m_pushSocket)
            return;
        try {
            // Never wait for Central: a full queue (no peer, or a peer that
            // does not read) drops the frame.
            d->m_pushSocket->send(zmq::buffer(buf.constData(), size_t(buf.size())),
                                  zmq::send_flags::dontwait);
            return;
        } catch (const zmq::error_t &e) {
            if (e.num() == EINTR || e.num() == ETERM)
                return;
            failure = QString::fromLocal8Bit(e.what());
        }
    }
    emit error(QStringLiteral("void ZeroMQ::send(QByteArray)"), failure);
    stop();
}

void ZeroMQ::messageHandled()
{
    {
        std::lock_guard<std::mutex> lock(d->m_mutex);
        if (d->m_pending > 0)
            --d->m_pending;
    }
    d->m_receiverReady.notify_one();
}

bool ZeroMQ::open()
{
    std::lock_guard<std::mutex> lock(d->m_mutex);
    if (!d->m_armed)
        return false;
    if (!d->m_context)
        d->m_context = std::make_unique<zmq::context_t>();

    d->m_subSocket = std::make_unique<zmq::socket_t>(*d->m_context, zmq::socket_type::sub);
    d->m_subSocket->set(zmq::sockopt::subscribe, d->m_topic.toStdString());
    d->m_subSocket->set(zmq::sockopt::linger, 0);
    d->m_subSocket->set(zmq::sockopt::maxmsgsize, int64_t(MaxMessageSize));
    d->m_subSocket->connect(d->m_subEndpoint.toStdString());
    if (zmq_socket_monitor(d->m_subSocket->handle(), monitorEndpoint, ZMQ_EVENT_DISCONNECTED) != 0)
        throw zmq::error_t();
    d->m_monitorSocket = std::make_unique<zmq::socket_t>(*d->m_context, zmq::socket_type::pair);
    d->m_monitorSocket->set(zmq::sockopt::linger, 0);
    d->m_monitorSocket->connect(monitorEndpoint);

    d->m_pushSocket = std::make_unique<zmq::socket_t>(*d->m_context, zmq::socket_type::push);
    d->m_pushSocket->set(zmq::sockopt::linger, 0);
    d->m_pushSocket->connect(d->m_pushEndpoint.toStdString());

    d->m_running = true;
    return true;
}

// Every frame that follows a topic frame goes up with that topic; a
// publication of one frame gives nothing.
void ZeroMQ::receiveLoop()
{
    zmq::socket_t &sub = *d->m_subSocket;
    zmq::pollitem_t items[] = {
        {sub.handle(), 0, ZMQ_POLLIN, 0},
        {d->m_monitorSocket->handle(), 0, ZMQ_POLLIN, 0},
    };
    while (d->m_running) {
        if (!waitForInput(items, 2))
            continue;
        if (items[1].revents & ZMQ_POLLIN)
            reconnectSubscriber();
        if (!(items[0].revents & ZMQ_POLLIN))
            continue;

        zmq::message_t topic;
        if (!receiveFrame(sub, topic))
            continue;
        bool more = sub.get(zmq::sockopt::rcvmore);
        while (more) {
            zmq::message_t frame;
            if (!receiveFrame(sub, frame))
                continue;
            more = sub.get(zmq::sockopt::rcvmore);
            if (!admitMessage())
                return;
            emit topicMsgReceived(toByteArray(topic), toByteArray(frame));
        }
    }
}

void ZeroMQ::reconnectSubscriber()
{
    // A monitor event is two frames: event number and value, then the peer.
    zmq::message_t event;
    while (receiveFrame(*d->m_monitorSocket, event) && event.more())
        event.rebuild();

    const std::string endpoint = d->m_subEndpoint.toStdString();
    try {
        d->m_subSocket->disconnect(endpoint);
    } catch (const zmq::error_t &e) {
        if (e.num() != ENOENT)
            throw;
    }
    d->m_subSocket->connect(endpoint);
}

// Waits while the receiver is MaxPendingMessages behind; false once stopping.
bool ZeroMQ::admitMessage()
{
    std::unique_lock<std::mutex> lock(d->m_mutex);
    d->m_receiverReady.wait(lock, [this] {
        return d->m_pending < MaxPendingMessages || !d->m_running;
    });
    if (!d->m_running)
        return false;
    ++d->m_pending;
    return true;
}

void ZeroMQ::closeSockets()
{
    std::lock_guard<std::mutex> lock(d->m_mutex);
    d->m_running = false;
    d->m_monitorSocket.reset();
    d->m_subSocket.reset();
    d->m_pushSocket.reset();
}
