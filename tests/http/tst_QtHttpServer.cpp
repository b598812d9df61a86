#include "QtHttpAccessGate.h"
#include "QtHttpClientWrapper.h"
#include "QtHttpConstants.h"
#include "QtHttpReply.h"
#include "QtHttpRequest.h"
#include "QtHttpServer.h"

#include <QSslKey>
#include <QSslSocket>
#include <QtTest>

#include <functional>

namespace {

const QByteArray GET = "GET / HTTP/1.1\r\n\r\n";
const QByteArray ERROR_BODY = "<h1>Bad Request (HTTP parsing error) !</h1>\r\n\r\n";

struct Response
{
    QByteArray statusLine;
    QHash<QByteArray, QByteArray> headers;
    QByteArray body; // chunk framing included
};

// Takes one complete response off the front of the buffer.
bool takeResponse(QByteArray &buffer, Response *response)
{
    const int headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return false;
    QList<QByteArray> lines = buffer.left(headEnd + 2).split('\n');
    lines.removeLast();
    Response r;
    r.statusLine = lines.takeFirst().chopped(1);
    for (const QByteArray &line : qAsConst(lines)) {
        const int colon = line.indexOf(": ");
        r.headers.insert(line.left(colon), line.mid(colon + 2).chopped(1));
    }
    const int bodyStart = headEnd + 4;
    int bodyEnd = bodyStart + r.headers.value("Content-Length").toInt();
    if (r.headers.value("Transfer-Encoding") == "chunked") {
        bodyEnd = buffer.indexOf("\r\n0\r\n\r\n", headEnd + 2);
        bodyEnd = bodyEnd < 0 ? buffer.size() + 1 : bodyEnd + 7;
    }
    if (bodyEnd > buffer.size())
        return false;
    r.body = buffer.mid(bodyStart, bodyEnd - bodyStart);
    buffer.remove(0, bodyEnd);
    *response = r;
    return true;
}

template<typename Socket>
class Client : public Socket
{
public:
    bool connectTo(quint16 port, const QHostAddress &address = QHostAddress(QHostAddress::LocalHost))
    {
        this->connectToHost(address, port);
        return this->waitForConnected(5000);
    }

    bool next(Response *response, int timeoutMs = 5000)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            m_buffer += this->readAll();
            if (takeResponse(m_buffer, response))
                return true;
            QSignalSpy readyRead(this, &QIODevice::readyRead);
            if (deadline.hasExpired() || !readyRead.wait(int(deadline.remainingTime())))
                return false;
        }
    }

    // Bytes that arrive within the time, without looking for responses.
    QByteArray receive(int count, int timeoutMs = 5000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (m_buffer.size() < count && !deadline.hasExpired()) {
            QSignalSpy readyRead(this, &QIODevice::readyRead);
            readyRead.wait(int(deadline.remainingTime()));
            m_buffer += this->readAll();
        }
        return std::exchange(m_buffer, QByteArray());
    }

    bool isClosed(int timeoutMs = 5000)
    {
        if (this->state() == QAbstractSocket::UnconnectedState)
            return true;
        QSignalSpy disconnected(this, &QAbstractSocket::disconnected);
        return disconnected.wait(timeoutMs);
    }

    QByteArray m_buffer;
};

using TcpClient = Client<QTcpSocket>;

// Passes "/pass", answers "/answer" itself with 401, and holds "/hold"
// until told to let it pass.
class TestGate : public QtHttpAccessGate
{
public:
    Decision decide(QtHttpRequest *request, QtHttpReply *reply) override
    {
        const QString path = request->getUrl().path();
        if (path == QLatin1String("/answer")) {
            reply->setStatusCode(QtHttpReply::Unauthorized);
            return Answer;
        }
        if (path == QLatin1String("/hold") && held != request) {
            held = request;
            return Hold;
        }
        return Pass;
    }

    QPointer<QtHttpRequest> held;
};

