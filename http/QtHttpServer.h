#ifndef QTHTTPSERVER_H
#define QTHTTPSERVER_H

#include "QtHttpAddressCounts.h"
#include "QtHttpConstants.h"
#include "QtHttpMemoryBudget.h"
#include "QtHttpReply.h"
#include "QtHttpServerSettings.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <functional>

#include <memory>

class QTcpSocket;
class QtHttpTlsContext;
class QtHttpAccessGate;
class QtHttpClientWrapper;
class QtHttpRequest;
class QtHttpServerWrapper;

// An embedded HTTP/1.1 server, plain or TLS. Every complete request is
// published through requestNeedsReply, whose handlers must fill the reply
// before they return. The server owns its connections and their requests.
// It serves at most getMaxConnections() at once, at most
// getMaxConnectionsPerAddress() of one client address, none while the memory
// budget is spent and, when given allowed networks, only clients within
// them; any other connection gets a short refusal (503 or 403) and is closed
// before it costs more than its socket. Behind a trusted proxy, the client
// is the one the proxy names, and is checked request by request.
class QtHttpServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(QtHttpServer)

public:
    // A network as QHostAddress::parseSubnet gives it: address and prefix length.
    using Subnet = QPair<QHostAddress, int>;

    explicit QtHttpServer(QObject *parent = nullptr);
    ~QtHttpServer() override;

    QString getServerName() const { return m_serverName; }
    // The Date header of replies made now, formatted once per second.
    QByteArray getCurrentDate() const;
    quint16 getServerPort() const;
    QString getErrorString() const;

    // How long a started request may take to arrive in full, and how long a
    // connection may wait between requests (defaults 30 s and 120 s).
    void setTimeouts(int requestMs, int idleMs);
    int getRequestTimeout() const { return m_requestTimeout; }
    int getIdleTimeout() const { return m_idleTimeout; }

    // Defaults to QtHttp::MAX_CONNECTIONS.
    void setMaxConnections(int count) { m_maxConnections = count; }
    int getMaxConnections() const { return m_maxConnections; }
    int getConnectionCount() const { return m_socksClientsHash.size(); }
    // Connections and requests refused so far, for whatever reason.
    quint64 getRefusalCount() const { return m_refusals; }

    // An empty list (the default) lets every peer in. An IPv4 peer reaching
    // the dual-stack socket as an IPv4-mapped IPv6 address matches IPv4 networks.
    void setAllowedNetworks(const QList<Subnet> &networks) { m_allowedNetworks = networks; }
    QList<Subnet> getAllowedNetworks() const { return m_allowedNetworks; }
    bool isAllowed(const QHostAddress &peer) const;

    // Peers whose X-Forwarded-For and X-Forwarded-Proto are believed; they
    // are not held to the per-address cap, their clients are. Empty by default.
    void setTrustedProxies(const QList<Subnet> &networks) { m_trustedProxies = networks; }
    bool isTrustedProxy(const QHostAddress &peer) const;

    // Defaults to QtHttp::MAX_CONNECTIONS_PER_ADDRESS; set on the counts, so
    // for every server that shares them.
    void setMaxConnectionsPerAddress(int count) { m_addressCounts->setMaxPerAddress(count); }
    int getMaxConnectionsPerAddress() const { return m_addressCounts->getMaxPerAddress(); }

    // TLS, trusted proxies, the memory budget and the address counts at
    // once; before start().
    void apply(const QtHttpServerSettings &settings);

    // The connections per client address, shared with other servers; they
    // must outlive this server. Without them, the server counts its own.
    void setAddressCounts(QtHttpAddressCounts *counts) { m_addressCounts = counts; }
    QtHttpAddressCounts *getAddressCounts() const { return m_addressCounts; }

    // The budget shared with other servers; it must outlive this server.
    // Without one, the server keeps a budget of its own.
    void setMemoryBudget(QtHttpMemoryBudget *budget) { m_budget = budget; }
    QtHttpMemoryBudget *getMemoryBudget() const { return m_budget; }

    // Whether a request may be answered: from a client in the allowed
    // networks, and within the per-address cap. Otherwise the reply is made
    // the refusal, and the connection is to be closed after it.
    bool admitRequest(QtHttpClientWrapper *client, const QtHttpRequest *request, QtHttpReply *reply);

    // Sets the request's client address and security from the connection's
    // peer, or, from a trusted proxy, from what the proxy says: the nearest
    // address of X-Forwarded-For that is not itself a trusted proxy (a null
    // address when that entry is not an address), and X-Forwarded-Proto.
    void identifyClient(QtHttpRequest *request, const QHostAddress &peer, bool tls) const;

    // Consulted with every complete request before requestNeedsReply; not
    // owned, and must outlive the server. None (the default) passes all.
    void setAccessGate(QtHttpAccessGate *gate) { m_accessGate = gate; }
    QtHttpAccessGate *getAccessGate() const { return m_accessGate; }

    // Hands a line for each refusal signal below to log, as the service's
    // log says it; the library itself writes no log.
    void reportRefusals(const std::function<void(const QString &line)> &log);

    // An IPv4-mapped IPv6 address as the IPv4 address it stands for.
    static QHostAddress unmapped(const QHostAddress &address);

