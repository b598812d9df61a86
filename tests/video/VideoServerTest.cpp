#include "Config.h"
#include "FakeDvr.h"
#include "HTTPFetcher.h"
#include "HttpTestClient.h"
#include "LogCapture.h"
#include "ServiceProcess.h"
#include "VideoServer.h"

#include <QFile>
#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {

const QByteArray StreamHead =
    "HTTP/1.1 200 OK\r\n"
    "Cache-Control: no-cache\r\n"
    "Connection: keep-alive\r\n"
    "Content-type: multipart/x-mixed-replace; boundary=endofsection\r\n"
    "\r\n";

QByteArray frameOf(const QByteArray &jpeg)
{
    return "--endofsection\r\nContent-type: image/jpeg\r\nContent-Length: "
        + QByteArray::number(jpeg.size()) + "\r\n\r\n" + jpeg + "\r\n";
}

// Fills the configuration the way loading it from the database does.
void configure(const QList<DVRInfo> &dvrs, const QList<StreamInfo> &streams)
{
    Config &config = *Config::instance();
    config.dvrs.clear();
    config.dvrIdsByName.clear();
    config.streams.clear();
    config.dvrStreamIds.clear();
    config.dvrStreamNames.clear();
    config.dvrStreamIdsByName.clear();
    for (const DVRInfo &dvr : dvrs) {
        config.dvrs.insert(dvr.id, dvr);
        config.dvrIdsByName.insert(dvr.name, dvr.id);
    }
    for (const StreamInfo &stream : streams) {
        config.streams.insert(stream.id, stream);
        config.dvrStreamIds[stream.dvrId].append(stream.id);
        config.dvrStreamNames[stream.dvrId].append(stream.name);
        config.dvrStreamIdsByName[stream.dvrId].insert(stream.name, stream.id);
    }
}

// A browser watching a stream: the shared test client, with everything it
// receives kept, so that the head and the frames can be checked byte for byte.
class Viewer
{
public:
    Viewer(quint16 port, const QString &path)
        : m_client(port)
    {
        m_client.open();
        get(path);
    }

    void get(const QString &path) { m_client.send("GET " + path.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"); }

    // A stalled viewer takes nothing from its socket, so that the sender's
    // buffers fill up.
    void stall()
    {
        received();
        m_client.socket()->blockSignals(true);
        m_client.socket()->setReadBufferSize(1);
    }
    void resume()
    {
        m_client.socket()->blockSignals(false);
        m_client.socket()->setReadBufferSize(0);
        m_received += m_client.socket()->readAll();
    }
    void disconnect() { m_client.socket()->disconnectFromHost(); }
    bool isConnected() { return m_client.socket()->state() == QAbstractSocket::ConnectedState; }

    const QByteArray &received()
    {
        if (!m_client.socket()->signalsBlocked())
            m_received += m_client.receive(0, 0);
        return m_received;
    }
    bool hasHead() { return received().startsWith(StreamHead); }

    // The bodies of the whole frames after the head; false if the bytes are
    // not a head followed by well-formed frames (a partial last one allowed).
    bool frames(QList<QByteArray> *bodies)
    {
        static const QByteArray lead = "--endofsection\r\nContent-type: image/jpeg\r\nContent-Length: ";
        const QByteArray &bytes = received();
        bodies->clear();
        if (!hasHead())
            return StreamHead.startsWith(bytes);
        int at = StreamHead.size();
        while (at < bytes.size()) {
            const QByteArray start = bytes.mid(at, lead.size());
            if (!lead.startsWith(start))
                return false;
            const int lengthEnd = bytes.indexOf("\r\n\r\n", at + lead.size());
            if (start.size() < lead.size() || lengthEnd < 0)
                return true;
            bool ok = false;
            const int length = bytes.mid(at + lead.size(), lengthEnd - at - lead.size()).toInt(&ok);
            const int bodyAt = lengthEnd + 4;
            if (!ok)
                return false;
            if (bytes.size() < bodyAt + length + 2)
                return true;
            if (bytes.mid(bodyAt + length, 2) != "\r\n")
                return false;
            bodies->append(bytes.mid(bodyAt, length));
            at = bodyAt + length + 2;
        }
        return true;
    }

    QList<QByteArray> frames()
    {
        QList<QByteArray> bodies;
        return frames(&bodies) ? bodies : QList<QByteArray>();
    }
    int frameCount() { return frames().size(); }

private:
    HttpTestClient m_client;
    QByteArray m_received;
};

// Whether the bodies are successive snapshots, as one fetch loop produces them.
bool consecutive(const QList<QByteArray> &bodies, const QList<QByteArray> &served)
{
    const int first = served.indexOf(bodies.value(0));
    return first >= 0 && served.mid(first, bodies.size()) == bodies;
}

} // namespace

class VideoServerTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void loadingImageIsCompiledIn();
    void streamsSnapshotsAsFrames();
    void dvrAtAnIPv6Address();
    void viewersAndStreamsShareOneFetchLoop();
    void pollingFollowsViewers();
    void returningViewerWaitsForFetchInFlight();
    void loadingImageAtSixthAndSeventhFailure();
    void indexPages_data();
    void indexPages();
    void resolvesNamesAndNumbers_data();
    void resolvesNamesAndNumbers();
    void channelWithoutEntryGets500();
    void secondStreamOfAConnectionEndsWithIt();
    void stopWithFetchInFlight();
    void stalledViewerDoesNotHoldBackLiveOne();
    void hungDvrRecovers();
    void viewerOutlivesItsClosedPort();
    void channelMovesAwayFromAHungDvr();

private:
    void configureSite();
    QList<quint16> start();