void verifyBadRequest(const Response &r)
{
    QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 400 Bad request !"));
    QCOMPARE(r.headers.value("Content-Length"), QByteArray("47"));
    QCOMPARE(r.body, ERROR_BODY);
}

} // namespace

class TestQtHttpServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void untouchedReply();
    void plainReply_data();
    void plainReply();
    void chunkedReply();
    void boundaryReply();
    void incompleteRequestReleased();
    void parsingErrors_data();
    void parsingErrors();
    void lowercaseContentLength();
    void pipelinedInOrder();
    void splitLines();
    void boundsCloseTheConnection_data();
    void boundsCloseTheConnection();
    void requestTimeout();
    void idleTimeout();
    void connectionClose_data();
    void connectionClose();
    void startAndStop();
    void guids();
    void serverName();
    void peerThatDoesNotRead();
    void tls();
    void connectionCap();
    void allowedNetworks_data();
    void allowedNetworks();
    void mappedPeersMatchIpv4Networks();
    void accessGate();

private:
    void handle(std::function<void(QtHttpRequest *, QtHttpReply *)> handler)
    {
        connect(m_server, &QtHttpServer::requestNeedsReply, this, handler);
    }

    QtHttpServer *m_server = nullptr;
    quint16 m_port = 0;
};

void TestQtHttpServer::init()
{
    m_server = new QtHttpServer;
    m_server->setTimeouts(5000, 5000);
    m_server->start();
    m_port = m_server->getServerPort();
    QVERIFY(m_port != 0);
}

void TestQtHttpServer::cleanup()
{
    delete m_server;
}

void TestQtHttpServer::untouchedReply()
{
    TcpClient client;
    QVERIFY(client.connectTo(m_port));
    for (int i = 0; i < 2; ++i) {
        client.write(GET);
        Response r;
        QVERIFY(client.next(&r));
        QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 200 OK."));
        QCOMPARE(r.headers.keys().size(), 3);
        QCOMPARE(r.headers.value("Server"), QByteArray("The Qt5 HTTP Server"));
        QVERIFY(r.headers.value("Date").endsWith(" UTC"));
        QCOMPARE(r.headers.value("Content-Length"), QByteArray("2"));
        QCOMPARE(r.body, QByteArray("\r\n"));
    }
}

void TestQtHttpServer::plainReply_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("statusLine");
    QTest::newRow("404") << 404 << QByteArray("HTTP/1.1 404 Not found !");
    QTest::newRow("500 has an empty phrase") << 500 << QByteArray("HTTP/1.1 500 ");
}

void TestQtHttpServer::plainReply()
{
    QFETCH(int, code);
    QFETCH(QByteArray, statusLine);
    handle([code](QtHttpRequest *, QtHttpReply *reply) {
        reply->setStatusCode(QtHttpReply::StatusCode(code));
        reply->addHeader(QtHttp::CONTENT_TYPE, "text/plain");
        reply->appendRawData("hello");
    });
    TcpClient client;
    QVERIFY(client.connectTo(m_port));
    client.write(GET);
    Response r;
    QVERIFY(client.next(&r));
    QCOMPARE(r.statusLine, statusLine);
    QCOMPARE(r.headers.value("Content-Type"), QByteArray("text/plain"));
    QCOMPARE(r.headers.value("Content-Length"), QByteArray("7"));
    QCOMPARE(r.body, QByteArray("hello\r\n"));
}

void TestQtHttpServer::chunkedReply()
{
    handle([](QtHttpRequest *, QtHttpReply *reply) {
        reply->setUseChunked(true);
        emit reply->requestSendHeaders();
        for (const QByteArray &piece : { QByteArray("first"), QByteArray(26, 'x'), QByteArray("third") }) {
            reply->appendRawData(piece);
            emit reply->requestSendData();
        }
    });
    TcpClient client;
    QVERIFY(client.connectTo(m_port));
    client.write(GET);
    Response r;
    QVERIFY(client.next(&r));
    QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 200 OK."));
    QCOMPARE(r.headers.value("Transfer-Encoding"), QByteArray("chunked"));
    QVERIFY(!r.headers.contains("Content-Length"));
    QCOMPARE(r.body, "5\r\nfirst\r\n1a\r\n" + QByteArray(26, 'x') + "\r\n5\r\nthird\r\n0\r\n\r\n");
}

