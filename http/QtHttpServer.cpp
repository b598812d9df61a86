#include "QtHttpServer.h"

#include "QtHttpClientWrapper.h"
#include "QtHttpServerWrapper.h"

#include <QDateTime>
#include <QHostAddress>
#include <QSslSocket>
#include <QTimer>

namespace {

// A refusal costs one small write: status line, no body, and the close.
QByteArray refusal(QtHttpReply::StatusCode code, const QString &serverName)
{
    return QtHttp::HTTP_VERSION + ' ' + QByteArray::number(int(code)) + ' '
        + QtHttpReply::getStatusTextForCode(code) + QtHttp::CRLF
        + QtHttp::SERVER + ": " + serverName.toUtf8() + QtHttp::CRLF
        + QtHttp::CONTENT_LENGTH + ": 0" + QtHttp::CRLF
        + QtHttp::CONNECTION + ": close" + QtHttp::CRLF + QtHttp::CRLF;
}

} // namespace

QtHttpServer::QtHttpServer(QObject *parent)
    : QObject(parent)
    , m_sockServer(new QtHttpServerWrapper(this))
{
    connect(m_sockServer, &QTcpServer::newConnection, this, &QtHttpServer::onClientConnected);
}

QByteArray QtHttpServer::getCurrentDate() const
{
    const qint64 second = QDateTime::currentSecsSinceEpoch();
    if (second != m_dateSecond) {
        m_dateSecond = second;
        m_date = QtHttpReply::formatDate(QDateTime::fromSecsSinceEpoch(second, Qt::UTC));
    }
    return m_date;
}

quint16 QtHttpServer::getServerPort() const
{
    return m_sockServer->serverPort();
}

QString QtHttpServer::getErrorString() const
{
    return m_sockServer->errorString();
}

void QtHttpServer::setTimeouts(int requestMs, int idleMs)
{
    m_requestTimeout = requestMs;
    m_idleTimeout = idleMs;
}

void QtHttpServer::start(quint16 port)
{
    if (m_sockServer->startListening(QHostAddress::Any, port))
        emit started(m_sockServer->serverPort());
    else
        emit error(m_sockServer->errorString());
}

void QtHttpServer::stop()
{
    if (!m_sockServer->isListening())
        return;
    m_sockServer->stopListening();
    emit stopped();
}

QHostAddress QtHttpServer::unmapped(const QHostAddress &address)
{
    bool isMapped = false;
    const quint32 ipv4 = address.protocol() == QAbstractSocket::IPv6Protocol ? address.toIPv4Address(&isMapped) : 0;
    return isMapped ? QHostAddress(ipv4) : address;
}

void QtHttpServer::setUseSecure(bool ssl)
{
    m_useSecure = ssl;
    m_sockServer->setUseSecure(ssl);
}

bool QtHttpServer::isAllowed(const QHostAddress &peer) const
{
    if (m_allowedNetworks.isEmpty())
        return true;
    const QHostAddress address = unmapped(peer);
    for (const Subnet &network : m_allowedNetworks) {
        if (address.isInSubnet(network))
            return true;
    }
    return false;
}

void QtHttpServer::onClientConnected()
{
    while (m_sockServer->hasPendingConnections()) {
        QTcpSocket *sock = m_sockServer->nextPendingConnection();
        if (!sock)
            continue;
        if (!isAllowed(sock->peerAddress())) {
            emit clientForbidden(unmapped(sock->peerAddress()));
            refuse(sock, QtHttpReply::Forbidden);
            continue;
        }
        if (m_socksClientsHash.size() >= m_maxConnections) {
            if (!m_limitReported)
                emit connectionLimitReached(m_maxConnections);
            m_limitReported = true;
            refuse(sock, QtHttpReply::ServiceUnavailable);
            continue;
        }
        connect(sock, &QAbstractSocket::disconnected, this, &QtHttpServer::onClientDisconnected);
        QSslSocket *ssl = m_useSecure ? qobject_cast<QSslSocket *>(sock) : nullptr;
        if (ssl) {
            ssl->setLocalCertificateChain(m_sslCerts);
            ssl->setPrivateKey(m_sslKey);
            // Asks the peer for a certificate without requiring one.
            ssl->setPeerVerifyMode(QSslSocket::AutoVerifyPeer);
            ssl->startServerEncryption();
        }
        QtHttpClientWrapper *wrapper = new QtHttpClientWrapper(sock, this);
        m_socksClientsHash.insert(sock, wrapper);
        emit clientConnected(wrapper->getGuid());
    }
}

void QtHttpServer::onClientDisconnected()
{
    QTcpSocket *sock = qobject_cast<QTcpSocket *>(sender());
    QtHttpClientWrapper *wrapper = m_socksClientsHash.take(sock);
    if (!wrapper)
        return;
    emit clientDisconnected(wrapper->getGuid());
    // Deferred, so that handlers of clientDisconnected may still use the wrapper.
    wrapper->deleteLater();
    sock->deleteLater();
    if (m_socksClientsHash.size() < m_maxConnections - m_maxConnections / 10)
        m_limitReported = false;
}

// Refused connections never get a wrapper: nothing of theirs is read, and a
// TLS peer, which could not read a plain answer, is cut without one.
void QtHttpServer::refuse(QTcpSocket *sock, QtHttpReply::StatusCode code)
{
    connect(sock, &QAbstractSocket::disconnected, sock, &QObject::deleteLater);
    if (m_useSecure) {
        sock->abort();
    } else {
        sock->write(refusal(code, m_serverName));
        sock->disconnectFromHost();
    }
    if (sock->state() == QAbstractSocket::UnconnectedState) {
        sock->deleteLater();
        return;
    }
    // A peer that takes not even these few bytes must not keep the socket.
    QTimer::singleShot(m_requestTimeout, sock, [sock] {
        sock->abort();
        sock->deleteLater();
    });
}
