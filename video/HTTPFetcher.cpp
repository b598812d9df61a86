#include "HTTPFetcher.h"

#include <QTcpSocket>
#include <QTimerEvent>
#include <QUrl>

#include <utility>

namespace {

QString socketErrorText(const QTcpSocket &socket, QAbstractSocket::SocketError socketError, const QString &host)
{
    switch (socketError) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("Connection refused");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("Host %1 not found").arg(host);
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("Connection closed");
    default:
        return socket.errorString();
    }
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

HTTPFetcher::HTTPFetcher(QObject *parent)
    : QObject(parent)
{
}

void HTTPFetcher::setCredentials(const QString &user, const QString &password)
{
    m_user = user;
    m_password = password;
    m_request.clear();
}

void HTTPFetcher::setUrl(const QString &url)
{
    m_url = url;
    m_request.clear();
}

void HTTPFetcher::setTransferTimeout(int milliseconds)
{
    m_transferTimeoutMs = milliseconds;
}

// Builds the request bytes once for every fetch of this URL; leaves them empty
// and says why in m_urlError when the URL cannot be fetched.
void HTTPFetcher::prepareRequest()
{
    const QUrl url(m_url, QUrl::TolerantMode);
    m_urlError.clear();
    if (url.scheme() != QLatin1String("http")) {
        m_urlError = QStringLiteral("Protocol \"%1\" is unknown").arg(url.scheme());
        return;
    }
    if (url.host().isEmpty()) {
        m_urlError = QStringLiteral("No host name in %1").arg(m_url);
        return;
    }
    m_host = url.host();
    m_port = quint16(url.port(80));

    QByteArray target = url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (!target.startsWith('/'))
        target.prepend('/');
    m_request = "GET " + target + " HTTP/1.1\r\nHost: "
        + url.adjusted(QUrl::RemoveUserInfo).authority(QUrl::FullyEncoded).toLatin1() + "\r\n";
    if (!m_user.isEmpty() || !m_password.isEmpty()) {
        // Sent up front: the peers we poll expect credentials on the first request.
        const QByteArray token = QString(m_user + QLatin1Char(':') + m_password).toLocal8Bit().toBase64();
        m_request += "Authorization: Basic " + token + "\r\n";
    }
    m_request += "Cache-Control: no-cache\r\n\r\n";
}

void HTTPFetcher::fetch()
{
    if (isFetching()) {
        ++m_queued;
        return;
    }
    start();
}

void HTTPFetcher::abort()
{
    int cancelled = std::exchange(m_queued, 0);
    if (m_stage != Stage::Idle) {
        ++cancelled;
        finish(false);
    }
    for (int i = 0; i < cancelled; ++i)
        emit error(QStringLiteral("Operation canceled"));
}

void HTTPFetcher::start()
{
    m_data.clear();
    m_retried = false;
    if (m_request.isEmpty())
        prepareRequest();
    if (!m_urlError.isEmpty()) {
        // Reported from the event loop like every other failure, so that
        // fetch() never calls back into its caller.
        dropConnection();
        m_stage = Stage::BadUrl;
        m_timer.start(0, this);
        return;
    }
    restartTimer();
    const bool reusable = m_socket && m_socket->state() == QAbstractSocket::ConnectedState
        && m_connectedHost == m_host && m_connectedPort == m_port;
    if (reusable) {
        m_reused = true;
        send();
    } else {
        openConnection();
    }
}

// A fresh socket per connection: the old one may be inside one of its own
// signals, so it is released by deferred deletion rather than reused.
void HTTPFetcher::openConnection()
{
    dropConnection();
    m_reused = false;
    m_connectedHost = m_host;
    m_connectedPort = m_port;
    m_stage = Stage::Connecting;
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::connected, this, &HTTPFetcher::onConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &HTTPFetcher::onReadyRead);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &HTTPFetcher::onSocketError);
    // Resolves the name asynchronously; any error may be reported from in here.
    m_socket->connectToHost(m_host, m_port);
}

void HTTPFetcher::dropConnection()
{
    if (!m_socket)
        return;
    m_socket->disconnect(this);
    m_socket->abort();
    m_socket->deleteLater();
    m_socket = nullptr;
}

void HTTPFetcher::send()
{
    m_stage = Stage::StatusLine;
    m_responseStarted = false;
    m_headerLines = 0;
    m_socket->write(m_request);
}

void HTTPFetcher::onConnected()
{
    if (m_stage == Stage::Connecting)
        send();
}

