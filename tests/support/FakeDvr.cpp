#include "FakeDvr.h"

#include "QtHttpConstants.h"
#include "QtHttpReply.h"
#include "QtHttpRequest.h"
#include "QtHttpServer.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <sys/socket.h>

FakeDvr::FakeDvr(QObject *parent)
    : QObject(parent)
{
    startHttpServer();
    m_port = m_server->getServerPort();
}

FakeDvr::~FakeDvr() = default;

quint16 FakeDvr::port() const
{
    return m_port;
}

void FakeDvr::setMode(Mode mode)
{
    const bool wasRaw = isRaw(m_mode);
    m_mode = mode;
    if (wasRaw == isRaw(mode))
        return;
    // Deleting a server closes the connections it accepted.
    if (isRaw(mode)) {
        delete m_server;
        m_server = nullptr;
        m_rawServer = new QTcpServer(this);
        connect(m_rawServer, &QTcpServer::newConnection, this, &FakeDvr::onRawConnection);
        m_rawServer->listen(QHostAddress::Any, m_port);
    } else {
        delete m_rawServer;
        m_rawServer = nullptr;
        startHttpServer();
    }
}

void FakeDvr::startHttpServer()
{
    m_server = new QtHttpServer(this);
    m_server->setServerName(QStringLiteral("FakeDvr"));
    connect(m_server, &QtHttpServer::requestNeedsReply, this, &FakeDvr::onRequestNeedsReply);
    m_server->start(m_port);
}

void FakeDvr::setCredentials(const QString &user, const QString &password)
{
    m_expectedAuthorization.clear();
    if (!user.isEmpty() || !password.isEmpty())
        m_expectedAuthorization = "Basic " + QString(user + QLatin1Char(':') + password).toUtf8().toBase64();
}

void FakeDvr::onRequestNeedsReply(QtHttpRequest *request, QtHttpReply *reply)
{
    m_lastHeaders.clear();
    for (const QByteArray &name : request->getHeadersList())
        m_lastHeaders.insert(name, request->getHeader(name));
    const QUrl url = request->getUrl();
    record(url);
    const QString path = url.path();

    if (m_mode == Mode::Hang) {
        reply->setUseBoundary(true);
        return;
    }
    if (m_mode == Mode::Fail) {
        reply->setStatusCode(QtHttpReply::StatusCode(m_failStatus));
        reply->appendRawData("failing on purpose");
        return;
    }
    if (!authorized(request)) {
        reply->setStatusCode(QtHttpReply::StatusCode(401));
        reply->addHeader("WWW-Authenticate", "Basic realm=\"FakeDvr\"");
        return;
    }

    static const QRegularExpression snapshotPath(QStringLiteral("^/snapshot\\d+\\.jpg$"));
    if (snapshotPath.match(path).hasMatch()) {
        reply->addHeader("Content-Type", "image/jpeg");
        reply->appendRawData(nextSnapshot(path));
    } else if (path == QLatin1String("/alarm.htm")) {
        reply->addHeader("Content-Type", "text/html");
        reply->appendRawData(m_alarmPage);
    } else {
        reply->setStatusCode(QtHttpReply::NotFound);
    }
}

void FakeDvr::onRawConnection()
{
    while (QTcpSocket *socket = m_rawServer->nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { answerRaw(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void FakeDvr::record(const QUrl &url)
{
    m_paths.append(url.path());
    m_queries.append(url.query(QUrl::FullyEncoded));
    emit requestReceived(url.path());
}

// Waits for the request line, records its target, then breaks the exchange.
void FakeDvr::answerRaw(QTcpSocket *socket)
{
    if (!socket->canReadLine() || socket->property("answered").toBool())
        return;
    socket->setProperty("answered", true);
    m_lastHeaders.clear();
    const QList<QByteArray> requestLine = socket->readLine().trimmed().split(' ');
    record(QUrl(QString::fromLatin1(requestLine.value(1))));

    if (m_mode == Mode::Reset) {
        // A zero linger time makes the close send RST instead of FIN.
        const linger reset = {1, 0};
        ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        socket->abort();
        return;
    }
    static const char garbage[] = "\x16\x03\x01 no status line \xff\xfe\x00\r\n\r\n";
    socket->write(QByteArray(garbage, sizeof garbage - 1) + QByteArray(512, '\x7f'));
    socket->disconnectFromHost();
}

bool FakeDvr::authorized(const QtHttpRequest *request) const
{
    return m_expectedAuthorization.isEmpty()
        || request->getHeader("Authorization") == m_expectedAuthorization;
}

QByteArray FakeDvr::nextSnapshot(const QString &path)
{
    QByteArray body = "JPEG " + path.toUtf8() + " #" + QByteArray::number(m_snapshots.size() + 1);
    if (body.size() < m_snapshotSize)
        body.append(m_snapshotSize - body.size(), 'x');
    m_snapshots.append(body + QtHttp::CRLF);
    return body;
}
