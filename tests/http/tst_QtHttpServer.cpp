#include "HttpTestClient.h"
#include "QtHttpAccessGate.h"
#include "QtHttpClientWrapper.h"
#include "QtHttpConstants.h"
#include "QtHttpMemoryBudget.h"
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

bool readTestIdentity(QSslKey *key, QList<QSslCertificate> *certs)
{
    QFile keyFile(QFINDTESTDATA("test-key.pem"));
    QFile certFile(QFINDTESTDATA("test-cert.pem"));
    if (!keyFile.open(QIODevice::ReadOnly) || !certFile.open(QIODevice::ReadOnly))
        return false;
    *key = QSslKey(keyFile.readAll(), QSsl::Ec);
    *certs = QSslCertificate::fromData(certFile.readAll());
    return !key->isNull() && certs->size() == 1;
}

// Turns the server to TLS for the connections that follow.
bool useTls(QtHttpServer *server)
{
    QSslKey key;
    QList<QSslCertificate> certs;
    if (!readTestIdentity(&key, &certs))
        return false;
    server->setUseSecure();
    server->setPrivateKey(key);
    server->setCertificates(certs);
    return true;
}

void verifyBadRequest(const HttpResponse &r)
{
    QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 400 Bad request !"));
    QCOMPARE(r.header("Content-Length"), QByteArray("47"));
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
    void smuggledRequests_data();
    void smuggledRequests();
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
    void peerThatDoesNotRead_data();
    void peerThatDoesNotRead();
    void tls_data();
    void tls();
    void tlsDropCutsAtOnce();
    void tlsWithoutIdentity();
    void connectionCap();
    void allowedNetworks_data();
    void allowedNetworks();
    void mappedPeersMatchIpv4Networks();
    void addressCap();
    void memoryBudgetClosesTheLargest();
    void pipelinersTakeTurns();
    void forwardedClients_data();
    void forwardedClients();
    void proxiedClientsCheckedPerRequest();
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
    HttpTestClient client(m_port);
    QVERIFY(client.open());
    for (int i = 0; i < 2; ++i) {
        client.send(GET);
        HttpResponse r;
        QVERIFY(client.next(&r));
        QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 200 OK."));
        QCOMPARE(r.headers.size(), 3);
        QCOMPARE(r.header("Server"), QByteArray("The Qt5 HTTP Server"));
        QVERIFY(r.header("Date").endsWith(" UTC"));
        QCOMPARE(r.header("Content-Length"), QByteArray("2"));
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
    HttpTestClient client(m_port);
    QVERIFY(client.open());
    client.send(GET);
    HttpResponse r;
    QVERIFY(client.next(&r));
    QCOMPARE(r.statusLine, statusLine);
    QCOMPARE(r.header("Content-Type"), QByteArray("text/plain"));
    QCOMPARE(r.header("Content-Length"), QByteArray("7"));
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
    HttpTestClient client(m_port);
    QVERIFY(client.open());
    client.send(GET);
    HttpResponse r;
    QVERIFY(client.next(&r));
    QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 200 OK."));
    QCOMPARE(r.header("Transfer-Encoding"), QByteArray("chunked"));
    QVERIFY(r.header("Content-Length").isEmpty());
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
    HttpTestClient client(m_port);
    QVERIFY(client.open());
    client.send("GET / HTTP/1.1\r\nConnection: close\r\n\r\n");
    QCOMPARE(client.receive(5), QByteArray("head;"));
    QTest::qWait(400); // several time-outs
    QVERIFY(stream);
    stream->sendToClient("part");
    QCOMPARE(client.receive(4), QByteArray("part"));
    QCOMPARE(client.socket()->state(), QAbstractSocket::ConnectedState);
    QVERIFY(request);

    client.socket()->disconnectFromHost();
    QTRY_VERIFY(!request);
    QTRY_VERIFY(!stream);
}

// What an unfinished request holds is counted against the budget until its
// connection ends.
void TestQtHttpServer::incompleteRequestReleased()
{
    HttpTestClient client(m_port);
    QVERIFY(client.open());
    client.send("GET / HTTP/1.1\r\nHost: x\r\n");
    QTRY_VERIFY(m_server->getMemoryBudget()->getHeld() >= 25);
    client.socket()->disconnectFromHost();
    QTRY_COMPARE(m_server->getMemoryBudget()->getHeld(), qint64(0));
    QTRY_COMPARE(m_server->findChildren<QtHttpClientWrapper *>().size(), 0);
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
    QTest::newRow("blank before the colon") << QByteArray("GET / HTTP/1.1\r\nHost : x\r\n\r\n") << QByteArray();
    QTest::newRow("folded line") << QByteArray("GET / HTTP/1.1\r\nX-A: a\r\n b\r\n\r\n") << QByteArray();
    QTest::newRow("NUL byte") << "GET / HTTP/1.1\r\nX-A: " + QByteArray(1, '\0') + "\r\n\r\n" << QByteArray();
    QTest::newRow("bare carriage return") << QByteArray("GET / HTTP/1.1\r\nX-A: a\rb\r\n\r\n") << QByteArray();
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
    HttpTestClient client(m_port);
    QVERIFY(client.open());
    client.send(input);
    HttpResponse r;
    QVERIFY(client.next(&r));
    verifyBadRequest(r);
    QCOMPARE(handled, 0);
    client.send(GET);
    QVERIFY(client.next(&r));
    QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 200 OK."));
}

// A body that is itself a request is never run as one: either the length
// frames it, or the connection ends with the refusal.
void TestQtHttpServer::smuggledRequests_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("status");
    const QByteArray length = QByteArray::number(GET.size());
    QTest::newRow("length in lower case") << "content-length: " + length + "\r\n" << 200;
    QTest::newRow("length in upper case") << "CONTENT-LENGTH: " + length + "\r\n" << 200;
    QTest::newRow("a list of lengths") << "Content-Length: " + length + ", " + length + "\r\n" << 400;
    QTest::newRow("two lengths") << "Content-Length: 0\r\nContent-Length: " + length + "\r\n" << 400;
    QTest::newRow("a negative length") << QByteArray("Content-Length: -1\r\n") << 400;
    QTest::newRow("chunked") << QByteArray("Transfer-Encoding: chunked\r\n") << 501;
    QTest::newRow("length beside chunked") << "Content-Length: " + length + "\r\nTransfer-Encoding: chunked\r\n" << 501;
}

