#ifndef QTHTTPSERVER_H
#define QTHTTPSERVER_H

#include "QtHttpConstants.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

class QTcpSocket;
class QtHttpClientWrapper;
class QtHttpReply;
class QtHttpRequest;
class QtHttpServerWrapper;

// An embedded HTTP/1.1 server, plain or TLS. Every complete request is
// published through requestNeedsReply, whose handlers must fill the reply
// before they return. The server owns its connections and their requests.
class QtHttpServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(QtHttpServer)

public:
    explicit QtHttpServer(QObject *parent = nullptr);

    QString getServerName() const { return m_serverName; }
    quint16 getServerPort() const;
    QString getErrorString() const;

    // How long a started request may take to arrive in full, and how long a
    // connection may wait between requests (defaults 30 s and 120 s).
    void setTimeouts(int requestMs, int idleMs);
    int getRequestTimeout() const { return m_requestTimeout; }
    int getIdleTimeout() const { return m_idleTimeout; }

public slots:
    // Listens on every local address, IPv4 and IPv6; port 0 lets the system choose.
    void start(quint16 port = 0);
    // Stops listening; established connections keep being served.
    void stop();
    void setServerName(const QString &serverName) { m_serverName = serverName; }
    void setUseSecure(bool ssl = true);
    void setPrivateKey(const QSslKey &key) { m_sslKey = key; }
    void setCertificates(const QList<QSslCertificate> &certs) { m_sslCerts = certs; }

signals:
    void started(quint16 port);
    void stopped();
    void error(const QString &msg);
    void clientConnected(const QString &guid);
    // The connection's wrapper is released right after this signal.
    void clientDisconnected(const QString &guid);
    void requestNeedsReply(QtHttpRequest *request, QtHttpReply *reply);

private slots:
    void onClientConnected();
    void onClientDisconnected();

private:
    bool m_useSecure = false;
    QSslKey m_sslKey;
    QList<QSslCertificate> m_sslCerts;
    QString m_serverName = QString::fromLatin1(QtHttp::DEFAULT_SERVER_NAME);
    QtHttpServerWrapper *m_sockServer;
    QHash<QTcpSocket *, QtHttpClientWrapper *> m_socksClientsHash;
    int m_requestTimeout = QtHttp::REQUEST_TIMEOUT_MS;
    int m_idleTimeout = QtHttp::IDLE_TIMEOUT_MS;
};

#endif // QTHTTPSERVER_H