    std::unique_ptr<FakeDvr> m_dvr;
    std::unique_ptr<VideoServer> m_server;
};

void VideoServerTest::init()
{
    m_dvr = std::make_unique<FakeDvr>();
    m_dvr->setCredentials(QStringLiteral("admin"), QStringLiteral("secret"));
    m_server = std::make_unique<VideoServer>();
    configureSite();
}

void VideoServerTest::cleanup()
{
    if (m_server)
        m_server->stop();
    m_server.reset();
    m_dvr.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Four DVRs, all played by the fake one.
void VideoServerTest::configureSite()
{
    const QString ip = m_dvr->host();
    const QString user = QStringLiteral("admin");
    const QString pass = QStringLiteral("secret");
    const int in = m_dvr->port();
    configure({{7, QStringLiteral("Front"), ip, user, pass},
               {2, QStringLiteral("My DVR"), ip, user, pass},
               {8, QStringLiteral("Back"), ip, user, pass},
               {9, QStringLiteral("Empty"), ip, user, pass}},
              {{3, QStringLiteral("Main"), 7, in, 0, {2}},
               {4, QStringLiteral("Side"), 7, in, 0, {1, 2, 4}},
               {6, QStringLiteral("Lobby"), 2, in, 0, {1}},
               {5, QStringLiteral("Rear"), 8, in, 0, {1}}});
}

QList<quint16> VideoServerTest::start()
{
    QSignalSpy started(m_server.get(), &VideoServer::serverStarted);
    m_server->start();
    QList<quint16> ports;
    for (const QList<QVariant> &arguments : qAsConst(started))
        ports.append(arguments.first().value<quint16>());
    return ports;
}

void VideoServerTest::loadingImageIsCompiledIn()
{
    LogCapture log;
    VideoServer server;
    QVERIFY(log.lines().isEmpty());
    QFile image(QStringLiteral(":/images/loading.jpg"));
    QVERIFY(image.open(QIODevice::ReadOnly));
    const QByteArray jpeg = image.readAll();
    QVERIFY(jpeg.startsWith("\xff\xd8\xff"));
    QVERIFY(jpeg.endsWith("\xff\xd9"));
}

void VideoServerTest::streamsSnapshotsAsFrames()
{
    LogCapture log;
    const QList<quint16> ports = start();
    QCOMPARE(ports.size(), 1);
    QCOMPARE(log.lines(), QStringList({QStringLiteral("void VideoServer::start()"),
                                       QStringLiteral("  Created 4 server!")}));

    Viewer viewer(ports.first(), QStringLiteral("/Front/Side/1"));
    QTRY_VERIFY(viewer.frameCount() >= 2);
    QCOMPARE(StreamHead.size(), 132);
    QVERIFY(viewer.hasHead());
    const QList<QByteArray> served = m_dvr->snapshots();
    QCOMPARE(viewer.received().mid(StreamHead.size(), frameOf(served.first()).size()), frameOf(served.first()));
    QCOMPARE(viewer.frames(), served.mid(0, viewer.frameCount()));
    QCOMPARE(m_dvr->requestCount(QStringLiteral("/snapshot0.jpg")), m_dvr->requestCount());

    Viewer fourth(ports.first(), QStringLiteral("/Front/Side/4"));
    QTRY_VERIFY(fourth.frameCount() >= 1);
    QVERIFY(fourth.frames().first().startsWith("JPEG /snapshot3.jpg"));
}

// The address goes into the snapshot URL in brackets, or the port would read
// as part of it.
void VideoServerTest::dvrAtAnIPv6Address()
{
    if (!QTcpServer().listen(QHostAddress::LocalHostIPv6))
        QSKIP("no IPv6 loopback here");
    Config::instance()->dvrs[8].ip = QStringLiteral("::1");
    const QList<quint16> ports = start();
    Viewer viewer(ports.first(), QStringLiteral("/Back/Rear/1"));
    QTRY_VERIFY(viewer.frameCount() >= 1);
    QVERIFY(viewer.frames().first().startsWith("JPEG /snapshot0.jpg"));
}

void VideoServerTest::viewersAndStreamsShareOneFetchLoop()
{
    Config &config = *Config::instance();
    config.streams[3].outPort = ServiceProcess::freePort();
    config.streams[4].outPort = ServiceProcess::freePort();
    LogCapture log;
    const QList<quint16> ports = start();
    QCOMPARE(ports.size(), 3); // the two ports above and the one the other streams share
    QVERIFY(log.contains(QStringLiteral("  Created 4 server!")));

    // Channel 2 of Front is listed by Main and by Side; any port serves any stream.
    const quint16 mainPort = config.streams[3].outPort;
    const quint16 sidePort = config.streams[4].outPort;
    Viewer first(mainPort, QStringLiteral("/Front/Main/2"));
    Viewer second(mainPort, QStringLiteral("/Front/Main/2"));
    Viewer other(sidePort, QStringLiteral("/Front/Side/2"));
    Viewer crossed(mainPort, QStringLiteral("/Front/Side/2"));
    const QList<Viewer *> viewers = {&first, &second, &other, &crossed};
    for (Viewer *viewer : viewers)
        QTRY_VERIFY(viewer->frameCount() >= 3);

    // Freeze the DVR; with a single loop every viewer ends on the same frame.
    m_dvr->setMode(FakeDvr::Mode::Hang);
    for (Viewer *viewer : viewers)
        QTRY_COMPARE(viewer->frames().last(), m_dvr->snapshots().last());
    for (Viewer *viewer : viewers)
        QVERIFY(consecutive(viewer->frames(), m_dvr->snapshots()));
    QCOMPARE(m_dvr->requestCount(QStringLiteral("/snapshot1.jpg")), m_dvr->requestCount());
}

void VideoServerTest::pollingFollowsViewers()
{
    const quint16 port = start().first();
    QTest::qWait(500);
    QCOMPARE(m_dvr->requestCount(), 0);

    auto first = std::make_unique<Viewer>(port, QStringLiteral("/Front/Main/2"));
    auto second = std::make_unique<Viewer>(port, QStringLiteral("/Front/Main/2"));
    QTRY_VERIFY(second->frameCount() >= 2);
    first->disconnect();
    second->disconnect();

    // Nothing signals that polling stopped: see that the count stands still.
    QTest::qWait(500);
    const int count = m_dvr->requestCount();
    QTest::qWait(700);
    QCOMPARE(m_dvr->requestCount(), count);

    Viewer again(port, QStringLiteral("/Front/Main/2"));
    QTRY_VERIFY(again.frameCount() >= 1);
}

void VideoServerTest::returningViewerWaitsForFetchInFlight()
{
    m_dvr->setMode(FakeDvr::Mode::Hang);
    m_server->setFetchTimeout(1500);
    const quint16 port = start().first();
    auto first = std::make_unique<Viewer>(port, QStringLiteral("/Front/Main/2"));
    QTRY_COMPARE(m_dvr->requestCount(), 1);
    first->disconnect();
    QTest::qWait(200);

    // Its fetch still hangs: a second one now would share the fetcher's buffer.
    Viewer second(port, QStringLiteral("/Front/Main/2"));
    QTest::qWait(700);
    QCOMPARE(m_dvr->requestCount(), 1);

    m_dvr->setMode(FakeDvr::Mode::Serve);
    QTRY_VERIFY_WITH_TIMEOUT(second.frameCount() >= 1, 5000);
}

void VideoServerTest::loadingImageAtSixthAndSeventhFailure()
{
    QFile image(QStringLiteral(":/images/loading.jpg"));
    QVERIFY(image.open(QIODevice::ReadOnly));
    const QByteArray loading = image.readAll();

    m_dvr->setMode(FakeDvr::Mode::Fail);
    Viewer viewer(start().first(), QStringLiteral("/Front/Main/2"));
    QTRY_VERIFY_WITH_TIMEOUT(viewer.frameCount() == 1, 10000);
    QVERIFY(m_dvr->requestCount() >= 6);
    QTRY_VERIFY_WITH_TIMEOUT(viewer.frameCount() == 2, 3000);
    QVERIFY(m_dvr->requestCount() >= 7);
    QTRY_VERIFY_WITH_TIMEOUT(m_dvr->requestCount() >= 10, 5000);
    QCOMPARE(viewer.frames(), QList<QByteArray>({loading, loading}));
}

void VideoServerTest::indexPages_data()
{
    const QString frame = QStringLiteral("<!DOCTYPE html><html><head><title>DVRs</title><body>%1</body></html>");
    QString dvrItems;
    for (const DVRInfo &dvr : qAsConst(Config::instance()->dvrs))
        dvrItems += QStringLiteral("<li><a href=\"/%1\">%1</a></li>").arg(dvr.name);
    const QString dvrList = frame.arg("<h1>List of available DVRs:</h1><ol>" + dvrItems + "</ol>");
    const QString frontStreams = frame.arg(QStringLiteral(
        "<h1>List of available Streams in Front:</h1><ol>"
        "<li><a href=\"/Front/Main\">Main</a></li><li><a href=\"/Front/Side\">Side</a></li></ol>"));
    const QString sideChannels = QStringLiteral(
        "<h1>List of Channels in Side:</h1><ol><li><a href=\"/Front/Side/1\">1</a></li>"
        "<li><a href=\"/Front/Side/2\">2</a></li><li><a href=\"/Front/Side/4\">4</a></li></ol>");

    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("page");
    QTest::newRow("root") << "/" << dvrList;
    QTest::newRow("favicon") << "/favicon.ico" << dvrList;
    QTest::newRow("unknown DVR") << "/Nowhere/Main/2" << dvrList;
    QTest::newRow("DVR only") << "/Front" << frontStreams;
    QTest::newRow("empty stream") << "/Front/" << frontStreams;
    QTest::newRow("DVR by number") << "/7/Other" << frontStreams;
    QTest::newRow("stream of another DVR") << "/Front/Rear/1" << frontStreams;
    QTest::newRow("no streams") << "/Empty/x"
                                << frame.arg("<h1>List of available Streams in Empty:</h1><ol></ol>");
    QTest::newRow("channel list") << "/Front/Side" << sideChannels;
    QTest::newRow("unknown channel") << "/Front/Side/9" << sideChannels;
    QTest::newRow("stream by number, channel not a number") << "/Front/4/x" << sideChannels;
    QTest::newRow("percent-encoded") << "/My%20DVR/Lobby"
                                     << "<h1>List of Channels in Lobby:</h1><ol>"
                                        "<li><a href=\"/My DVR/Lobby/1\">1</a></li></ol>";
}

void VideoServerTest::indexPages()
{
    QFETCH(QString, path);
    QFETCH(QString, page);
    const HttpResponse reply = HttpTestClient(start().first()).get(path.toUtf8());
    QCOMPARE(reply.statusLine, QByteArray("HTTP/1.1 404 Not found !"));
    QVERIFY(reply.header("Content-Type").isEmpty());
    QCOMPARE(reply.body, page.toLocal8Bit() + "\r\n");
    QCOMPARE(m_dvr->requestCount(), 0);
}

void VideoServerTest::resolvesNamesAndNumbers_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("snapshot");
    QTest::newRow("names") << "/Front/Main/2" << QByteArray("/snapshot1.jpg");
    QTest::newRow("numbers") << "/7/3/2" << QByteArray("/snapshot1.jpg");
    QTest::newRow("mixed") << "/Front/3/2" << QByteArray("/snapshot1.jpg");
    QTest::newRow("percent-encoded") << "/My%20DVR/Lobby/1" << QByteArray("/snapshot0.jpg");
}