void TestQtHttpServer::smuggledRequests()
{
    QFETCH(QByteArray, head);
    QFETCH(int, status);
    QList<QByteArray> bodies;
    handle([&](QtHttpRequest *request, QtHttpReply *) { bodies << request->getRawData(); });
    HttpTestClient client(m_port);
    QVERIFY(client.open());
    client.send("POST / HTTP/1.1\r\n" + head + "\r\n" + GET);
    HttpResponse r;
    QVERIFY(client.next(&r));
    QCOMPARE(r.status, status);
    if (status == 200) {
        QCOMPARE(bodies, QList<QByteArray>{GET});
        QCOMPARE(client.get("/").status, 200);
        return;
    }
    QVERIFY(client.waitClosed());
    QVERIFY(bodies.isEmpty());
}

void TestQtHttpServer::pipelinedInOrder()
{
    handle([](QtHttpRequest *request, QtHttpReply *reply) {
        reply->appendRawData(request->getUrl().path().toUtf8() + ' ' + request->getRawData());
    });
    HttpTestClient client(m_port);
    QVERIFY(client.open());
    client.send("GET /one HTTP/1.1\r\n\r\n"
                 "POST /two HTTP/1.1\r\nContent-Length: 007\r\n\r\nabcdefg"
                 "GET /three HTTP/1.1\r\n\r\n");
    for (const char *expected : { "/one \r\n", "/two abcdefg\r\n", "/three \r\n" }) {
        HttpResponse r;
        QVERIFY(client.next(&r));
        QCOMPARE(r.body, expected);
    }
}

void TestQtHttpServer::splitLines()
{
    QByteArray host;
    handle([&](QtHttpRequest *request, QtHttpReply *) { host = request->getHeader("Host"); });
    HttpTestClient client(m_port);
    QVERIFY(client.open());
    for (const char *piece : { "GET /sp", "lit HTTP/1.1\r\nHo", "st: some", "where\r", "\n\r\n" }) {
        client.send(piece);
        QTest::qWait(30); // lets each piece arrive in a read of its own
    }
    HttpResponse r;
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
    HttpTestClient client(m_port);
    QVERIFY(client.open());
    client.send(input);
    HttpResponse r;
    QVERIFY(client.next(&r));
    verifyBadRequest(r);
    QVERIFY(client.waitClosed());
}