public slots:
    // Listens on every local address, IPv4 and IPv6; port 0 lets the system choose.
    void start(quint16 port = 0);
    // Stops listening; established connections keep being served.
    void stop();
    void setServerName(const QString &serverName) { m_serverName = serverName; }
    void setUseSecure(bool ssl = true);
    // The identity of TLS connections accepted afterwards. A secure server
    // whose identity cannot be used does not start, and refuses connections
    // if it had started with another.
    void setPrivateKey(const QSslKey &key);
    void setCertificates(const QList<QSslCertificate> &certs);

signals:
    void started(quint16 port);
    void stopped();
    void error(const QString &msg);
    void clientConnected(const QString &guid);
    // The connection's wrapper is released right after this signal.
    void clientDisconnected(const QString &guid);
    void requestNeedsReply(QtHttpRequest *request, QtHttpReply *reply);
    // A peer outside the allowed networks was answered 403 and closed.
    void clientForbidden(const QHostAddress &address);
    // A client address holding its cap of connections was refused one more.
    // Emitted at most once a minute for an address.
    void addressLimitReached(const QHostAddress &address, int maxConnections);
    // The memory budget was spent when a connection came; it got 503.
    // Emitted once per overload, like connectionLimitReached.
    void memoryBudgetReached(qint64 budget);
    // A connection was answered 503 because the server was full. Emitted once
    // per overload: again only after the count fell below nine tenths of the cap.
    void connectionLimitReached(int maxConnections);

private slots:
    void onClientConnected();
    void onClientDisconnected();

private:
    void refuse(QTcpSocket *sock, QtHttpReply::StatusCode code);
    bool refusesNewConnection(QTcpSocket *sock, const QHostAddress &peer);
    bool prepareTls(QString *error);
    bool startTls(QTcpSocket *sock);
    void reportAddressLimit(const QHostAddress &address);

    bool m_useSecure = false;
    QSslKey m_sslKey;
    QList<QSslCertificate> m_sslCerts;
    std::unique_ptr<QtHttpTlsContext> m_tlsContext; // made from the two above when needed
    QString m_serverName = QString::fromLatin1(QtHttp::DEFAULT_SERVER_NAME);
    QtHttpServerWrapper *m_sockServer;
    QHash<QTcpSocket *, QtHttpClientWrapper *> m_socksClientsHash;
    int m_requestTimeout = QtHttp::REQUEST_TIMEOUT_MS;
    int m_idleTimeout = QtHttp::IDLE_TIMEOUT_MS;
    int m_maxConnections = QtHttp::MAX_CONNECTIONS;
    bool m_limitReported = false;
    mutable qint64 m_dateSecond = -1;
    mutable QByteArray m_date;
    QList<Subnet> m_allowedNetworks;
    QList<Subnet> m_trustedProxies;
    std::unique_ptr<QtHttpAddressCounts> m_ownAddressCounts;
    QtHttpAddressCounts *m_addressCounts;
    bool m_budgetReported = false;
    std::unique_ptr<QtHttpMemoryBudget> m_ownBudget;
    QtHttpMemoryBudget *m_budget;
    QtHttpAccessGate *m_accessGate = nullptr;
    quint64 m_refusals = 0;
};

// For the clientForbidden signal, in spies and queued connections.
Q_DECLARE_METATYPE(QHostAddress)

#endif // QTHTTPSERVER_H
