#include "FakeDvr.h"
#include "HTTPFetcher.h"

#include <QSet>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {

QString snapshotUrl(const FakeDvr &dvr, const QString &path = QStringLiteral("/snapshot0.jpg"))
{
    return QStringLiteral("http://%1:%2%3").arg(dvr.host()).arg(dvr.port()).arg(path);
}

// A raw HTTP peer: answers every complete request head with the given bytes,
// optionally closing the connection after answering or instead of it.
class ScriptedPeer : public QObject
{
public:
    ScriptedPeer()
    {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, &ScriptedPeer::accept);
    }

    QString url() const { return QStringLiteral("http://127.0.0.1:%1/snap.jpg").arg(m_server.serverPort()); }
    void setResponse(const QByteArray &bytes, bool closeAfter = false)
    {
        m_response = bytes;
        m_closeAfter = closeAfter;
    }
    // Requests (counted from 1, over all connections) met by a close.
    void dropRequests(const QSet<int> &numbers) { m_dropped = numbers; }
    int connections() const { return m_connections; }
    int requests() const { return m_requests.size(); }
    const QByteArrayList &requestHeads() const { return m_requests; }

private:
    void accept()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            ++m_connections;
            auto pending = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, pending] { answer(socket, *pending); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    void answer(QTcpSocket *socket, QByteArray &pending)
    {
        pending += socket->readAll();
        int end;
        while ((end = pending.indexOf("\r\n\r\n")) >= 0) {
            m_requests.append(pending.left(end));
            pending.remove(0, end + 4);
            if (!m_dropped.contains(m_requests.size()))
                socket->write(m_response);
            if (m_closeAfter || m_dropped.contains(m_requests.size())) {
                socket->disconnectFromHost();
                return;
            }
        }
    }

    QTcpServer m_server;
    QByteArray m_response;
    bool m_closeAfter = false;
    QSet<int> m_dropped;
    int m_connections = 0;
    QByteArrayList m_requests;
};

QByteArray okResponse(const QByteArray &body)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

} // namespace

class HTTPFetcherTest : public QObject
{
    Q_OBJECT

private slots:
    void fetchesWholeBodyWithCredentials();
    void authorizationHeader_data();
    void authorizationHeader();
    void failuresEndInError_data();
    void failuresEndInError();
    void abortEndsEveryFetchInFlightOrQueued();
    void silentPeerTimesOut();
    void keepAliveConnectionIsReused();
    void reconnectsWhenThePeerCloses_data();
    void reconnectsWhenThePeerCloses();
    void droppedRequestIsRetriedOnceOnAFreshConnection();
    void responseFraming_data();
    void responseFraming();
    void badResponsesEndInError_data();
    void badResponsesEndInError();
    void unusableTargetsEndInError_data();
    void unusableTargetsEndInError();
};

void HTTPFetcherTest::fetchesWholeBodyWithCredentials()
{
    FakeDvr dvr;
    dvr.setCredentials(QStringLiteral("admin"), QStringLiteral("secret"));
    dvr.setSnapshotSize(600 * 1024); // arrives in many pieces
    HTTPFetcher fetcher;
    fetcher.setCredentials(QStringLiteral("admin"), QStringLiteral("secret"));
    fetcher.setUrl(snapshotUrl(dvr));
    QSignalSpy fetched(&fetcher, &HTTPFetcher::fetched);
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);

    for (int round = 1; round <= 2; ++round) {
        fetcher.fetch();
        QVERIFY(fetched.wait());
        QCOMPARE(fetched.count(), round);
        QCOMPARE(fetcher.data(), dvr.snapshots().last());
    }
    QCOMPARE(failed.count(), 0);
    QVERIFY(!fetcher.isFetching());
    QCOMPARE(dvr.lastHeader("Cache-Control"), QByteArray("no-cache"));
}

void HTTPFetcherTest::authorizationHeader_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("none") << QString() << QString() << QByteArray();
    QTest::newRow("password only") << QString() << QStringLiteral("secret") << QByteArray("Basic OnNlY3JldA==");
    QTest::newRow("both") << QStringLiteral("admin") << QStringLiteral("12345") << QByteArray("Basic YWRtaW46MTIzNDU=");
}