// Trickling header lines does not keep a request alive past its time-out.
void TestQtHttpServer::requestTimeout()
{
    m_server->setTimeouts(300, 60000);
    HttpTestClient client(m_port);
    QVERIFY(client.open());
    client.send("GET / HTTP/1.1\r\n");
    int lines = 0;
    for (; lines < 40 && client.socket()->state() == QAbstractSocket::ConnectedState; ++lines) {
        client.send("X: y\r\n");
        QTest::qWait(50);
    }
    QVERIFY2(lines < 40, "closed only once the trickle stopped");
    HttpResponse r;
    QVERIFY(client.next(&r));
    verifyBadRequest(r);
    QVERIFY(client.waitClosed());
}

void TestQtHttpServer::idleTimeout()
{
    m_server->setTimeouts(60000, 300);
    HttpTestClient client(m_port);
    QVERIFY(client.open());
    client.send(GET);
    HttpResponse r;
    QVERIFY(client.next(&r));
    QVERIFY(client.waitClosed());
    QCOMPARE(client.receive(0), QByteArray());
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
    HttpTestClient client(m_port);
    QVERIFY(client.open());
    client.send(input);
    HttpResponse r;
    QVERIFY(client.next(&r));
    if (closes) {
        QVERIFY(client.waitClosed());
    } else {
        client.send(GET);
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
    HttpTestClient client(m_port);
    QVERIFY(client.open());
    QTRY_COMPARE(connected.count(), 1);
    QSignalSpy stopped(m_server, &QtHttpServer::stopped);
    m_server->stop();
    m_server->stop();
    QCOMPARE(stopped.count(), 1);
    client.send(GET);
    HttpResponse r;
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
        HttpTestClient client(m_port);
        QVERIFY(client.open());
        client.send(GET);
        HttpResponse r;
        QVERIFY(client.next(&r));
        client.socket()->disconnectFromHost();
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
    HttpTestClient client(m_port);
    QVERIFY(client.open());
    client.send(GET);
    HttpResponse r;
    QVERIFY(client.next(&r));
    QCOMPARE(r.header("Server"), QByteArray("VideoServer"));
}

// A peer that sends requests without reading the replies is answered only
// while its replies are taken, then in full once it reads.
void TestQtHttpServer::peerThatDoesNotRead_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("plain") << false;
    QTest::newRow("tls") << true;
}

void TestQtHttpServer::peerThatDoesNotRead()
{
    QFETCH(bool, tls);
    QVERIFY(!tls || useTls(m_server));
    const int requests = 64;
    int handled = 0;
    handle([&](QtHttpRequest *, QtHttpReply *reply) {
        ++handled;
        reply->appendRawData(QByteArray(512 * 1024, 'x'));
    });
    HttpTestClient client(m_port);
    client.setTls(tls);
    client.socket()->setReadBufferSize(4096);
    QVERIFY(client.open());
    client.socket()->blockSignals(true); // nothing is read
    for (int i = 0; i < requests; ++i)
        client.send(GET);
    QTest::qWait(300); // nothing to wait on: the server must stay stalled
    QVERIFY2(handled < requests, QByteArray::number(handled).constData());
    client.socket()->blockSignals(false);
    client.socket()->setReadBufferSize(0);
    for (int i = 0; i < requests; ++i) {
        HttpResponse r;
        QVERIFY(client.next(&r));
    }
    QCOMPARE(handled, requests);
}

// Requests and replies larger than the socket buffers go through in full,
// on a kept connection and before a requested close alike; a plain request
// gets nothing.
void TestQtHttpServer::tls_data()
{
    QTest::addColumn<int>("requestSize");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("close");
    QTest::newRow("small") << 0 << 0 << false;
    QTest::newRow("large request") << 1000 * 1000 << 0 << false;
    QTest::newRow("large, kept alive") << 0 << 8 * 1024 * 1024 << false;
    QTest::newRow("large, then closed") << 0 << 8 * 1024 * 1024 << true;
}

