#include "QtHttpTlsSocket.h"

#include <QHostAddress>
#include <QSocketNotifier>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Decrypted input held for the reader; the socket is not read past it.
constexpr int MaxInput = 64 * 1024;
// One record's worth of plaintext, the most a record holds.
constexpr int RecordSize = 16 * 1024;

quint16 portOf(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
    return 0;
}

} // namespace

QtHttpTlsSocket::QtHttpTlsSocket(QObject *parent)
    : QTcpSocket(parent)
{
}

// Quietly: nobody listens to a socket being destroyed. The notifiers go
// before the descriptor they watch is closed.
QtHttpTlsSocket::~QtHttpTlsSocket()
{
    delete m_readNotifier;
    delete m_writeNotifier;
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    SSL_free(m_ssl);
    setSocketState(UnconnectedState);
}

bool QtHttpTlsSocket::takeDescriptor(qintptr descriptor)
{
    const int fd = int(descriptor);
    sockaddr_storage peer = {};
    sockaddr_storage local = {};
    socklen_t peerSize = sizeof peer;
    socklen_t localSize = sizeof local;
    const int flags = ::fcntl(fd, F_GETFL);
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerSize) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localSize) != 0 || flags < 0
        || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return false;
    // Each write goes out as soon as it is made, as on plain connections.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_descriptor = fd;
    setPeerAddress(QHostAddress(reinterpret_cast<const sockaddr *>(&peer)));
    setPeerPort(portOf(peer));
    setLocalAddress(QHostAddress(reinterpret_cast<const sockaddr *>(&local)));
    setLocalPort(portOf(local));
    setSocketState(ConnectedState);
    // Unbuffered: reads and writes come straight to readData and writeData.
    QIODevice::open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    return true;
}

bool QtHttpTlsSocket::startServerEncryption(SSL_CTX *context)
{
    if (m_descriptor < 0 || m_ssl)
        return false;
    ERR_clear_error();
    m_ssl = SSL_new(context);
    BIO *bio = m_ssl ? BIO_new(socketMethod()) : nullptr;
    if (!bio) {
        ERR_clear_error();
        return false;
    }
    BIO_set_data(bio, this);
    BIO_set_init(bio, 1);
    SSL_set_bio(m_ssl, bio, bio);
    SSL_set_accept_state(m_ssl);
    m_readNotifier = new QSocketNotifier(m_descriptor, QSocketNotifier::Read, this);
    m_writeNotifier = new QSocketNotifier(m_descriptor, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &QtHttpTlsSocket::onReady);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &QtHttpTlsSocket::onReady);
    return true;
}

qint64 QtHttpTlsSocket::bytesAvailable() const
{
    return m_input.size();
}

qint64 QtHttpTlsSocket::bytesToWrite() const
{
    return m_output.size() - m_outputStart;
}

void QtHttpTlsSocket::close()
{
    if (m_closing)
        shutDown();
    else
        disconnectFromHost();
}

void QtHttpTlsSocket::disconnectFromHost()
{
    if (m_descriptor < 0 || m_closing)
        return;
    m_closing = true;
    m_input.clear();
    if (!m_encrypted || bytesToWrite() == 0) {
        finishClosing();
        return;
    }
    setSocketState(ClosingState);
    updateNotifiers();
}

void QtHttpTlsSocket::abort()
{
    shutDown();
}

qint64 QtHttpTlsSocket::readData(char *data, qint64 maxSize)
{
    const int count = int(qMin<qint64>(maxSize, m_input.size()));
    if (count == 0)
        return state() == ConnectedState ? 0 : -1;
    const bool wasFull = m_input.size() >= MaxInput;
    std::memcpy(data, m_input.constData(), size_t(count));
    m_input.remove(0, count);
    // Reading stopped at the bound; it goes on from the event loop, and
    // finds what the TLS layer already holds as well as what the socket does.
    if (wasFull)
        QMetaObject::invokeMethod(this, &QtHttpTlsSocket::progress, Qt::QueuedConnection);
    return count;
}

// Straight from the caller's buffer while nothing waits; what the kernel
// does not take now is kept, and must be offered again as it is.
qint64 QtHttpTlsSocket::writeData(const char *data, qint64 size)
{
    if (state() != ConnectedState || m_closing)
        return -1;
    qint64 sent = 0;
    if (m_encrypted && bytesToWrite() == 0) {
        sent = writeRecords(data, size);
        if (sent < 0) {
            shutDown();
            return -1;
        }
    }
    if (sent < size) {
        m_output.append(data + sent, int(size - sent));
        updateNotifiers();
    }
    return size;
}

void QtHttpTlsSocket::onReady()
{
    progress();
}

// One step of everything the connection can do now: the handshake, sending
// what waits, reading what came. Signals go out at the end, when the
// socket is consistent again, since their handlers may write or close.
void QtHttpTlsSocket::progress()
{
    if (m_inProgress || m_descriptor < 0)
        return;
    m_inProgress = true;
    m_wantsWrite = false;
    const int before = m_input.size();
    bool ok = m_encrypted || handshake();
    if (ok && m_encrypted)
        ok = flushOutput() && (m_closing || readInput());
    m_inProgress = false;
    if (ok && m_closing && bytesToWrite() == 0) {
        finishClosing();
        return;
    }
    if (ok)
        updateNotifiers();
    const qint64 written = m_written;
    m_written = 0;
    if (ok && written > 0)
        emit bytesWritten(written);
    // Input that came before the end is still delivered, as on plain sockets.
    if (state() == ConnectedState && m_input.size() > before)
        emit readyRead();
    if (!ok)
        shutDown();
}