void HTTPFetcherTest::authorizationHeader()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QByteArray, header);
    FakeDvr dvr;
    HTTPFetcher fetcher;
    fetcher.setCredentials(user, password);
    fetcher.setUrl(snapshotUrl(dvr));
    QSignalSpy fetched(&fetcher, &HTTPFetcher::fetched);
    fetcher.fetch();
    QVERIFY(fetched.wait());
    QCOMPARE(dvr.lastHeader("Authorization"), header);
}

void HTTPFetcherTest::failuresEndInError_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("snapshotSize");
    QTest::newRow("404") << QStringLiteral("/missing.jpg") << QStringLiteral("secret") << 0;
    QTest::newRow("wrong password") << QStringLiteral("/snapshot0.jpg") << QStringLiteral("guess") << 0;
    QTest::newRow("body too large") << QStringLiteral("/snapshot0.jpg") << QStringLiteral("secret")
                                    << int(HTTPFetcher::MaxBodyBytes + 1);
}

void HTTPFetcherTest::failuresEndInError()
{
    QFETCH(QString, path);
    QFETCH(QString, password);
    QFETCH(int, snapshotSize);
    FakeDvr dvr;
    dvr.setCredentials(QStringLiteral("admin"), QStringLiteral("secret"));
    dvr.setSnapshotSize(snapshotSize);
    HTTPFetcher fetcher;
    fetcher.setCredentials(QStringLiteral("admin"), password);
    fetcher.setUrl(snapshotUrl(dvr, path));
    QSignalSpy fetched(&fetcher, &HTTPFetcher::fetched);
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);
    fetcher.fetch();
    QVERIFY(failed.wait());
    QVERIFY(!failed.first().first().toString().isEmpty());
    QCOMPARE(fetched.count(), 0);
    QVERIFY(!fetcher.isFetching());
}

void HTTPFetcherTest::abortEndsEveryFetchInFlightOrQueued()
{
    FakeDvr dvr;
    HTTPFetcher fetcher;
    fetcher.setUrl(snapshotUrl(dvr));
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);

    // A failed fetch is no longer in flight, so a later abort() leaves it alone.
    dvr.setMode(FakeDvr::Mode::Fail);
    fetcher.fetch();
    QVERIFY(failed.wait());
    failed.clear();

    // The second fetch waits for the first, which never ends on its own.
    dvr.setMode(FakeDvr::Mode::Hang);
    fetcher.fetch();
    fetcher.fetch();
    QTRY_COMPARE(dvr.requestCount(), 2);
    QVERIFY(fetcher.isFetching());
    fetcher.abort();
    QCOMPARE(failed.count(), 2);
    QCOMPARE(failed.first().first().toString(), QStringLiteral("Operation canceled"));
    QVERIFY(!fetcher.isFetching());

    fetcher.abort();
    QCOMPARE(failed.count(), 2);
    QTest::qWait(100); // nothing to wait on: the queued fetch must never be sent
    QCOMPARE(dvr.requestCount(), 2);
}

void HTTPFetcherTest::silentPeerTimesOut()
{
    FakeDvr dvr;
    dvr.setMode(FakeDvr::Mode::Hang);
    HTTPFetcher fetcher;
    fetcher.setTransferTimeout(300);
    fetcher.setUrl(snapshotUrl(dvr));
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);
    fetcher.fetch();
    QVERIFY(failed.wait(5000));
    QCOMPARE(dvr.requestCount(), 1);
    QVERIFY(!fetcher.isFetching());
}

void HTTPFetcherTest::keepAliveConnectionIsReused()
{
    ScriptedPeer peer;
    peer.setResponse(okResponse("frame"));
    HTTPFetcher fetcher;
    fetcher.setCredentials(QStringLiteral("admin"), QStringLiteral("12345"));
    fetcher.setUrl(peer.url());
    QSignalSpy fetched(&fetcher, &HTTPFetcher::fetched);
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);

    fetcher.fetch();
    fetcher.fetch(); // queued behind the first
    QTRY_COMPARE(fetched.count(), 2);
    fetcher.fetch();
    QTRY_COMPARE(fetched.count(), 3);
    QCOMPARE(failed.count(), 0);
    QCOMPARE(fetcher.data(), QByteArray("frame"));
    QCOMPARE(peer.connections(), 1);
    QCOMPARE(peer.requests(), 3);
    QCOMPARE(peer.requestHeads().first(),
             QByteArray("GET /snap.jpg HTTP/1.1\r\nHost: 127.0.0.1:") + QByteArray::number(QUrl(peer.url()).port())
                 + "\r\nAuthorization: Basic YWRtaW46MTIzNDU=\r\nCache-Control: no-cache");
}