void TestQtHttpServer::tls()
{
    QFETCH(int, requestSize);
    QFETCH(int, size);
    QFETCH(bool, close);
    QVERIFY(useTls(m_server));
    int received = -1;
    handle([&](QtHttpRequest *request, QtHttpReply *reply) {
        received = request->getRawDataSize();
        reply->appendRawData(QByteArray(size, 'x'));
    });

    HttpTestClient client(m_port);
    client.setTls(true);
    const HttpTestClient::Headers headers = {{"Connection", close ? "close" : "keep-alive"}};
    HttpResponse r = client.request("POST", "/", headers, QByteArray(requestSize, 'y'), 20000);
    QCOMPARE(received, requestSize);
    QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 200 OK."));
    QCOMPARE(r.body, QByteArray(size, 'x') + "\r\n");
    QVERIFY(client.socket()->isEncrypted());
    if (close)
        QVERIFY(client.waitClosed());
    else
        QCOMPARE(client.get("/", headers, 20000).body.size(), size + 2);

    HttpTestClient plain(m_port);
    QVERIFY(plain.open());
    plain.send(GET);
    QVERIFY(plain.waitClosed());
    QCOMPARE(plain.receive(0), QByteArray());
}

// Dropping a TLS connection cuts it at once, with what it still had to send.
void TestQtHttpServer::tlsDropCutsAtOnce()
{
    QVERIFY(useTls(m_server));
    QPointer<QtHttpClientWrapper> connection;
    handle([&](QtHttpRequest *request, QtHttpReply *reply) {
        reply->setUseBoundary(true);
        connection = request->getClientHandle();
        connection->sendToClient(QByteArray(8 * 1024 * 1024, 'x'));
    });
    QSignalSpy gone(m_server, &QtHttpServer::clientDisconnected);
    HttpTestClient client(m_port);
    client.setTls(true);
    client.socket()->setReadBufferSize(4096);
    QVERIFY(client.open());
    client.socket()->blockSignals(true); // nothing is read
    client.send(GET);
    QTRY_VERIFY(connection && connection->getBytesToWrite() > 0);
    connection->dropConnection();
    QCOMPARE(gone.count(), 1);
}

// A secure server never falls back to plain HTTP: without a usable identity
// it does not start.
void TestQtHttpServer::tlsWithoutIdentity()
{
    QtHttpServer server;
    QSignalSpy started(&server, &QtHttpServer::started);
    QSignalSpy failed(&server, &QtHttpServer::error);
    server.setUseSecure();
    server.start();
    QCOMPARE(started.count(), 0);
    QCOMPARE(failed.count(), 1);
}