// A connection taken over by its handler gets only what the handler writes,
// stays open whatever it asked for, is never timed out, and keeps its request
// alive until it ends.
void TestQtHttpServer::boundaryReply()
{
    m_server->setTimeouts(100, 100);
    QPointer<QtHttpClientWrapper> stream;
    QPointer<QtHttpRequest> request;
    handle([&](QtHttpRequest *req, QtHttpReply *reply) {
        reply->setUseBoundary(true);
        reply->setUseChunked(true);
        reply->appendRawData("ignored");
        stream = req->getClientHandle();
        request = req;
        stream->sendToClient("head;");
    });
    TcpClient client;
    QVERIFY(client.connectTo(m_port));
    client.write("GET / HTTP/1.1\r\nConnection: close\r\n\r\n");
    QCOMPARE(client.receive(5), QByteArray("head;"));
    QTest::qWait(400); // several time-outs
    QVERIFY(stream);
    stream->sendToClient("part");
    QCOMPARE(client.receive(4), QByteArray("part"));
    QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
    QVERIFY(request);

    client.disconnectFromHost();
    QTRY_VERIFY(!request);
    QTRY_VERIFY(!stream);
}

void TestQtHttpServer::incompleteRequestReleased()
{
    TcpClient client;
    QVERIFY(client.connectTo(m_port));
    client.write("GET / HTTP/1.1\r\nHost: x\r\n");
    QTRY_COMPARE(m_server->findChildren<QtHttpRequest *>().size(), 1);
    client.disconnectFromHost();
    QTRY_COMPARE(m_server->findChildren<QtHttpRequest *>().size(), 0);
}

void TestQtHttpServer::parsingErrors_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("warning");
    QTest::newRow("two words") << QByteArray("GET /\r\n\r\n") << QByteArray();
    QTest::newRow("four words") << QByteArray("GET / x HTTP/1.1\r\n\r\n") << QByteArray();
    QTest::newRow("HTTP/1.0") << QByteArray("GET / HTTP/1.0\r\n\r\n") << QByteArray();
    QTest::newRow("empty line") << QByteArray("\r\n") << QByteArray();
    QTest::newRow("no colon") << QByteArray("GET / HTTP/1.1\r\nHost\r\n\r\n") << QByteArray("\"Host\"");
    QTest::newRow("leading colon") << QByteArray("GET / HTTP/1.1\r\n: x\r\n\r\n") << QByteArray("\": x\"");
}

// A malformed request gets the error page; the connection goes on serving.
void TestQtHttpServer::parsingErrors()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, warning);
    int handled = 0;
    handle([&](QtHttpRequest *, QtHttpReply *) { ++handled; });
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, "Error : incorrect HTTP headers line : " + warning);
    TcpClient client;
    QVERIFY(client.connectTo(m_port));
    client.write(input);
    Response r;
    QVERIFY(client.next(&r));
    verifyBadRequest(r);
    QCOMPARE(handled, 0);
    client.write(GET);
    QVERIFY(client.next(&r));
    QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 200 OK."));
}

void TestQtHttpServer::lowercaseContentLength()
{
    QByteArray body = "unread";
    handle([&](QtHttpRequest *request, QtHttpReply *) { body = request->getRawData(); });
    TcpClient client;
    QVERIFY(client.connectTo(m_port));
    client.write("POST / HTTP/1.1\r\ncontent-length: 5\r\n\r\nabc\r\n");
    Response r;
    QVERIFY(client.next(&r));
    QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 200 OK."));
    QCOMPARE(body, QByteArray());
    QVERIFY(client.next(&r));
    verifyBadRequest(r);
}

