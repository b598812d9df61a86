#include "QtHttpServerWrapper.h"

#include "QtHttpConstants.h"

#include "QtHttpTlsSocket.h"

#include <QSocketNotifier>
#include <QTimerEvent>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Connections taken per wake-up, so that a flood cannot hold the event loop.
constexpr int MAX_ACCEPTS_PER_TURN = 64;

bool isOutOfResources(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

} // namespace

QtHttpServerWrapper::QtHttpServerWrapper(QObject *parent)
    : QTcpServer(parent)
{
}

QtHttpServerWrapper::~QtHttpServerWrapper()
{
    stopListening();
}

bool QtHttpServerWrapper::startListening(const QHostAddress &address, quint16 port)
{
    if (!listen(address, port))
        return false;
    // QTcpServer listens with a backlog of 50; a burst of connections beyond
    // that is dropped by the kernel and retried by the clients only seconds
    // later. Listening again on the same socket just widens the queue.
    ::listen(int(socketDescriptor()), SOMAXCONN);
    pauseAccepting();
    m_acceptNotifier = new QSocketNotifier(socketDescriptor(), QSocketNotifier::Read, this);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &QtHttpServerWrapper::onAcceptReady);
    return true;
}

// The notifier goes before the descriptor it watches is closed.
void QtHttpServerWrapper::stopListening()
{
    delete m_acceptNotifier;
    m_acceptNotifier = nullptr;
    m_retryTimer.stop();
    close();
}

QTcpSocket *QtHttpServerWrapper::nextPendingConnection()
{
    return m_pending.isEmpty() ? nullptr : m_pending.takeFirst();
}

bool QtHttpServerWrapper::hasPendingConnections() const
{
    return !m_pending.isEmpty();
}

void QtHttpServerWrapper::onAcceptReady()
{
    for (int i = 0; i < MAX_ACCEPTS_PER_TURN && m_acceptNotifier; ++i) {
        const int handle = ::accept4(int(socketDescriptor()), nullptr, nullptr, SOCK_CLOEXEC);
        if (handle < 0) {
            if (isOutOfResources(errno)) {
                m_acceptNotifier->setEnabled(false);
                m_retryTimer.start(QtHttp::ACCEPT_RETRY_MS, this);
            }
            return;
        }
        incomingConnection(handle);
        if (hasPendingConnections())
            emit newConnection();
    }
}

void QtHttpServerWrapper::incomingConnection(qintptr handle)
{
    if (m_useSecure) {
        auto *tls = new QtHttpTlsSocket(this);
        if (tls->takeDescriptor(handle)) {
            m_pending.append(tls);
            return;
        }
        delete tls;
        ::close(int(handle));
        return;
    }
    auto *sock = new QTcpSocket(this);
    if (sock->setSocketDescriptor(handle)) {
        m_pending.append(sock);
        return;
    }
    // A socket that failed to take the handle over leaves it open.
    delete sock;
    ::close(int(handle));
}

void QtHttpServerWrapper::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_retryTimer.timerId()) {
        QTcpServer::timerEvent(event);
        return;
    }
    m_retryTimer.stop();
    if (m_acceptNotifier)
        m_acceptNotifier->setEnabled(true);
}
