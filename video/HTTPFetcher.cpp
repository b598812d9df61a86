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

} // namespace

HTTPFetcher::HTTPFetcher(QObject *parent)
    : QObject(parent)
    , m_reader(QtHttpMessageParser::Kind::Response, {MaxLineBytes, MaxHeadBytes, MaxHeaderLines, MaxBodyBytes})
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
    m_stage = Stage::Receiving;
    m_responseStarted = false;
    m_reader.reset();
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
    m_reader.feed(m_socket->readAll());
    handle(m_reader.parse());
}

void HTTPFetcher::handle(QtHttpMessageParser::Status status)
{
    if (status == QtHttpMessageParser::Status::Complete)
        complete();
    else if (status == QtHttpMessageParser::Status::Error)
        fail(QStringLiteral("Invalid response from %1: %2").arg(m_url, m_reader.errorDetail()));
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
    // A response that runs until the close is whole now.
    if (m_stage == Stage::Receiving && m_reader.finishInput() == QtHttpMessageParser::Status::Complete) {
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

void HTTPFetcher::complete()
{
    const QtHttpMessageParser::Message response = m_reader.takeMessage();
    m_data = response.body;
    // Bytes beyond the response mean the peer frames its answers otherwise
    // than we read them, so the connection is not reused.
    finish(response.keepAlive && !m_reader.hasUnparsedInput() && m_socket->bytesAvailable() == 0);
    if (response.status / 100 == 2) {
        emit fetched();
    } else {
        const QString reason = response.reason.isEmpty() ? QString::number(response.status) : QString::fromLatin1(response.reason);
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
