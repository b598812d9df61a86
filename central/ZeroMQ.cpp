#include "ZeroMQ.h"

#include "ZeroMQPrivate.h"

#include <cerrno>
#include <cstring>

namespace {

// One blocking receive. False when the call returned without a frame (a
// signal interrupted it, or the library had nothing after all); the caller
// simply receives again. ETERM and real failures propagate.
bool receiveFrame(zmq::socket_t &socket, zmq::message_t &frame, zmq::recv_flags flags = zmq::recv_flags::none)
{
    try {
        return socket.recv(frame, flags).has_value();
    } catch (const zmq::error_t &e) {
        if (e.num() == EINTR)
            return false;
        throw;
    }
}

// Waits for input on any of the sockets; false when a signal interrupted.
bool waitForInput(zmq::pollitem_t *items, size_t count, int timeoutMs)
{
    try {
        zmq::poll(items, count, std::chrono::milliseconds(timeoutMs));
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

void setOption(void *socket, int option, int value)
{
    if (zmq_setsockopt(socket, option, &value, sizeof value) != 0)
        throw zmq::error_t();
}

void setOption(void *socket, int option, const QByteArray &value)
{
    if (zmq_setsockopt(socket, option, value.constData(), size_t(value.size())) != 0)
        throw zmq::error_t();
}

constexpr int monitoredEvents = ZMQ_EVENT_CONNECT_RETRIED | ZMQ_EVENT_DISCONNECTED | ZMQ_EVENT_HANDSHAKE_SUCCEEDED
    | ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL | ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL
    | ZMQ_EVENT_HANDSHAKE_FAILED_AUTH;

} // namespace

ZeroMQ::ZeroMQ()
    : d(std::make_unique<ZeroMQPrivate>())
{
    qRegisterMetaType<ZeroMQ::LinkState>();
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

void ZeroMQ::setCurve(const QByteArray &serverPublicKey, const QByteArray &publicKey, const QByteArray &secretKey)
{
    std::lock_guard<std::mutex> lock(d->m_mutex);
    d->m_serverKey = serverPublicKey;
    d->m_publicKey = publicKey;
    d->m_secretKey = secretKey;
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
    d->m_wakeSocket = std::make_unique<zmq::socket_t>(*d->m_context, zmq::socket_type::pair);
    d->m_wakeSocket->set(zmq::sockopt::linger, 0);
    openSockets();
    d->m_reported = int(LinkState::Up);
    d->m_rebuildDelayMs = 0;
    d->m_running = true;
    return true;
}

// Called with m_mutex held: the PUSH socket is shared with send().
void ZeroMQ::openSockets()
{
    ++d->m_generation;
    d->m_handshaken[0] = d->m_handshaken[1] = false;

    d->m_subSocket = std::make_unique<zmq::socket_t>(*d->m_context, zmq::socket_type::sub);
    d->m_subSocket->set(zmq::sockopt::subscribe, d->m_topic.toStdString());
    d->m_subSocket->set(zmq::sockopt::maxmsgsize, int64_t(MaxMessageSize));
    d->m_pushSocket = std::make_unique<zmq::socket_t>(*d->m_context, zmq::socket_type::push);

    zmq::socket_t *sockets[] = {d->m_subSocket.get(), d->m_pushSocket.get()};
    const QString endpoints[] = {d->m_subEndpoint, d->m_pushEndpoint};
    for (int i = 0; i < 2; ++i) {
        configure(sockets[i]->handle());
        const std::string monitor = QStringLiteral("inproc://central-link-%1-%2").arg(d->m_generation).arg(i).toStdString();
        if (zmq_socket_monitor(sockets[i]->handle(), monitor.c_str(), monitoredEvents) != 0)
            throw zmq::error_t();
        d->m_monitors[i] = std::make_unique<zmq::socket_t>(*d->m_context, zmq::socket_type::pair);
        d->m_monitors[i]->set(zmq::sockopt::linger, 0);
        d->m_monitors[i]->connect(monitor);
        sockets[i]->connect(endpoints[i].toStdString());
    }
}

void ZeroMQ::configure(void *socket)
{
    setOption(socket, ZMQ_LINGER, 0);
    setOption(socket, ZMQ_HEARTBEAT_IVL, HeartbeatIntervalMs);
    setOption(socket, ZMQ_HEARTBEAT_TIMEOUT, HeartbeatTimeoutMs);
    setOption(socket, ZMQ_HEARTBEAT_TTL, HeartbeatTimeoutMs);
    setOption(socket, ZMQ_RECONNECT_IVL_MAX, ReconnectMaxMs);
    if (d->m_serverKey.isEmpty())
        return;
    setOption(socket, ZMQ_CURVE_SERVERKEY, d->m_serverKey);
    setOption(socket, ZMQ_CURVE_PUBLICKEY, d->m_publicKey);
    setOption(socket, ZMQ_CURVE_SECRETKEY, d->m_secretKey);
}

void ZeroMQ::receiveLoop()
{
    while (d->m_running) {
        const bool open = d->m_subSocket != nullptr;
        zmq::pollitem_t items[4] = {{d->m_wakeSocket->handle(), 0, ZMQ_POLLIN, 0}};
        if (open) {
            items[1] = {d->m_subSocket->handle(), 0, ZMQ_POLLIN, 0};
            items[2] = {d->m_monitors[0]->handle(), 0, ZMQ_POLLIN, 0};
            items[3] = {d->m_monitors[1]->handle(), 0, ZMQ_POLLIN, 0};
        }
        if (!waitForInput(items, open ? 4 : 1, pollTimeoutMs()))
            continue;
        if (open && (items[1].revents & ZMQ_POLLIN) && !receiveMessage())
            return;
        for (int i = 0; i < 2; ++i) {
            if (open && d->m_subSocket && (items[i + 2].revents & ZMQ_POLLIN))
                takeMonitorEvent(i);
        }
        if (d->m_rebuildPending && std::chrono::steady_clock::now() >= d->m_rebuildAt)
            rebuildSockets();
    }
}

// Every frame that follows a topic frame goes up with that topic; a
// publication of one frame gives nothing. False once stopping.
bool ZeroMQ::receiveMessage()
{
    zmq::socket_t &sub = *d->m_subSocket;
    zmq::message_t topic;
    if (!receiveFrame(sub, topic, zmq::recv_flags::dontwait))
        return true;
    bool more = sub.get(zmq::sockopt::rcvmore);
    while (more) {
        zmq::message_t frame;
        if (!receiveFrame(sub, frame))
            continue;
        more = sub.get(zmq::sockopt::rcvmore);
        if (!admitMessage())
            return false;
        emit topicMsgReceived(toByteArray(topic), toByteArray(frame));
    }
    return true;
}

// A monitor event is two frames: the event number and its value, then the
// peer's endpoint.
void ZeroMQ::takeMonitorEvent(int index)
{
    zmq::message_t event;
    if (!receiveFrame(*d->m_monitors[index], event, zmq::recv_flags::dontwait))
        return;
    zmq::message_t endpoint;
    while (event.more() && receiveFrame(*d->m_monitors[index], endpoint, zmq::recv_flags::dontwait) && endpoint.more())
        endpoint.rebuild();
    if (event.size() < sizeof(uint16_t))
        return;
    uint16_t number = 0;
    std::memcpy(&number, event.data(), sizeof number);

    switch (number) {
    case ZMQ_EVENT_HANDSHAKE_SUCCEEDED:
        d->m_handshaken[index] = true;
        d->m_rebuildDelayMs = 0;
        if (d->m_reported != int(LinkState::Up)) {
            d->m_reported = int(LinkState::Up);
            emit linkStateChanged(LinkState::Up);
        }
        break;
    case ZMQ_EVENT_CONNECT_RETRIED:
        // The library retries on its own, backing off.
        report(LinkState::Unreachable);
        break;
    default:
        noteConnectionEnded(d->m_handshaken[index]);
        break;
    }
}

// Once per outage: only the first of the states that are not Up is told.
void ZeroMQ::report(LinkState state)
{
    if (d->m_reported != int(LinkState::Up))
        return;
    d->m_reported = int(state);
    emit linkStateChanged(state);
}

// The connection ended, before or after its handshake. Both sockets are
// closed at once, dropping whatever the old SUB socket had queued, and made
// anew after a delay that backs off while the link does not come up.
void ZeroMQ::noteConnectionEnded(bool wasUp)
{
    report(wasUp ? LinkState::Lost : LinkState::HandshakeFailed);
    {
        std::lock_guard<std::mutex> lock(d->m_mutex);
        closeLinkSockets();
    }
    d->m_rebuildDelayMs = d->m_rebuildDelayMs ? std::min(2 * d->m_rebuildDelayMs, ReconnectMaxMs) : RebuildFirstDelayMs;
    d->m_rebuildPending = true;
    d->m_rebuildAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(d->m_rebuildDelayMs);
}

void ZeroMQ::rebuildSockets()
{
    std::lock_guard<std::mutex> lock(d->m_mutex);
    d->m_rebuildPending = false;
    if (d->m_running)
        openSockets();
}

int ZeroMQ::pollTimeoutMs() const
{
    if (!d->m_rebuildPending)
        return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(d->m_rebuildAt - std::chrono::steady_clock::now());
    return int(std::max<qint64>(0, left.count()));
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
    d->m_rebuildPending = false;
    closeLinkSockets();
    d->m_wakeSocket.reset();
}

// Called with m_mutex held. The library writes monitor events from its own
// thread and waits while nobody reads them: each socket stops reporting,
// and is closed, before its reader goes.
void ZeroMQ::closeLinkSockets()
{
    std::unique_ptr<zmq::socket_t> *sockets[] = {&d->m_subSocket, &d->m_pushSocket};
    for (int i = 0; i < 2; ++i) {
        if (*sockets[i] && d->m_monitors[i])
            zmq_socket_monitor((*sockets[i])->handle(), nullptr, 0);
        sockets[i]->reset();
        d->m_monitors[i].reset();
    }
}