void TestQtHttpServer::pipelinedInOrder()
{
    handle([](QtHttpRequest *request, QtHttpReply *reply) {
        reply->appendRawData(request->getUrl().path().toUtf8() + ' ' + request->getRawData());
    });
    TcpClient client;
    QVERIFY(client.connectTo(m_port));
    client.write("GET /one HTTP/1.1\r\n\r\n"
                 "POST /two HTTP/1.1\r\nContent-Length: 007\r\n\r\nabcdefg"
                 "GET /three HTTP/1.1\r\n\r\n");
    for (const char *expected : { "/one \r\n", "/two abcdefg\r\n", "/three \r\n" }) {
        Response r;
        QVERIFY(client.next(&r));
        QCOMPARE(r.body, expected);
    }
}

void TestQtHttpServer::splitLines()
{
    QByteArray host;
    handle([&](QtHttpRequest *request, QtHttpReply *) { host = request->getHeader("Host"); });
    TcpClient client;
    QVERIFY(client.connectTo(m_port));
    for (const char *piece : { "GET /sp", "lit HTTP/1.1\r\nHo", "st: some", "where\r", "\n\r\n" }) {
        client.write(piece);
        QTest::qWait(30); // lets each piece arrive in a read of its own
    }
    Response r;
    QVERIFY(client.next(&r));
    QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 200 OK."));
    QCOMPARE(host, QByteArray("somewhere"));
}

void TestQtHttpServer::boundsCloseTheConnection_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::newRow("long request line") << "GET /" + QByteArray(9000, 'a') + " HTTP/1.1\r\n\r\n";
    QTest::newRow("endless line") << QByteArray(200000, 'a');
    QByteArray many = "GET / HTTP/1.1\r\n";
    for (int i = 0; i <= QtHttp::MAX_HEADER_LINES; ++i)
        many += "X-" + QByteArray::number(i) + ": v\r\n";
    QTest::newRow("too many headers") << many + "\r\n";
    QTest::newRow("large body") << "POST / HTTP/1.1\r\nContent-Length: " + QByteArray::number(QtHttp::MAX_BODY_SIZE + 1) + "\r\n\r\nabc";
}

void TestQtHttpServer::boundsCloseTheConnection()
{
    QFETCH(QByteArray, input);
    TcpClient client;
    QVERIFY(client.connectTo(m_port));
    client.write(input);
    Response r;
    QVERIFY(client.next(&r));
    verifyBadRequest(r);
    QVERIFY(client.isClosed());
}

// Trickling header lines does not keep a request alive past its time-out.
void TestQtHttpServer::requestTimeout()
{
    m_server->setTimeouts(300, 60000);
    TcpClient client;
    QVERIFY(client.connectTo(m_port));
    client.write("GET / HTTP/1.1\r\n");
    int lines = 0;
    for (; lines < 40 && client.state() == QAbstractSocket::ConnectedState; ++lines) {
        client.write("X: y\r\n");
        QTest::qWait(50);
    }
    QVERIFY2(lines < 40, "closed only once the trickle stopped");
    Response r;
    QVERIFY(client.next(&r));
    verifyBadRequest(r);
    QVERIFY(client.isClosed());
}

void TestQtHttpServer::idleTimeout()
{
    m_server->setTimeouts(60000, 300);
    TcpClient client;
    QVERIFY(client.connectTo(m_port));
    client.write(GET);
    Response r;
    QVERIFY(client.next(&r));
    QVERIFY(client.isClosed());
    QCOMPARE(client.readAll(), QByteArray());
}

