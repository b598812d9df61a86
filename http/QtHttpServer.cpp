#include "QtHttpServer.h"

#include "QtHttpClientWrapper.h"
#include "QtHttpServerWrapper.h"

#include <QHostAddress>
#include <QSslSocket>

QtHttpServer::QtHttpServer(QObject *parent)
    : QObject(parent)
    , m_sockServer(new QtHttpServerWrapper(this))
{
    connect(m_sockServer, &QTcpServer::newConnection, this, &QtHttpServer::onClientConnected);
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
    if (m_sockServer->listen(QHostAddress::Any, port))
        emit started(m_sockServer->serverPort());
    else
        emit error(m_sockServer->errorString());
}

void QtHttpServer::stop()
{
    if (!m_sockServer->isListening())
        return;
    m_sockServer->close();
    emit stopped();
}

void QtHttpServer::setUseSecure(bool ssl)
{
    m_useSecure = ssl;
    m_sockServer->setUseSecure(ssl);
}

void QtHttpServer::onClientConnected()
{
    while (m_sockServer->hasPendingConnections()) {
        QTcpSocket *sock = m_sockServer->nextPendingConnection();
        if (!sock)
            continue;
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
}
