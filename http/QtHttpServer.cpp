#include "QtHttpServer.h"

#include "QtHttpClientWrapper.h"
#include "QtHttpRequest.h"
#include "QtHttpServerWrapper.h"
#include "QtHttpTlsContext.h"
#include "QtHttpTlsSocket.h"

#include <QDateTime>
#include <QHostAddress>
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

bool inAny(const QHostAddress &address, const QList<QtHttpServer::Subnet> &networks)
{
    for (const QtHttpServer::Subnet &network : networks) {
        if (address.isInSubnet(network))
            return true;
    }
    return false;
}

// The last element of a comma-separated list.
QByteArray lastOf(const QByteArray &list)
{
    return list.mid(list.lastIndexOf(',') + 1).trimmed();
}

} // namespace

QtHttpServer::QtHttpServer(QObject *parent)
    : QObject(parent)
    , m_sockServer(new QtHttpServerWrapper(this))
    , m_ownAddressCounts(std::make_unique<QtHttpAddressCounts>())
    , m_addressCounts(m_ownAddressCounts.get())
    , m_ownBudget(std::make_unique<QtHttpMemoryBudget>())
    , m_budget(m_ownBudget.get())
{
    connect(m_sockServer, &QTcpServer::newConnection, this, &QtHttpServer::onClientConnected);
}