void TestQtHttpServer::connectionClose_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("closes");
    QTest::newRow("close") << QByteArray("GET / HTTP/1.1\r\nConnection: close\r\n\r\n") << true;
    QTest::newRow("CLOSE") << QByteArray("GET / HTTP/1.1\r\nConnection: CLOSE\r\n\r\n") << true;
    QTest::newRow("keep-alive") << QByteArray("GET / HTTP/1.1\r\nConnection: keep-alive\r\n\r\n") << false;
    QTest::newRow("none") << GET << false;
    QTest::newRow("close on a bad request")
        << QByteArray("GET / HTTP/1.1\r\nConnection: Close\r\nbad\r\n\r\n") << true;
}

void TestQtHttpServer::connectionClose()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, closes);
    if (input.contains("bad"))
        QTest::ignoreMessage(QtWarningMsg, "Error : incorrect HTTP headers line : \"bad\"");
    TcpClient client;
    QVERIFY(client.connectTo(m_port));
    client.write(input);
    Response r;
    QVERIFY(client.next(&r));
    if (closes) {
        QVERIFY(client.isClosed());
    } else {
        client.write(GET);
        QVERIFY(client.next(&r));
    }
}

void TestQtHttpServer::startAndStop()
{
    QtHttpServer other;
    QSignalSpy started(&other, &QtHttpServer::started);
    QSignalSpy error(&other, &QtHttpServer::error);
    other.start(m_port);
    QCOMPARE(started.count(), 0);
    QCOMPARE(error.count(), 1);
    QVERIFY(!error.at(0).at(0).toString().isEmpty());
    other.start();
    QCOMPARE(started.count(), 1);
    QCOMPARE(started.at(0).at(0).value<quint16>(), other.getServerPort());

    QSignalSpy connected(m_server, &QtHttpServer::clientConnected);
    TcpClient client;
    QVERIFY(client.connectTo(m_port));
    QVERIFY(connected.wait());
    QSignalSpy stopped(m_server, &QtHttpServer::stopped);
    m_server->stop();
    m_server->stop();
    QCOMPARE(stopped.count(), 1);
    client.write(GET);
    Response r;
    QVERIFY(client.next(&r));
    QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 200 OK."));
}

void TestQtHttpServer::guids()
{
    QSignalSpy connected(m_server, &QtHttpServer::clientConnected);
    QSignalSpy disconnected(m_server, &QtHttpServer::clientDisconnected);
    QStringList handled;
    handle([&](QtHttpRequest *request, QtHttpReply *) {
        QCOMPARE(connected.count(), handled.size() + 1);
        handled << request->getClientHandle()->getGuid();
    });
    for (int i = 0; i < 2; ++i) {
        TcpClient client;
        QVERIFY(client.connectTo(m_port));
        client.write(GET);
        Response r;
        QVERIFY(client.next(&r));
        client.disconnectFromHost();
        QTRY_COMPARE(disconnected.count(), i + 1);
    }
    QCOMPARE(handled.size(), 2);
    QVERIFY(handled.at(0) != handled.at(1));
    for (int i = 0; i < 2; ++i) {
        QVERIFY(QRegularExpression("^[0-9a-f]{32}$").match(handled.at(i)).hasMatch());
        QCOMPARE(connected.at(i).at(0).toString(), handled.at(i));
        QCOMPARE(disconnected.at(i).at(0).toString(), handled.at(i));
    }
}

void TestQtHttpServer::serverName()
{
    m_server->setServerName("VideoServer");
    TcpClient client;
    QVERIFY(client.connectTo(m_port));
    client.write(GET);
    Response r;
    QVERIFY(client.next(&r));
    QCOMPARE(r.headers.value("Server"), QByteArray("VideoServer"));
}