// Connections over the cap are answered at once and closed; those being
// served are not disturbed, and a freed place is taken again.
void TestQtHttpServer::connectionCap()
{
    const QByteArray refusal = "HTTP/1.1 503 \r\nServer: The Qt5 HTTP Server\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    m_server->setMaxConnections(2);
    QSignalSpy limit(m_server, &QtHttpServer::connectionLimitReached);
    HttpTestClient first(m_port);
    HttpTestClient second(m_port);
    QVERIFY(first.open());
    QVERIFY(second.open());
    QTRY_COMPARE(m_server->getConnectionCount(), 2);
    for (int i = 0; i < 3; ++i) {
        HttpTestClient over(m_port);
        QVERIFY(over.open());
        over.send(GET);
        QCOMPARE(over.receive(refusal.size()), refusal);
        QVERIFY(over.waitClosed());
    }
    QCOMPARE(limit.count(), 1);
    QCOMPARE(limit.at(0).at(0).toInt(), 2);
    QCOMPARE(m_server->getConnectionCount(), 2);

    first.send(GET);
    HttpResponse r;
    QVERIFY(first.next(&r));
    QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 200 OK."));
    second.socket()->disconnectFromHost();
    QTRY_COMPARE(m_server->getConnectionCount(), 1);
    HttpTestClient next(m_port);
    QVERIFY(next.open());
    next.send(GET);
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

    HttpTestClient client(m_port);
    client.setAddress(QHostAddress(peer));
    if (!client.open())
        QSKIP("no such loopback address here");
    client.send(GET);
    if (allowed) {
        HttpResponse r;
        QVERIFY(client.next(&r));
        QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 200 OK."));
        QCOMPARE(forbidden.count(), 0);
        return;
    }
    const QByteArray refusal = "HTTP/1.1 403 Forbidden !\r\nServer: The Qt5 HTTP Server\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    QCOMPARE(client.receive(refusal.size()), refusal);
    QVERIFY(client.waitClosed());
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

// One address holds at most its cap of connections; other addresses are
// not affected, and the refusals are reported once.
void TestQtHttpServer::addressCap()
{
    m_server->setMaxConnectionsPerAddress(2);
    qRegisterMetaType<QHostAddress>();
    QSignalSpy limit(m_server, &QtHttpServer::addressLimitReached);
    HttpTestClient first(m_port);
    HttpTestClient second(m_port);
    QVERIFY(first.open() && second.open());
    for (int i = 0; i < 2; ++i) {
        HttpTestClient over(m_port);
        QVERIFY(over.open());
        QVERIFY(over.receive(12).startsWith("HTTP/1.1 503"));
        QVERIFY(over.waitClosed());
    }
    QCOMPARE(limit.count(), 1);
    QCOMPARE(limit.at(0).at(0).value<QHostAddress>(), QHostAddress("127.0.0.1"));
    HttpTestClient other(m_port);
    other.setLocalAddress(QHostAddress("127.0.0.2"));
    QCOMPARE(other.get("/").status, 200);
    QCOMPARE(first.get("/").status, 200);

    // Servers sharing the counts share the cap: an address holding it on
    // one port is refused on the next, and gets its places back as its
    // connections end, also with the server they were on.
    auto *shared = new QtHttpServer(m_server);
    shared->setAddressCounts(m_server->getAddressCounts());
    shared->start();
    HttpTestClient elsewhere(shared->getServerPort());
    QVERIFY(elsewhere.open());
    QVERIFY(elsewhere.receive(12).startsWith("HTTP/1.1 503"));
    first.socket()->disconnectFromHost();
    QTRY_COMPARE(m_server->getConnectionCount(), 2);
    HttpTestClient again(shared->getServerPort());
    QCOMPARE(again.get("/").status, 200);
    HttpTestClient third(m_port);
    QVERIFY(third.open());
    QVERIFY(third.receive(12).startsWith("HTTP/1.1 503"));
    delete shared;
    HttpTestClient last(m_port);
    QCOMPARE(last.get("/").status, 200);
}

// Past the budget the connections holding the most are closed, until the
// rest is under three quarters of it; the others are served on.
void TestQtHttpServer::memoryBudgetClosesTheLargest()
{
    auto *budget = new QtHttpMemoryBudget(100 * 1024, m_server); // goes after the connections
    m_server->setMemoryBudget(budget);
    QSignalSpy shed(budget, &QtHttpMemoryBudget::connectionsShed);
    const QByteArray head = "GET / HTTP/1.1\r\n" + QByteArray("X-Pad: ").append(QByteArray(7000, 'x')).append("\r\n").repeated(4);
    HttpTestClient small(m_port);
    HttpTestClient large(m_port);
    HttpTestClient larger(m_port);
    QVERIFY(small.open() && large.open() && larger.open());
    small.send("GET / HTTP/1.1\r\n");
    large.send(head);
    QTRY_VERIFY(budget->getHeld() > head.size());
    larger.send(head + "X-More: x\r\n");
    QTRY_COMPARE(shed.count(), 1);
    QCOMPARE(shed.at(0).at(0).toInt(), 1);
    QVERIFY(budget->getHeld() <= budget->getLimit() / 4 * 3);
    // Which of the two was the larger when the budget was spent depends on
    // how the bytes arrived; the small one is never it.
    HttpTestClient &survivor = large.waitClosed(100) ? larger : large;
    survivor.send("\r\n");
    HttpResponse r;
    QVERIFY(survivor.next(&r));
    QCOMPARE(r.status, 200);
    small.send("\r\n");
    QVERIFY(small.next(&r));
    QCOMPARE(r.status, 200);
}

// A connection that pipelines many requests is served a few at a time, so
// another's request does not wait for all of them.
void TestQtHttpServer::pipelinersTakeTurns()
{
    QList<QByteArray> order;
    handle([&](QtHttpRequest *request, QtHttpReply *) { order << request->getUrl().path().toUtf8(); });
    HttpTestClient pipeliner(m_port);
    HttpTestClient other(m_port);
    QVERIFY(pipeliner.open() && other.open());
    pipeliner.send(QByteArray("GET /p HTTP/1.1\r\n\r\n").repeated(40));
    other.send("GET /o HTTP/1.1\r\n\r\n");
    HttpResponse r;
    QVERIFY(other.next(&r));
    QTRY_COMPARE(order.size(), 41);
    QVERIFY2(order.indexOf("/o") < 20, qPrintable(QString::number(order.indexOf("/o"))));
}

void TestQtHttpServer::forwardedClients_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QByteArray>("forwardedFor");
    QTest::addColumn<QByteArray>("forwardedProto");
    QTest::addColumn<QString>("client");
    QTest::addColumn<bool>("secure");
    QTest::newRow("untrusted peer") << "192.0.2.1" << QByteArray("1.2.3.4") << QByteArray("https") << "192.0.2.1" << false;
    QTest::newRow("proxy, one client") << "127.0.0.1" << QByteArray("1.2.3.4") << QByteArray("https") << "1.2.3.4" << true;
    QTest::newRow("proxy, a chain") << "127.0.0.1" << QByteArray("5.6.7.8, 1.2.3.4 ,10.0.0.2") << QByteArray("http") << "1.2.3.4" << false;
    QTest::newRow("proxy, all trusted") << "127.0.0.1" << QByteArray("10.0.0.3, 10.0.0.2") << QByteArray() << "10.0.0.3" << false;
    QTest::newRow("proxy, no header") << "::ffff:127.0.0.1" << QByteArray() << QByteArray() << "127.0.0.1" << false;
    QTest::newRow("proxy, not an address") << "127.0.0.1" << QByteArray("1.2.3.4, unknown") << QByteArray() << QString() << false;
    QTest::newRow("proxy, mapped client") << "127.0.0.1" << QByteArray("::ffff:1.2.3.4") << QByteArray("HTTPS") << "1.2.3.4" << true;
}