void VideoServerTest::resolvesNamesAndNumbers()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, snapshot);
    Viewer viewer(start().first(), path);
    QTRY_VERIFY(viewer.frameCount() >= 1);
    QVERIFY(viewer.frames().first().startsWith("JPEG " + snapshot));
}

void VideoServerTest::channelWithoutEntryGets500()
{
    const quint16 port = start().first();
    Config::instance()->streams[3].channels.append(5); // changed without a restart
    const HttpResponse reply = HttpTestClient(port).get("/Front/Main/5");
    QCOMPARE(reply.statusLine, QByteArray("HTTP/1.1 500 "));
    QCOMPARE(reply.header("Content-Length"), QByteArray("2"));
    QCOMPARE(reply.body, QByteArray("\r\n"));
}

void VideoServerTest::secondStreamOfAConnectionEndsWithIt()
{
    Viewer viewer(start().first(), QStringLiteral("/Front/Side/1"));
    viewer.get(QStringLiteral("/Front/Side/4"));
    QTRY_VERIFY(m_dvr->requestCount(QStringLiteral("/snapshot0.jpg")) > 0
                && m_dvr->requestCount(QStringLiteral("/snapshot3.jpg")) > 0);
    viewer.disconnect();

    QTest::qWait(500);
    const int count = m_dvr->requestCount();
    QTest::qWait(700);
    QCOMPARE(m_dvr->requestCount(), count);
}