// The connections go first: they leave the budget and the address counts
// as they go, and either may be one of this server's members.
QtHttpServer::~QtHttpServer()
{
    qDeleteAll(findChildren<QtHttpClientWrapper *>(QString(), Qt::FindDirectChildrenOnly));
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
    QString tlsError;
    if (!prepareTls(&tlsError)) {
        emit error(tlsError);
        return;
    }
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

void QtHttpServer::reportRefusals(const std::function<void(const QString &line)> &log)
{
    connect(this, &QtHttpServer::clientForbidden, this, [this, log](const QHostAddress &address) {
        log(QStringLiteral("Refused client %1 on port %2: not in an allowed network").arg(address.toString()).arg(getServerPort()));
    });
    connect(this, &QtHttpServer::connectionLimitReached, this, [this, log](int maxConnections) {
        log(QStringLiteral("Refusing clients on port %1: %2 connections open").arg(getServerPort()).arg(maxConnections));
    });
    connect(this, &QtHttpServer::addressLimitReached, this, [this, log](const QHostAddress &address, int maxConnections) {
        log(QStringLiteral("Refusing client %1 on port %2: %3 connections open from it").arg(address.toString()).arg(getServerPort()).arg(maxConnections));
    });
    connect(this, &QtHttpServer::memoryBudgetReached, this, [this, log](qint64 budget) {
        log(QStringLiteral("Refusing clients on port %1: the memory budget of %2 bytes is spent").arg(getServerPort()).arg(budget));
    });
}

QHostAddress QtHttpServer::unmapped(const QHostAddress &address)
{
    bool isMapped = false;
    const quint32 ipv4 = address.protocol() == QAbstractSocket::IPv6Protocol ? address.toIPv4Address(&isMapped) : 0;
    return isMapped ? QHostAddress(ipv4) : address;
}

void QtHttpServer::apply(const QtHttpServerSettings &settings)
{
    setUseSecure(!settings.tls.isNull());
    setCertificates(settings.tls.chain());
    setPrivateKey(settings.tls.privateKey());
    setTrustedProxies(settings.trustedProxies);
    setMemoryBudget(settings.memoryBudget ? settings.memoryBudget : m_ownBudget.get());
    setAddressCounts(settings.addressCounts ? settings.addressCounts : m_ownAddressCounts.get());
}

void QtHttpServer::setUseSecure(bool ssl)
{
    m_useSecure = ssl;
    m_sockServer->setUseSecure(ssl);
}

void QtHttpServer::setPrivateKey(const QSslKey &key)
{
    m_sslKey = key;
    m_tlsContext.reset();
}

void QtHttpServer::setCertificates(const QList<QSslCertificate> &certs)
{
    m_sslCerts = certs;
    m_tlsContext.reset();
}

// The shared TLS context, made once for the current identity.
bool QtHttpServer::prepareTls(QString *error)
{
    if (!m_useSecure || m_tlsContext)
        return true;
    m_tlsContext = QtHttpTlsContext::create(m_sslCerts, m_sslKey, error);
    return m_tlsContext != nullptr;
}

bool QtHttpServer::startTls(QTcpSocket *sock)
{
    QString unused;
    auto *tls = qobject_cast<QtHttpTlsSocket *>(sock);
    return tls && prepareTls(&unused) && tls->startServerEncryption(m_tlsContext->handle());
}

bool QtHttpServer::isAllowed(const QHostAddress &peer) const
{
    return m_allowedNetworks.isEmpty() || inAny(unmapped(peer), m_allowedNetworks);
}

bool QtHttpServer::isTrustedProxy(const QHostAddress &peer) const
{
    return inAny(unmapped(peer), m_trustedProxies);
}

void QtHttpServer::identifyClient(QtHttpRequest *request, const QHostAddress &peer, bool tls) const
{
    request->setClientAddress(peer);
    request->setSecure(tls);
    if (!isTrustedProxy(peer))
        return;
    const QByteArray proto = request->getHeader(QtHttp::X_FORWARDED_PROTO);
    if (!proto.isEmpty())
        request->setSecure(lastOf(proto).compare("https", Qt::CaseInsensitive) == 0);
    QList<QByteArray> chain = request->getHeader(QtHttp::X_FORWARDED_FOR).split(',');
    while (!chain.isEmpty()) {
        const QByteArray entry = chain.takeLast().trimmed();
        if (entry.isEmpty() && chain.isEmpty())
            break;
        const QHostAddress address(QString::fromLatin1(entry));
        // What a proxy cannot name is no one we could check: the null
        // address, outside every allowed network.
        request->setClientAddress(address.isNull() ? QHostAddress() : unmapped(address));
        if (address.isNull() || !isTrustedProxy(address))
            break;
    }
}

bool QtHttpServer::admitRequest(QtHttpClientWrapper *client, const QtHttpRequest *request, QtHttpReply *reply)
{
    const QHostAddress address = request->getClientAddress();
    if (m_addressCounts->isCountedUnder(client, address))
        return true; // a direct client, checked when it connected
    // A client named by a trusted proxy: checked now, as a direct one is
    // when it connects.
    if (!isAllowed(address)) {
        emit clientForbidden(address);
        ++m_refusals;
        reply->setStatusCode(QtHttpReply::Forbidden);
        reply->addHeader(QtHttp::CONNECTION, QByteArrayLiteral("close"));
        return false;
    }
    if (isTrustedProxy(address)) {
        m_addressCounts->release(client);
        return true;
    }
    if (!m_addressCounts->take(client, address)) {
        reportAddressLimit(address);
        ++m_refusals;
        reply->setStatusCode(QtHttpReply::ServiceUnavailable);
        reply->addHeader(QtHttp::CONNECTION, QByteArrayLiteral("close"));
        return false;
    }
    return true;
}

void QtHttpServer::reportAddressLimit(const QHostAddress &address)
{
    if (m_addressCounts->shouldReport(address))
        emit addressLimitReached(address, m_addressCounts->getMaxPerAddress());
}

// The checks a connection meets before it gets a wrapper; a refused one is
// answered and closed.
bool QtHttpServer::refusesNewConnection(QTcpSocket *sock, const QHostAddress &peer)
{
    const bool proxy = isTrustedProxy(peer);
    if (!proxy && !isAllowed(peer)) {
        emit clientForbidden(peer);
        refuse(sock, QtHttpReply::Forbidden);
        return true;
    }
    if (m_socksClientsHash.size() >= m_maxConnections) {
        if (!m_limitReported)
            emit connectionLimitReached(m_maxConnections);
        m_limitReported = true;
        refuse(sock, QtHttpReply::ServiceUnavailable);
        return true;
    }
    if (m_budget->isExceeded()) {
        if (!m_budgetReported)
            emit memoryBudgetReached(m_budget->getLimit());
        m_budgetReported = true;
        refuse(sock, QtHttpReply::ServiceUnavailable);
        return true;
    }
    m_budgetReported = false;
    if (!proxy && m_addressCounts->isFull(peer)) {
        reportAddressLimit(peer);
        refuse(sock, QtHttpReply::ServiceUnavailable);
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
        const QHostAddress peer = unmapped(sock->peerAddress());
        if (refusesNewConnection(sock, peer))
            continue;
        // Never plain on a secure server: a connection TLS cannot start on is cut.
        if (m_useSecure && !startTls(sock)) {
            refuse(sock, QtHttpReply::ServiceUnavailable);
            continue;
        }
        connect(sock, &QAbstractSocket::disconnected, this, &QtHttpServer::onClientDisconnected);
        QtHttpClientWrapper *wrapper = new QtHttpClientWrapper(sock, this);
        m_socksClientsHash.insert(sock, wrapper);
        if (!isTrustedProxy(peer))
            m_addressCounts->take(wrapper, peer);
        emit clientConnected(wrapper->getGuid());
    }
}

void QtHttpServer::onClientDisconnected()
{
    QTcpSocket *sock = qobject_cast<QTcpSocket *>(sender());
    QtHttpClientWrapper *wrapper = m_socksClientsHash.take(sock);
    if (!wrapper)
        return;
    m_addressCounts->release(wrapper);
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
    ++m_refusals;
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