void HTTPFetcherTest::reconnectsWhenThePeerCloses_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<bool>("closeAfter");
    QTest::newRow("says close") << QByteArray("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 1\r\n\r\nx")
                                << false;
    QTest::newRow("HTTP/1.0") << QByteArray("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx") << false;
    QTest::newRow("closes silently") << okResponse("x") << true;
}

void HTTPFetcherTest::reconnectsWhenThePeerCloses()
{
    QFETCH(QByteArray, response);
    QFETCH(bool, closeAfter);
    ScriptedPeer peer;
    peer.setResponse(response, closeAfter);
    HTTPFetcher fetcher;
    fetcher.setUrl(peer.url());
    QSignalSpy fetched(&fetcher, &HTTPFetcher::fetched);
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);
    for (int round = 1; round <= 3; ++round) {
        fetcher.fetch();
        QTRY_COMPARE(fetched.count(), round);
    }
    QCOMPARE(failed.count(), 0);
    QCOMPARE(peer.connections(), 3);
}

void HTTPFetcherTest::droppedRequestIsRetriedOnceOnAFreshConnection()
{
    ScriptedPeer peer;
    peer.setResponse(okResponse("x"));
    // Request 2 crosses the peer closing the connection of request 1; so does
    // request 4, and its retry (5) is dropped too.
    peer.dropRequests({2, 4, 5});
    HTTPFetcher fetcher;
    fetcher.setUrl(peer.url());
    QSignalSpy fetched(&fetcher, &HTTPFetcher::fetched);
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);

    fetcher.fetch();
    QTRY_COMPARE(fetched.count(), 1);
    fetcher.fetch();
    QTRY_COMPARE(fetched.count(), 2);
    QCOMPARE(failed.count(), 0);
    QCOMPARE(peer.connections(), 2);

    fetcher.fetch();
    QVERIFY(failed.wait());
    QCOMPARE(failed.first().first().toString(), QStringLiteral("Connection closed"));
    QCOMPARE(peer.requests(), 5);
    QCOMPARE(fetched.count(), 2);
}

void HTTPFetcherTest::responseFraming_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<bool>("closeAfter");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("chunked") << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                           "5;name=value\r\nhello\r\n6\r\n world\r\n0\r\nX-Trailer: 1\r\n\r\n")
                             << false << QByteArray("hello world");
    QTest::newRow("until close") << QByteArray("HTTP/1.1 200 OK\r\n\r\nhello") << true << QByteArray("hello");
    QTest::newRow("interim answer first")
        << QByteArray("HTTP/1.1 100 Continue\r\n\r\n" + okResponse("ok")) << false << QByteArray("ok");
    QTest::newRow("no content") << QByteArray("HTTP/1.1 204 No Content\r\n\r\n") << false << QByteArray();
    QTest::newRow("bare line ends") << QByteArray("HTTP/1.1 200 OK\nContent-Length: 2\n\nok") << false
                                    << QByteArray("ok");
}

void HTTPFetcherTest::responseFraming()
{
    QFETCH(QByteArray, response);
    QFETCH(bool, closeAfter);
    QFETCH(QByteArray, body);
    ScriptedPeer peer;
    peer.setResponse(response, closeAfter);
    HTTPFetcher fetcher;
    fetcher.setUrl(peer.url());
    QSignalSpy fetched(&fetcher, &HTTPFetcher::fetched);
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);
    // Twice, so that a misread response end shows on the reused connection.
    for (int round = 1; round <= 2; ++round) {
        fetcher.fetch();
        QTRY_COMPARE(fetched.count() + failed.count(), round);
        QCOMPARE(failed.count(), 0);
        QCOMPARE(fetcher.data(), body);
    }
}

