#ifndef HTTPTESTCLIENT_H
#define HTTPTESTCLIENT_H

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSslSocket>

// One response as it came off the wire; the body keeps any chunk framing.
struct HttpResponse
{
    int status = 0; // 0: no complete response came in time
    QByteArray statusLine;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    // The first header of that name, whatever its case; empty when absent.
    QByteArray header(const QByteArray &name) const;
};

// The one HTTP client of the tests: a kept-alive connection to a loopback
// port, plain or TLS, that sends requests or raw bytes and reads responses
// or, for a live stream, counts its parts. Every wait keeps the event loop
// turning, so servers of the test's own process go on serving.
class HttpTestClient : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpTestClient)

public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    explicit HttpTestClient(quint16 port, QObject *parent = nullptr);

    // TLS with certificate verification off; set before the first request.
    void setTls(bool tls) { m_tls = tls; }
    // The server's address (default 127.0.0.1), and the address to connect
    // from (default: the system's choice); set before the first request.
    void setAddress(const QHostAddress &address) { m_address = address; }
    void setLocalAddress(const QHostAddress &address) { m_localAddress = address; }
    bool open(int timeoutMs = 5000);

    HttpResponse get(const QByteArray &path, const Headers &headers = {}, int timeoutMs = 5000);
    // Adds "Host: 127.0.0.1:<port>" unless given, and a Content-Length when
    // there is a body, then waits for the response.
    HttpResponse request(const QByteArray &method, const QByteArray &path, const Headers &headers = {},
                         const QByteArray &body = {}, int timeoutMs = 5000);

    void send(const QByteArray &raw);
    // The next response off the stream; false when none is complete in time.
    bool next(HttpResponse *response, int timeoutMs = 5000);
    // What has arrived once at least that many bytes have, or the time is up.
    QByteArray receive(int atLeast, int timeoutMs = 5000);
    bool waitClosed(int timeoutMs = 5000);

    // Parts of a live stream received since its head: the times the marker
    // came, by default each part's boundary. Set before the request.
    void setFrameMarker(const QByteArray &marker) { m_frameMarker = marker; }
    int frames() const { return m_frames; }
    bool waitForFrames(int more, int timeoutMs = 10000);

    QSslSocket *socket() { return &m_socket; }

private:
    void onReadyRead();
    bool waitForData(const QDeadlineTimer &deadline);
    bool takeResponse(HttpResponse *response);
    void countFrames();

    QSslSocket m_socket;
    quint16 m_port;
    QHostAddress m_address = QHostAddress(QHostAddress::LocalHost);
    QHostAddress m_localAddress;
    bool m_tls = false;
    bool m_streaming = false; // the last response was a live stream's head
    QByteArray m_buffer;
    QByteArray m_frameMarker = QByteArrayLiteral("--endofsection");
    int m_frames = 0;
};

#endif // HTTPTESTCLIENT_H