bool QtHttpTlsSocket::handshake()
{
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl);
    if (result == 1) {
        m_encrypted = true;
        return true;
    }
    return wouldBlock(result, &m_wantsWrite);
}

bool QtHttpTlsSocket::flushOutput()
{
    while (bytesToWrite() > 0) {
        const qint64 sent = writeRecords(m_output.constData() + m_outputStart, bytesToWrite());
        if (sent < 0)
            return false;
        if (sent == 0)
            break;
        m_outputStart += int(sent);
        m_written += sent;
    }
    if (m_outputStart == m_output.size()) {
        m_output.clear();
        m_outputStart = 0;
    } else if (m_outputStart > m_output.size() / 2) {
        m_output.remove(0, m_outputStart);
        m_outputStart = 0;
    }
    return true;
}

bool QtHttpTlsSocket::readInput()
{
    char piece[RecordSize];
    while (m_input.size() < MaxInput) {
        ERR_clear_error();
        size_t count = 0;
        const size_t room = size_t(qMin(RecordSize, MaxInput - m_input.size()));
        const int result = SSL_read_ex(m_ssl, piece, room, &count);
        if (result <= 0)
            return wouldBlock(result, &m_wantsWrite);
        m_input.append(piece, int(count));
    }
    return true;
}

// Record by record, until all is sent or the kernel takes no more: the
// bytes taken, or -1 when the connection failed. Every record but the last
// is sent as one with more to follow, so that the kernel sends the write in
// as few segments as it would have without the records.
qint64 QtHttpTlsSocket::writeRecords(const char *data, qint64 size)
{
    qint64 done = 0;
    while (done < size) {
        ERR_clear_error();
        m_moreFollows = size - done > RecordSize;
        size_t count = 0;
        const int result = SSL_write_ex(m_ssl, data + done, size_t(size - done), &count);
        if (result <= 0) {
            m_moreFollows = false;
            return wouldBlock(result, &m_wantsWrite) ? done : -1;
        }
        done += qint64(count);
    }
    m_moreFollows = false;
    return done;
}

// Whether a failed TLS operation only has to wait for the socket; the
// peer's close and every error end the connection.
bool QtHttpTlsSocket::wouldBlock(int result, bool *wantsWrite)
{
    switch (SSL_get_error(m_ssl, result)) {
    case SSL_ERROR_WANT_READ:
        return true;
    case SSL_ERROR_WANT_WRITE:
        *wantsWrite = true;
        return true;
    default:
        ERR_clear_error();
        return false;
    }
}

const BIO_METHOD *QtHttpTlsSocket::socketMethod()
{
    static BIO_METHOD *const method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tavro socket");
        BIO_meth_set_write_ex(m, &QtHttpTlsSocket::sendRecord);
        BIO_meth_set_read_ex(m, &QtHttpTlsSocket::receiveRecord);
        BIO_meth_set_ctrl(m, &QtHttpTlsSocket::controlBio);
        return m;
    }();
    return method;
}

int QtHttpTlsSocket::sendRecord(BIO *bio, const char *data, size_t size, size_t *sent)
{
    const auto *socket = static_cast<const QtHttpTlsSocket *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const int more = socket->m_moreFollows ? MSG_MORE : 0;
    const ssize_t result = ::send(socket->m_descriptor, data, size, MSG_NOSIGNAL | MSG_DONTWAIT | more);
    if (result >= 0) {
        *sent = size_t(result);
        return 1;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        BIO_set_retry_write(bio);
    return 0;
}

int QtHttpTlsSocket::receiveRecord(BIO *bio, char *data, size_t size, size_t *received)
{
    const auto *socket = static_cast<const QtHttpTlsSocket *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t result = ::recv(socket->m_descriptor, data, size, MSG_DONTWAIT);
    if (result > 0) {
        *received = size_t(result);
        return 1;
    }
    if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_read(bio);
    return 0;
}

// Only flushing is asked of a socket; there is nothing to flush.
long QtHttpTlsSocket::controlBio(BIO *, int command, long, void *)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

void QtHttpTlsSocket::updateNotifiers()
{
    if (m_descriptor < 0 || !m_readNotifier)
        return;
    m_readNotifier->setEnabled(!m_closing && m_input.size() < MaxInput);
    m_writeNotifier->setEnabled(m_wantsWrite);
}

// The peer is told the connection ends, as far as the socket takes it now.
void QtHttpTlsSocket::finishClosing()
{
    if (m_encrypted) {
        ERR_clear_error();
        SSL_shutdown(m_ssl);
        ERR_clear_error();
    }
    shutDown();
}

void QtHttpTlsSocket::shutDown()
{
    if (m_descriptor < 0)
        return;
    // Disabled rather than deleted: this may run inside their own signal.
    if (m_readNotifier) {
        m_readNotifier->setEnabled(false);
        m_writeNotifier->setEnabled(false);
    }
    ::close(m_descriptor);
    m_descriptor = -1;
    m_closing = true;
    m_input.clear();
    m_output.clear();
    m_outputStart = 0;
    setSocketState(UnconnectedState);
    QIODevice::close();
    emit disconnected();
}