void HTTPFetcherTest::badResponsesEndInError_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<bool>("closeAfter");
    QTest::addColumn<QString>("message");
    const QByteArray ok = "HTTP/1.1 200 OK\r\n";
    QTest::newRow("error status") << QByteArray("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 4\r\n\r\nbusy")
                                  << false << QStringLiteral("server replied: Service Unavailable");
    QTest::newRow("malformed status line") << QByteArray("HTTP/1.1 2OO OK\r\n\r\n") << false
                                           << QStringLiteral("malformed status line");
    QTest::newRow("not HTTP") << QByteArray("\x16\x03\x01\xff\r\n") << true << QStringLiteral("malformed status line");
    QTest::newRow("over-long header line") << QByteArray(ok + "X-Pad: " + QByteArray(9000, 'a') + "\r\n\r\n") << false
                                           << QStringLiteral("longer than 8192 bytes");
    // Still open and never ending the line: refused without waiting for it.
    QTest::newRow("endless header line") << QByteArray(ok + "X-Pad: " + QByteArray(64 * 1024, 'a')) << false
                                         << QStringLiteral("longer than 8192 bytes");
    QTest::newRow("too many header lines") << QByteArray(ok + QByteArray("X-Pad: a\r\n").repeated(150) + "\r\n")
                                           << false << QStringLiteral("more than 100 header lines");
    QTest::newRow("malformed length") << QByteArray(ok + "Content-Length: 12abc\r\n\r\n") << false
                                      << QStringLiteral("malformed Content-Length");
    QTest::newRow("malformed chunk size") << QByteArray(ok + "Transfer-Encoding: chunked\r\n\r\nzz\r\n") << false
                                          << QStringLiteral("malformed chunk size");
    QTest::newRow("announced body too large")
        << QByteArray(ok + "Content-Length: " + QByteArray::number(HTTPFetcher::MaxBodyBytes + 1) + "\r\n\r\n")
        << false << QStringLiteral("larger than");
    QTest::newRow("chunked body too large")
        << QByteArray(ok + "Transfer-Encoding: chunked\r\n\r\n"
                      + QByteArray::number(HTTPFetcher::MaxBodyBytes + 1, 16) + "\r\n")
        << false << QStringLiteral("larger than");
    QTest::newRow("truncated body") << QByteArray(ok + "Content-Length: 10\r\n\r\nhello") << true
                                    << QStringLiteral("Connection closed");
}

void HTTPFetcherTest::badResponsesEndInError()
{
    QFETCH(QByteArray, response);
    QFETCH(bool, closeAfter);
    QFETCH(QString, message);
    ScriptedPeer peer;
    peer.setResponse(response, closeAfter);
    HTTPFetcher fetcher;
    fetcher.setUrl(peer.url());
    QSignalSpy fetched(&fetcher, &HTTPFetcher::fetched);
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);
    fetcher.fetch();
    QVERIFY(failed.wait());
    QVERIFY2(failed.first().first().toString().contains(message), qPrintable(failed.first().first().toString()));
    QCOMPARE(fetched.count(), 0);
    QVERIFY(!fetcher.isFetching());

    // The next fetch starts clean, on a fresh connection unless the answer was whole.
    peer.setResponse(okResponse("next"));
    fetcher.fetch();
    QVERIFY(fetched.wait());
    QCOMPARE(fetcher.data(), QByteArray("next"));
}

void HTTPFetcherTest::unusableTargetsEndInError_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("message");
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    const quint16 freePort = closed.serverPort();
    closed.close();
    QTest::newRow("refused") << QStringLiteral("http://127.0.0.1:%1/x").arg(freePort) << QStringLiteral("Connection refused");
    QTest::newRow("other scheme") << QStringLiteral("ftp://127.0.0.1/x") << QStringLiteral("Protocol \"ftp\" is unknown");
    QTest::newRow("no host") << QStringLiteral("http:///x") << QStringLiteral("No host name");
    QTest::newRow("empty") << QString() << QStringLiteral("is unknown");
}

void HTTPFetcherTest::unusableTargetsEndInError()
{
    QFETCH(QString, url);
    QFETCH(QString, message);
    HTTPFetcher fetcher;
    fetcher.setUrl(url);
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);
    fetcher.fetch();
    QVERIFY(failed.wait());
    QCOMPARE(failed.count(), 1);
    QVERIFY2(failed.first().first().toString().contains(message), qPrintable(failed.first().first().toString()));
    QVERIFY(!fetcher.isFetching());
}

std::unique_ptr<QObject> makeHTTPFetcherTest()
{
    return std::make_unique<HTTPFetcherTest>();
}

#include "HTTPFetcherTest.moc"