void TestQtHttpServer::forwardedClients()
{
    QFETCH(QString, peer);
    QFETCH(QByteArray, forwardedFor);
    QFETCH(QByteArray, forwardedProto);
    QFETCH(QString, client);
    QFETCH(bool, secure);
    m_server->setTrustedProxies({QHostAddress::parseSubnet("127.0.0.1"), QHostAddress::parseSubnet("10.0.0.0/8")});
    QtHttpRequest request(nullptr, nullptr);
    if (!forwardedFor.isEmpty())
        request.addHeader("X-Forwarded-For", forwardedFor);
    if (!forwardedProto.isEmpty())
        request.addHeader("X-Forwarded-Proto", forwardedProto);
    m_server->identifyClient(&request, QtHttpServer::unmapped(QHostAddress(peer)), false);
    QCOMPARE(request.getClientAddress(), client.isEmpty() ? QHostAddress() : QHostAddress(client));
    QCOMPARE(request.isSecure(), secure);
}

// Behind a trusted proxy the allowed networks and the per-address cap apply
// to the client the proxy names, request by request.
void TestQtHttpServer::proxiedClientsCheckedPerRequest()
{
    m_server->setTrustedProxies({QHostAddress::parseSubnet("127.0.0.1")});
    m_server->setAllowedNetworks({QHostAddress::parseSubnet("10.0.0.0/8")});
    m_server->setMaxConnectionsPerAddress(1);
    QHostAddress seen;
    handle([&](QtHttpRequest *request, QtHttpReply *) { seen = request->getClientAddress(); });
    const HttpTestClient::Headers inside = {{"X-Forwarded-For", "10.1.1.1"}};
    HttpTestClient first(m_port);
    QCOMPARE(first.get("/", inside).status, 200);
    QCOMPARE(seen, QHostAddress("10.1.1.1"));
    HttpTestClient second(m_port);
    QCOMPARE(second.get("/", inside).status, 503);
    QVERIFY(second.waitClosed());
    HttpTestClient outside(m_port);
    QCOMPARE(outside.get("/", {{"X-Forwarded-For", "192.0.2.1"}}).status, 403);
    QVERIFY(outside.waitClosed());
    QCOMPARE(first.get("/", inside).status, 200);
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
    HttpTestClient client(m_port);
    QVERIFY(client.open());
    client.send("GET /hold HTTP/1.1\r\n\r\nGET /answer HTTP/1.1\r\n\r\nGET /pass HTTP/1.1\r\n\r\n");
    QTRY_VERIFY(gate.held);
    QVERIFY(client.receive(1, 200).isEmpty());

    gate.held->getClientHandle()->resumeHeldRequest();
    const QList<QByteArray> expected = {"HTTP/1.1 200 OK.", "HTTP/1.1 401 ", "HTTP/1.1 200 OK."};
    for (const QByteArray &statusLine : expected) {
        HttpResponse r;
        QVERIFY(client.next(&r));
        QCOMPARE(r.statusLine, statusLine);
    }
    QCOMPARE(handled, QStringList({"/hold", "/pass"}));

    client.send("GET /hold HTTP/1.1\r\n\r\n");
    QTRY_VERIFY(gate.held);
    client.socket()->abort();
    QTRY_VERIFY(!gate.held);
}

int runServerTests(int argc, char **argv)
{
    TestQtHttpServer test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_QtHttpServer.moc"