void HTTPFetcher::onReadyRead()
{
    if (m_stage == Stage::Idle) {
        // Nothing was asked: the peer and we disagree on where a response ends.
        dropConnection();
        return;
    }
    m_responseStarted = true;
    restartTimer();
    while (step()) {
    }
}

void HTTPFetcher::onSocketError(QAbstractSocket::SocketError socketError)
{
    if (m_stage == Stage::Idle) {
        dropConnection(); // an idle keep-alive connection the peer closed
        return;
    }
    if (socketError != QAbstractSocket::RemoteHostClosedError) {
        fail(socketErrorText(*m_socket, socketError, m_host));
        return;
    }
    if (m_stage == Stage::Body && m_framing == Framing::UntilClose) {
        complete();
        return;
    }
    // The peer may have closed an idle connection just as the request left.
    if (m_reused && !m_retried && !m_responseStarted) {
        m_retried = true;
        openConnection();
        return;
    }
    fail(socketErrorText(*m_socket, socketError, m_host));
}

void HTTPFetcher::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    if (m_stage == Stage::BadUrl)
        fail(m_urlError);
    else
        fail(QStringLiteral("No data from %1 for %2 ms").arg(m_url).arg(m_transferTimeoutMs));
}

void HTTPFetcher::restartTimer()
{
    if (m_transferTimeoutMs > 0)
        m_timer.start(m_transferTimeoutMs, this);
    else
        m_timer.stop();
}

// One step of reading the response; false once it needs more bytes or the
// fetch has ended.
bool HTTPFetcher::step()
{
    switch (m_stage) {
    case Stage::StatusLine:
    case Stage::Headers:
    case Stage::ChunkSize:
    case Stage::ChunkEnd:
    case Stage::Trailers: {
        QByteArray line;
        return readLine(&line) && handleLine(line);
    }
    case Stage::Body:
    case Stage::ChunkData:
        return readBody();
    default:
        return false;
    }
}

// A line without its line end; false while it is incomplete or once it has
// proved too long.
bool HTTPFetcher::readLine(QByteArray *line)
{
    if (!m_socket->canReadLine()) {
        if (m_socket->bytesAvailable() >= MaxLineBytes)
            return malformed(QStringLiteral("a line longer than %1 bytes").arg(MaxLineBytes));
        return false;
    }
    *line = m_socket->readLine(MaxLineBytes + 1);
    if (!line->endsWith('\n'))
        return malformed(QStringLiteral("a line longer than %1 bytes").arg(MaxLineBytes));
    line->chop(line->endsWith("\r\n") ? 2 : 1);
    return true;
}

bool HTTPFetcher::handleLine(const QByteArray &line)
{
    switch (m_stage) {
    case Stage::StatusLine:
        return parseStatusLine(line);
    case Stage::Headers:
        return line.isEmpty() ? beginBody() : parseHeaderLine(line);
    case Stage::ChunkSize:
        return parseChunkSize(line);
    case Stage::ChunkEnd:
        if (!line.isEmpty())
            return malformed(QStringLiteral("no line end after a chunk"));
        m_stage = Stage::ChunkSize;
        return true;
    case Stage::Trailers:
        if (line.isEmpty()) {
            complete();
            return false;
        }
        return countHeaderLine();
    default:
        return false;
    }
}

// The status line, interim answers, header and trailer lines all count
// against one bound.
bool HTTPFetcher::countHeaderLine()
{
    if (++m_headerLines > MaxHeaderLines)
        return malformed(QStringLiteral("more than %1 header lines").arg(MaxHeaderLines));
    return true;
}

// "HTTP/1.x SSS reason", the reason phrase optional.
bool HTTPFetcher::parseStatusLine(const QByteArray &line)
{
    if (!countHeaderLine())
        return false;
    const bool shaped = line.size() >= 12 && line.startsWith("HTTP/1.") && isDigit(line.at(7))
        && line.at(8) == ' ' && (line.size() == 12 || line.at(12) == ' ');
    bool ok = false;
    const int status = shaped ? line.mid(9, 3).toInt(&ok) : 0;
    if (!ok || status < 100)
        return malformed(QStringLiteral("a malformed status line"));
    m_status = status;
    m_reason = line.mid(13).trimmed();
    m_keepAlive = line.at(7) != '0';
    m_framing = Framing::UntilClose;
    m_stage = Stage::Headers;
    return true;
}