// A peer that sends requests without reading the replies is answered only
// while its replies are taken, then in full once it reads.
void TestQtHttpServer::peerThatDoesNotRead()
{
    const int requests = 64;
    int handled = 0;
    handle([&](QtHttpRequest *, QtHttpReply *reply) {
        ++handled;
        reply->appendRawData(QByteArray(512 * 1024, 'x'));
    });
    TcpClient client;
    client.setReadBufferSize(4096);
    QVERIFY(client.connectTo(m_port));
    for (int i = 0; i < requests; ++i)
        client.write(GET);
    QTest::qWait(300); // nothing to wait on: the server must stay stalled
    QVERIFY2(handled < requests, QByteArray::number(handled).constData());
    client.setReadBufferSize(0);
    for (int i = 0; i < requests; ++i) {
        Response r;
        QVERIFY(client.next(&r));
    }
    QCOMPARE(handled, requests);
}

void TestQtHttpServer::tls()
{
    QFile keyFile(QFINDTESTDATA("test-key.pem"));
    QFile certFile(QFINDTESTDATA("test-cert.pem"));
    QVERIFY(keyFile.open(QIODevice::ReadOnly));
    QVERIFY(certFile.open(QIODevice::ReadOnly));
    const QSslKey key(keyFile.readAll(), QSsl::Ec);
    const QList<QSslCertificate> certs = QSslCertificate::fromData(certFile.readAll());
    QVERIFY(!key.isNull());
    QCOMPARE(certs.size(), 1);

    QtHttpServer server;
    server.setUseSecure();
    server.setPrivateKey(key);
    server.setCertificates(certs);
    server.start();

    Client<QSslSocket> client;
    QSslConfiguration config = client.sslConfiguration();
    config.setCaCertificates(certs);
    client.setSslConfiguration(config);
    QSignalSpy encrypted(&client, &QSslSocket::encrypted);
    client.connectToHostEncrypted("localhost", server.getServerPort());
    QVERIFY(encrypted.wait(5000));
    client.write(GET);
    Response r;
    QVERIFY(client.next(&r));
    QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 200 OK."));
    QCOMPARE(r.body, QByteArray("\r\n"));
}

// Connections over the cap are answered at once and closed; those being
// served are not disturbed, and a freed place is taken again.
void TestQtHttpServer::connectionCap()
{
    const QByteArray refusal = "HTTP/1.1 503 \r\nServer: The Qt5 HTTP Server\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    m_server->setMaxConnections(2);
    QSignalSpy limit(m_server, &QtHttpServer::connectionLimitReached);
    TcpClient first;
    TcpClient second;
    QVERIFY(first.connectTo(m_port));
    QVERIFY(second.connectTo(m_port));
    QTRY_COMPARE(m_server->getConnectionCount(), 2);
    for (int i = 0; i < 3; ++i) {
        TcpClient over;
        QVERIFY(over.connectTo(m_port));
        over.write(GET);
        QCOMPARE(over.receive(refusal.size()), refusal);
        QVERIFY(over.isClosed());
    }
    QCOMPARE(limit.count(), 1);
    QCOMPARE(limit.at(0).at(0).toInt(), 2);
    QCOMPARE(m_server->getConnectionCount(), 2);

    first.write(GET);
    Response r;
    QVERIFY(first.next(&r));
    QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 200 OK."));
    second.disconnectFromHost();
    QTRY_COMPARE(m_server->getConnectionCount(), 1);
    TcpClient next;
    QVERIFY(next.connectTo(m_port));
    next.write(GET);
    QVERIFY(next.next(&r));
    QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 200 OK."));
}

void TestQtHttpServer::allowedNetworks_data()
{
    QTest::addColumn<QStringList>("networks");
    QTest::addColumn<QString>("peer");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("no list") << QStringList() << "127.0.0.1" << true;
    QTest::newRow("IPv4 peer, one of its networks") << QStringList({"10.0.0.0/8", "127.0.0.0/8"}) << "127.0.0.1" << true;
    QTest::newRow("IPv4 peer, other network") << QStringList({"10.0.0.0/8"}) << "127.0.0.1" << false;
    QTest::newRow("IPv4 peer, IPv6 network") << QStringList({"::/0"}) << "127.0.0.1" << false;
    QTest::newRow("IPv6 peer, its network") << QStringList({"::1/128"}) << "::1" << true;
    QTest::newRow("IPv6 peer, IPv4 network") << QStringList({"127.0.0.0/8"}) << "::1" << false;
}