void VideoServerTest::stopWithFetchInFlight()
{
    // Five failures, then a fetch that hangs: an error reported while
    // stopping would now be the one that sends the loading image.
    m_dvr->setMode(FakeDvr::Mode::Fail);
    Viewer viewer(start().first(), QStringLiteral("/Front/Main/2"));
    QTRY_VERIFY_WITH_TIMEOUT(m_dvr->requestCount() == 5, 10000);
    m_dvr->setMode(FakeDvr::Mode::Hang);
    QTRY_COMPARE(m_dvr->requestCount(), 6);

    LogCapture log;
    QSignalSpy stopped(m_server.get(), &VideoServer::serverStopped);
    m_server->stop();
    QCOMPARE(stopped.count(), 1);
    QVERIFY(log.lines().isEmpty());
    m_server.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QTRY_VERIFY(!viewer.isConnected());
    QCOMPARE(viewer.frameCount(), 0);
}

void VideoServerTest::stalledViewerDoesNotHoldBackLiveOne()
{
    constexpr int FrameBytes = 1024 * 1024;
    constexpr int LiveFrames = 30;
    m_dvr->setSnapshotSize(FrameBytes);
    const quint16 port = start().first();
    Viewer stalled(port, QStringLiteral("/Front/Main/2"));
    stalled.stall();
    Viewer live(port, QStringLiteral("/Front/Main/2"));
    QTRY_VERIFY_WITH_TIMEOUT(live.frameCount() >= LiveFrames, 30000);
    QVERIFY(consecutive(live.frames(), m_dvr->snapshots()));

    m_dvr->setMode(FakeDvr::Mode::Hang);
    stalled.resume();
    QTRY_VERIFY(stalled.frameCount() > 0);
    // The stalled viewer skipped frames and never catches up.
    QVERIFY(!QTest::qWaitFor([&] { return stalled.frameCount() >= live.frameCount(); }, 1500));
    QList<QByteArray> bodies;
    QVERIFY(stalled.frames(&bodies)); // whole frames only
    int previous = -1;
    for (const QByteArray &body : qAsConst(bodies)) {
        const int at = m_dvr->snapshots().indexOf(body);
        QVERIFY(at > previous);
        previous = at;
    }
}