// Only the headers that frame the body or decide reuse matter here; lines
// that are not headers at all are passed over.
bool HTTPFetcher::parseHeaderLine(const QByteArray &line)
{
    if (!countHeaderLine())
        return false;
    const int colon = line.indexOf(':');
    if (colon <= 0)
        return true;
    const QByteArray name = line.left(colon).trimmed();
    const QByteArray value = line.mid(colon + 1).trimmed().toLower();
    if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
        bool ok = false;
        m_remaining = value.toLongLong(&ok);
        if (!ok || m_remaining < 0)
            return malformed(QStringLiteral("a malformed Content-Length"));
        if (m_framing != Framing::Chunked)
            m_framing = Framing::Length;
    } else if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
        if (value.endsWith("chunked"))
            m_framing = Framing::Chunked;
    } else if (name.compare("Connection", Qt::CaseInsensitive) == 0) {
        if (value.contains("close"))
            m_keepAlive = false;
        else if (value.contains("keep-alive"))
            m_keepAlive = true;
    }
    return true;
}

bool HTTPFetcher::beginBody()
{
    if (m_status / 100 == 1) {
        m_stage = Stage::StatusLine; // an interim answer: the real one follows
        return true;
    }
    if (m_status == 204 || m_status == 304) {
        m_framing = Framing::Length;
        m_remaining = 0;
    }
    switch (m_framing) {
    case Framing::Chunked:
        m_stage = Stage::ChunkSize;
        return true;
    case Framing::UntilClose:
        m_keepAlive = false;
        m_stage = Stage::Body;
        return true;
    case Framing::Length:
        break;
    }
    if (m_remaining > MaxBodyBytes)
        return tooLarge();
    if (m_remaining == 0) {
        complete();
        return false;
    }
    m_data.reserve(int(m_remaining));
    m_stage = Stage::Body;
    return true;
}

// "SIZE[;extensions]", the size in hex.
bool HTTPFetcher::parseChunkSize(const QByteArray &line)
{
    bool ok = false;
    // mid() with a length of -1 (no ';') takes the whole line.
    const qint64 size = line.mid(0, line.indexOf(';')).trimmed().toLongLong(&ok, 16);
    if (!ok || size < 0)
        return malformed(QStringLiteral("a malformed chunk size"));
    if (size == 0) {
        m_stage = Stage::Trailers;
        return true;
    }
    if (m_data.size() + size > MaxBodyBytes)
        return tooLarge();
    m_remaining = size;
    m_stage = Stage::ChunkData;
    return true;
}

// Reads body bytes straight from the socket into m_data.
bool HTTPFetcher::readBody()
{
    const qint64 available = m_socket->bytesAvailable();
    const qint64 wanted = m_framing == Framing::UntilClose ? available : qMin(available, m_remaining);
    if (wanted == 0)
        return false;
    if (m_data.size() + wanted > MaxBodyBytes)
        return tooLarge();
    const int start = m_data.size();
    m_data.resize(start + int(wanted));
    m_socket->read(m_data.data() + start, wanted);
    if (m_framing == Framing::UntilClose)
        return false;
    m_remaining -= wanted;
    if (m_remaining > 0)
        return false;
    if (m_stage == Stage::ChunkData) {
        m_stage = Stage::ChunkEnd;
        return true;
    }
    complete();
    return false;
}

bool HTTPFetcher::malformed(const QString &what)
{
    fail(QStringLiteral("Invalid response from %1: %2").arg(m_url, what));
    return false;
}

bool HTTPFetcher::tooLarge()
{
    fail(QStringLiteral("Response body larger than %1 bytes").arg(MaxBodyBytes));
    return false;
}

void HTTPFetcher::complete()
{
    // Bytes beyond the response mean the peer frames its answers otherwise
    // than we read them, so the connection is not reused.
    finish(m_keepAlive && m_socket->bytesAvailable() == 0);
    if (m_status / 100 == 2) {
        emit fetched();
    } else {
        const QString reason = m_reason.isEmpty() ? QString::number(m_status) : QString::fromLatin1(m_reason);
        emit error(QStringLiteral("Error transferring %1 - server replied: %2").arg(m_url, reason));
    }
    startQueued();
}

void HTTPFetcher::fail(const QString &msg)
{
    finish(false);
    emit error(msg);
    startQueued();
}

void HTTPFetcher::finish(bool keepConnection)
{
    m_timer.stop();
    m_stage = Stage::Idle;
    if (!keepConnection)
        dropConnection();
}

// A handler of the fetch that just ended may have started one itself.
void HTTPFetcher::startQueued()
{
    if (m_queued > 0 && m_stage == Stage::Idle) {
        --m_queued;
        start();
    }
}
