#include "FakeDvr.h"
#include "HTTPFetcher.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {

QString snapshotUrl(const FakeDvr &dvr, const QString &path = QStringLiteral("/snapshot0.jpg"))
{
    return QStringLiteral("http://%1:%2%3").arg(dvr.host()).arg(dvr.port()).arg(path);
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
    void abortEndsEveryRequestInFlight();
    void silentPeerTimesOut();
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

void HTTPFetcherTest::abortEndsEveryRequestInFlight()
{
    FakeDvr dvr;
    HTTPFetcher fetcher;
    fetcher.setUrl(snapshotUrl(dvr));
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);

    // A failed request is no longer in flight, so a later abort() leaves it alone.
    dvr.setMode(FakeDvr::Mode::Fail);
    fetcher.fetch();
    QVERIFY(failed.wait());
    failed.clear();

    dvr.setMode(FakeDvr::Mode::Hang);
    fetcher.fetch();
    fetcher.fetch();
    QTRY_COMPARE(dvr.requestCount(), 3);
    fetcher.abort();
    QCOMPARE(failed.count(), 2);
    QVERIFY(!fetcher.isFetching());

    fetcher.abort();
    QCOMPARE(failed.count(), 2);
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

std::unique_ptr<QObject> makeHTTPFetcherTest()
{
    return std::make_unique<HTTPFetcherTest>();
}

#include "HTTPFetcherTest.moc"