void VideoServerTest::hungDvrRecovers()
{
    m_dvr->setMode(FakeDvr::Mode::Hang);
    m_server->setFetchTimeout(300);
    Viewer viewer(start().first(), QStringLiteral("/Front/Main/2"));
    QTRY_VERIFY_WITH_TIMEOUT(m_dvr->requestCount() >= 2, 5000);
    QCOMPARE(viewer.frameCount(), 0);

    m_dvr->setMode(FakeDvr::Mode::Serve);
    QTRY_VERIFY_WITH_TIMEOUT(viewer.frameCount() >= 1, 5000);
}

// The port goes from the configuration, the channel stays: the viewer keeps
// watching on its connection while the port takes no new ones.
void VideoServerTest::viewerOutlivesItsClosedPort()
{
    const quint16 port = start().first();
    Viewer viewer(port, QStringLiteral("/Front/Main/2"));
    QTRY_VERIFY(viewer.frameCount() >= 1);

    const quint16 moved = ServiceProcess::freePort();
    for (StreamInfo &stream : Config::instance()->streams)
        stream.outPort = moved;
    QSignalSpy stopped(m_server.get(), &VideoServer::serverStopped);
    QSignalSpy started(m_server.get(), &VideoServer::serverStarted);
    m_server->update(VideoConfig::fromConfig(*Config::instance()));
    QCOMPARE(stopped.count(), 1);
    QCOMPARE(started.count(), 1);
    QVERIFY(!HttpTestClient(port).open(500));
    const int frames = viewer.frameCount();
    QTRY_VERIFY(viewer.frameCount() >= frames + 2);
    QCOMPARE(HttpTestClient(moved).get("/").status, 404);
}

// The fetch that hangs on the old DVR is dropped: frames from the new one
// come at once, not after the transfer time-out.
void VideoServerTest::channelMovesAwayFromAHungDvr()
{
    Viewer viewer(start().first(), QStringLiteral("/Front/Main/2"));
    QTRY_VERIFY(viewer.frameCount() >= 1);
    m_dvr->setMode(FakeDvr::Mode::Hang);
    const int requests = m_dvr->requestCount();
    QTRY_VERIFY(m_dvr->requestCount() > requests);

    FakeDvr other;
    for (StreamInfo &stream : Config::instance()->streams)
        stream.inPort = other.port();
    const int frames = viewer.frameCount();
    m_server->update(VideoConfig::fromConfig(*Config::instance()));
    QTRY_VERIFY_WITH_TIMEOUT(viewer.frameCount() > frames, HTTPFetcher::DefaultTransferTimeoutMs / 2);
    QVERIFY(other.requestCount(QStringLiteral("/snapshot1.jpg")) > 0);
    QVERIFY(viewer.isConnected());
}

std::unique_ptr<QObject> makeVideoServerTest()
{
    return std::make_unique<VideoServerTest>();
}

#include "VideoServerTest.moc"
