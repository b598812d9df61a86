#include "HttpTestClient.h"

#include <QHostAddress>
#include <QSignalSpy>

QByteArray HttpResponse::header(const QByteArray &name) const
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return QByteArray();
}

HttpTestClient::HttpTestClient(quint16 port, QObject *parent)
    : QObject(parent)
    , m_port(port)
{
    m_socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    connect(&m_socket, &QIODevice::readyRead, this, &HttpTestClient::onReadyRead);
}

bool HttpTestClient::open(int timeoutMs)
{
    if (m_socket.state() == QAbstractSocket::ConnectedState)
        return !m_tls || m_socket.isEncrypted() || QSignalSpy(&m_socket, &QSslSocket::encrypted).wait(timeoutMs);
    QSignalSpy ready(&m_socket, m_tls ? &QSslSocket::encrypted : &QAbstractSocket::connected);
    // Shared, so that the port it takes never keeps a server of the tests
    // from listening on the wildcard address.
    if (!m_localAddress.isNull() && !m_socket.bind(m_localAddress, 0, QAbstractSocket::ReuseAddressHint))
        return false;
    if (m_tls)
        m_socket.connectToHostEncrypted(m_address.toString(), m_port);
    else
        m_socket.connectToHost(m_address, m_port);
    return ready.wait(timeoutMs);
}

HttpResponse HttpTestClient::get(const QByteArray &path, const Headers &headers, int timeoutMs)
{
    return request("GET", path, headers, QByteArray(), timeoutMs);
}

HttpResponse HttpTestClient::request(const QByteArray &method, const QByteArray &path, const Headers &headers,
                                     const QByteArray &body, int timeoutMs)
{
    HttpResponse response;
    if (!open(timeoutMs))
        return response;
    QByteArray head = method + ' ' + path + " HTTP/1.1\r\n";
    bool hasHost = false;
    for (const auto &header : headers) {
        hasHost = hasHost || header.first.compare("Host", Qt::CaseInsensitive) == 0;
        head += header.first + ": " + header.second + "\r\n";
    }
    if (!hasHost)
        head += "Host: 127.0.0.1:" + QByteArray::number(m_port) + "\r\n";
    if (!body.isEmpty())
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    send(head + "\r\n" + body);
    next(&response, timeoutMs);
    return response;
}

void HttpTestClient::send(const QByteArray &raw)
{
    m_socket.write(raw);
    m_socket.flush();
}

bool HttpTestClient::next(HttpResponse *response, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!takeResponse(response)) {
        if (!waitForData(deadline))
            return false;
    }
    return true;
}

QByteArray HttpTestClient::receive(int atLeast, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (m_buffer.size() < atLeast && waitForData(deadline)) {
    }
    return std::exchange(m_buffer, QByteArray());
}

bool HttpTestClient::waitClosed(int timeoutMs)
{
    if (m_socket.state() == QAbstractSocket::UnconnectedState)
        return true;
    return QSignalSpy(&m_socket, &QAbstractSocket::disconnected).wait(timeoutMs);
}

bool HttpTestClient::waitForFrames(int more, int timeoutMs)
{
    const int target = m_frames + more;
    const QDeadlineTimer deadline(timeoutMs);
    while (m_frames < target && waitForData(deadline)) {
    }
    return m_frames >= target;
}

void HttpTestClient::onReadyRead()
{
    m_buffer += m_socket.readAll();
    if (m_streaming)
        countFrames();
}

// Bytes the socket holds that no readyRead announced (they can come with
// the peer's close) count as data that arrived.
bool HttpTestClient::waitForData(const QDeadlineTimer &deadline)
{
    if (m_socket.bytesAvailable() > 0) {
        onReadyRead();
        return true;
    }
    if (deadline.hasExpired() || m_socket.state() != QAbstractSocket::ConnectedState)
        return false;
    return QSignalSpy(&m_socket, &QIODevice::readyRead).wait(int(deadline.remainingTime()));
}

// Takes one complete response off the front of the buffer. A multipart
// response without a length is a live stream: its head alone is taken, and
// its parts are counted from then on.
bool HttpTestClient::takeResponse(HttpResponse *response)
{
    const int headEnd = m_buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return false;
    QList<QByteArray> lines = m_buffer.left(headEnd).split('\n');
    HttpResponse r;
    r.statusLine = lines.takeFirst();
    if (r.statusLine.endsWith('\r'))
        r.statusLine.chop(1); // an empty reason phrase keeps the space before it
    r.status = r.statusLine.split(' ').value(1).toInt();
    for (const QByteArray &line : qAsConst(lines)) {
        const int colon = line.indexOf(':');
        r.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    const int bodyStart = headEnd + 4;
    int bodyEnd = bodyStart + r.header("Content-Length").toInt();
    const bool chunked = r.header("Transfer-Encoding").compare("chunked", Qt::CaseInsensitive) == 0;
    // A proxy may pass a stream on in chunks.
    const bool stream = r.header("Content-Length").isEmpty()
        && r.header("Content-Type").startsWith("multipart/x-mixed-replace");
    if (stream) {
        bodyEnd = bodyStart;
    } else if (chunked) {
        const int last = m_buffer.indexOf("\r\n0\r\n\r\n", headEnd);
        bodyEnd = last < 0 ? m_buffer.size() + 1 : last + 7;
    }
    if (bodyEnd > m_buffer.size())
        return false;
    r.body = m_buffer.mid(bodyStart, bodyEnd - bodyStart);
    m_buffer.remove(0, bodyEnd);
    *response = r;
    m_streaming = stream;
    if (stream)
        countFrames();
    return true;
}

// Counts markers as they arrive, keeping only a tail that may hold the
// start of the next one.
void HttpTestClient::countFrames()
{
    int at = 0;
    while ((at = m_buffer.indexOf(m_frameMarker, at)) >= 0) {
        ++m_frames;
        at += m_frameMarker.size();
    }
    m_buffer = m_buffer.right(m_frameMarker.size() - 1);
}