void TestQtHttpServer::allowedNetworks()
{
    QFETCH(QStringList, networks);
    QFETCH(QString, peer);
    QFETCH(bool, allowed);
    QList<QtHttpServer::Subnet> subnets;
    for (const QString &network : qAsConst(networks))
        subnets.append(QHostAddress::parseSubnet(network));
    m_server->setAllowedNetworks(subnets);
    qRegisterMetaType<QHostAddress>();
    QSignalSpy forbidden(m_server, &QtHttpServer::clientForbidden);
    int handled = 0;
    handle([&](QtHttpRequest *, QtHttpReply *) { ++handled; });

    TcpClient client;
    if (!client.connectTo(m_port, QHostAddress(peer)))
        QSKIP("no such loopback address here");
    client.write(GET);
    if (allowed) {
        Response r;
        QVERIFY(client.next(&r));
        QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 200 OK."));
        QCOMPARE(forbidden.count(), 0);
        return;
    }
    const QByteArray refusal = "HTTP/1.1 403 Forbidden !\r\nServer: The Qt5 HTTP Server\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    QCOMPARE(client.receive(refusal.size()), refusal);
    QVERIFY(client.isClosed());
    QCOMPARE(forbidden.count(), 1);
    QCOMPARE(forbidden.at(0).at(0).value<QHostAddress>(), QHostAddress(peer));
    QCOMPARE(handled, 0);
    QCOMPARE(m_server->getConnectionCount(), 0);
}

void TestQtHttpServer::mappedPeersMatchIpv4Networks()
{
    m_server->setAllowedNetworks({QHostAddress::parseSubnet("10.0.0.0/8")});
    QVERIFY(m_server->isAllowed(QHostAddress("::ffff:10.1.2.3")));
    QVERIFY(m_server->isAllowed(QHostAddress("10.1.2.3")));
    QVERIFY(!m_server->isAllowed(QHostAddress("::ffff:11.1.2.3")));
    QVERIFY(!m_server->isAllowed(QHostAddress("::10.1.2.3")));
}

int runServerTests(int argc, char **argv)
{
    TestQtHttpServer test;
    return QTest::qExec(&test, argc, argv);
}


// The gate answers or holds requests before any handler sees them; a held
// request stops the connection's input until the gate resumes it, so
// pipelined requests keep their order; a request held by a connection that
// goes away is released with it.
void TestQtHttpServer::accessGate()
{
    TestGate gate;
    m_server->setAccessGate(&gate);
    QStringList handled;
    handle([&handled](QtHttpRequest *request, QtHttpReply *reply) {
        handled.append(request->getUrl().path());
        reply->appendRawData(request->getUrl().path().toUtf8());
    });
    TcpClient client;
    QVERIFY(client.connectTo(m_port));
    client.write("GET /hold HTTP/1.1\r\n\r\nGET /answer HTTP/1.1\r\n\r\nGET /pass HTTP/1.1\r\n\r\n");
    QTRY_VERIFY(gate.held);
    QVERIFY(client.receive(1, 200).isEmpty());

    gate.held->getClientHandle()->resumeHeldRequest();
    const QList<QByteArray> expected = {"HTTP/1.1 200 OK.", "HTTP/1.1 401 ", "HTTP/1.1 200 OK."};
    for (const QByteArray &statusLine : expected) {
        Response r;
        QVERIFY(client.next(&r));
        QCOMPARE(r.statusLine, statusLine);
    }
    QCOMPARE(handled, QStringList({"/hold", "/pass"}));

    client.write("GET /hold HTTP/1.1\r\n\r\n");
    QTRY_VERIFY(gate.held);
    client.abort();
    QTRY_VERIFY(!gate.held);
}

#include "tst_QtHttpServer.moc"
