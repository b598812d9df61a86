#ifndef QTHTTPREPLY_H
#define QTHTTPREPLY_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>

class QDateTime;
class QtHttpServer;

// The answer to one request. It leaves the connection in one of three ways:
// plain (one block with a Content-Length), chunked (the handler emits
// requestSendHeaders once and requestSendData per piece), or boundary mode,
// where the connection writes nothing and the handler writes the whole
// response itself with QtHttpClientWrapper::sendToClient. The reply lives
// only for the requestNeedsReply emission.
class QtHttpReply : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(QtHttpReply)

public:
    enum StatusCode {
        Ok = 200,
        SeeOther = 303,
        BadRequest = 400,
        Unauthorized = 401,
        Forbidden = 403,
        NotFound = 404,
        MethodNotAllowed = 405,
        MisdirectedRequest = 421,
        TooManyRequests = 429,
        InternalError = 500,
        NotImplemented = 501,
        BadGateway = 502,
        ServiceUnavailable = 503,
    };
    Q_ENUM(StatusCode)

    // The server, which may be null, becomes the parent and names the reply's
    // "Server" header.
    explicit QtHttpReply(QtHttpServer *parent);

    StatusCode getStatusCode() const { return StatusCode(m_statusCode); }
    QByteArray getRawData() const { return m_data; }
    int getRawDataSize() const { return m_data.size(); }
    bool useChunked() const { return m_useChunked; }
    bool useBoundary() const { return m_useBoundary; }
    QByteArray getHeader(const QByteArray &header) const { return m_headersHash.value(header); }
    QList<QByteArray> getHeadersList() const { return m_headersHash.keys(); }

    // The reason phrase written after the code; empty for codes without one.
    static QByteArray getStatusTextForCode(StatusCode statusCode);
    // A Date header value: "Wed, 09 Dec 2026 05:22:15 UTC".
    static QByteArray formatDate(const QDateTime &utc);

public slots:
    void setUseChunked(bool chunked = false) { m_useChunked = chunked; }
    void setStatusCode(StatusCode statusCode) { m_statusCode = statusCode; }
    void appendRawData(const QByteArray &data) { m_data.append(data); }
    // The name is trimmed and an empty one ignored; a present name gets the new value.
    void addHeader(const QByteArray &header, const QByteArray &value);
    void resetRawData() { m_data.clear(); }
    void setUseBoundary(bool boundary = false) { m_useBoundary = boundary; }

signals:
    void requestSendHeaders();
    void requestSendData();

private:
    bool m_useChunked = false;
    int m_statusCode = Ok;
    QByteArray m_data;
    QHash<QByteArray, QByteArray> m_headersHash;
    bool m_useBoundary = false;
};

#endif // QTHTTPREPLY_H
