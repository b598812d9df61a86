#ifndef QTHTTPREQUEST_H
#define QTHTTPREQUEST_H

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

class QtHttpClientWrapper;
class QtHttpServer;

// One request received on a connection: method, target, headers and body.
class QtHttpRequest : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(QtHttpRequest)

public:
    // The server, which may be null, becomes the parent.
    QtHttpRequest(QtHttpClientWrapper *client, QtHttpServer *parent);

    QUrl getUrl() const { return m_url; }
    QString getCommand() const { return m_command; }
    QByteArray getRawData() const { return m_data; }
    int getRawDataSize() const { return m_data.size(); }
    QtHttpClientWrapper *getClientHandle() const { return m_clientHandle; }
    // Empty when the header is absent. Names are case-sensitive.
    QByteArray getHeader(const QByteArray &header) const { return m_headersHash.value(header); }
    QList<QByteArray> getHeadersList() const { return m_headersHash.keys(); }
    // The client that sent the request (an IPv4 peer as IPv4, never as an
    // IPv4-mapped IPv6 address), and whether it came over TLS. Whatever needs
    // either asks the request, never the socket.
    QHostAddress getClientAddress() const { return m_clientAddress; }
    bool isSecure() const { return m_secure; }

public slots:
    void setUrl(const QUrl &url) { m_url = url; }
    void setCommand(const QString &command) { m_command = command; }
    // The name is trimmed and an empty one ignored; a present name gets the new value.
    void addHeader(const QByteArray &header, const QByteArray &value);
    void appendRawData(const QByteArray &data) { m_data.append(data); }
    void setClientAddress(const QHostAddress &address) { m_clientAddress = address; }
    void setSecure(bool secure) { m_secure = secure; }

private:
    QUrl m_url;
    QString m_command;
    QByteArray m_data;
    QtHttpClientWrapper *m_clientHandle;
    QHash<QByteArray, QByteArray> m_headersHash;
    QHostAddress m_clientAddress;
    bool m_secure = false;
};

#endif // QTHTTPREQUEST_H
