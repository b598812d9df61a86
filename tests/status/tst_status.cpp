#include "CentralPeer.h"
#include "FakeDvr.h"
#include "HttpTestClient.h"
#include "ServiceProcess.h"
#include "Settings.h"
#include "proto/svc.pb.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <memory>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Headers = HttpTestClient::Headers;

// The body of a chunked response, without its framing.
QByteArray dechunked(const QByteArray &body)
{
    QByteArray out;
    int at = 0;
    for (;;) {
        const int end = body.indexOf("\r\n", at);
        bool ok = false;
        const int size = body.mid(at, end - at).toInt(&ok, 16);
        if (end < 0 || !ok || size == 0)
            return out;
        out += body.mid(end + 2, size);
        at = end + 2 + size + 2;
    }
}

// One GET on a fresh connection; a chunked body comes without its framing.
HttpResponse get(quint16 port, const QByteArray &path, const Headers &headers = {})
{
    HttpResponse response = HttpTestClient(port).get(path, headers + Headers{{"Connection", "close"}});
    if (response.header("Transfer-Encoding") == "chunked")
        response.body = dechunked(response.body);
    return response;
}

// systemd's notify socket, on an abstract name of its own.
class NotifySocket
{
public:
    NotifySocket()
        : m_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0))
    {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        m_name = "tavro-status-" + QByteArray::number(::getpid());
        std::memcpy(address.sun_path + 1, m_name.constData(), size_t(m_name.size()));
        ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), socklen_t(offsetof(sockaddr_un, sun_path) + 1 + m_name.size()));
    }
    ~NotifySocket() { ::close(m_fd); }
    QByteArray environmentValue() const { return '@' + m_name; }
    // The last STATUS= line received so far.
    QByteArray status()
    {
        char buffer[4096];
        ssize_t size;
        while ((size = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0) {
            const QByteArray datagram(buffer, int(size));
            if (datagram.startsWith("STATUS="))
                m_status = datagram.mid(7);
        }
        return m_status;
    }

private:
    int m_fd;
    QByteArray m_name;
    QByteArray m_status;
};

QJsonObject statusJson(quint16 port, const Headers &headers = {})
{
    return QJsonDocument::fromJson(get(port, "/.tavro/status.json", headers).body).object();
}

// The channel of the status JSON with that DVR and channel number.
QJsonObject channelOf(const QJsonObject &status, const QString &dvr, int channel)
{
    for (const QJsonValue &value : status.value(QStringLiteral("channels")).toArray()) {
        const QJsonObject object = value.toObject();
        if (object.value(QStringLiteral("dvr")).toString() == dvr && object.value(QStringLiteral("channel")).toInt() == channel)
            return object;
    }
    return {};
}

} // namespace

// The running service's status page, JSON, metrics and still pictures, with
// a site of one working DVR, one failing DVR with a hostile name, and one
// IO module.
class tst_Status : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void ownPagesCarryTypeAndPolicy_data();
    void ownPagesCarryTypeAndPolicy();
    void pageEscapesNamesAndAllowsItsOwnStyle();
    void figuresFollowViewersFailuresAndReads();
    void linkIsUpOnceCentralIsHeard();
    void metricsPassPromtool();
    void snapshots_data();
    void snapshots();
    void snapshotOfWatchedChannelIsItsLatestFrame();
    void behindTheLogin_data();
    void behindTheLogin();
    void cleanupTestCase();

private:
    bool startService(ServiceProcess *service, quint16 videoPort, quint16 eventPort);

    FakeDvr m_dvr;
    FakeDvr m_broken;
    CentralPeer m_central;
    NotifySocket m_systemd;
    std::unique_ptr<ServiceProcess> m_service;
    quint16 m_videoPort = 0;
    quint16 m_eventPort = 0;
    // The same site with a user, started by the first test that needs it.
    std::unique_ptr<ServiceProcess> m_guarded;
    quint16 m_guardedVideoPort = 0;
    quint16 m_guardedEventPort = 0;
};

const QString HostileName = QStringLiteral("Gate <i>&\"");

bool tst_Status::startService(ServiceProcess *service, quint16 videoPort, quint16 eventPort)
{
    Settings settings(service->directory() + QStringLiteral("/settings.db"));
    DVRInfo north;
    north.id = 3;
    north.name = QStringLiteral("North");
    north.ip = QStringLiteral("127.0.0.1");
    DVRInfo gate = north;
    gate.id = 4;
    gate.name = HostileName;
    StreamInfo main;
    main.id = 1;
    main.name = QStringLiteral("Main");
    main.dvrId = 3;
    main.inPort = m_dvr.port();
    main.outPort = videoPort;
    main.channels = {1, 2};
    StreamInfo back = main;
    back.id = 2;
    back.name = QStringLiteral("Back");
    back.dvrId = 4;
    back.inPort = m_broken.port();
    back.channels = {1};
    IOInfo io;
    io.id = 7;
    io.name = QStringLiteral("Door");
    io.dvrId = 3;
    io.port = m_dvr.port();
    if (!settings.insertDVR(north) || !settings.insertDVR(gate) || !settings.insertStream(main)
        || !settings.insertStream(back) || !settings.insertIO(io))
        return false;
    service->writeIni(QStringLiteral("eventPort"), QString::number(eventPort));
    service->writeIni(QStringLiteral("serverSendPort"), m_central.publishEndpoint().section(QLatin1Char(':'), -1));
    service->writeIni(QStringLiteral("serverRecvPort"), m_central.pullEndpoint().section(QLatin1Char(':'), -1));
    service->writeIni(QStringLiteral("id"), QStringLiteral("site-1"));
    return service->start() && service->waitForLog(QStringLiteral("VideoServer started on port %1").arg(videoPort));
}

void tst_Status::initTestCase()
{
    m_broken.setMode(FakeDvr::Mode::Fail);
    m_dvr.setAlarmPage("<blink>on</blink><select name=\"gpo1\"><option selected value=\"1\">on</option></select>");
    m_videoPort = ServiceProcess::freePort();
    m_eventPort = ServiceProcess::freePort();
    m_service = std::make_unique<ServiceProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLatin1(m_systemd.environmentValue()));
    m_service->process().setProcessEnvironment(environment);
    QVERIFY(startService(m_service.get(), m_videoPort, m_eventPort));
}

void tst_Status::ownPagesCarryTypeAndPolicy_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("type");
    QTest::newRow("page") << QByteArray("/.tavro/status") << QByteArray("text/html; charset=utf-8");
    QTest::newRow("json") << QByteArray("/.tavro/status.json") << QByteArray("application/json");
    QTest::newRow("metrics") << QByteArray("/.tavro/metrics") << QByteArray("text/plain; version=0.0.4");
}

void tst_Status::ownPagesCarryTypeAndPolicy()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, type);
    const HttpResponse response = get(m_eventPort, path);
    QCOMPARE(response.status, 200);
    QVERIFY(response.header("Content-Type").startsWith(type));
    QCOMPARE(response.header("X-Content-Type-Options"), QByteArray("nosniff"));
    QVERIFY(response.header("Content-Security-Policy").startsWith("default-src 'none'"));
    QCOMPARE(response.header("Cache-Control"), QByteArray("no-store"));
}

// The one style element is what the policy's hash allows, and no name from
// the configuration becomes markup.
void tst_Status::pageEscapesNamesAndAllowsItsOwnStyle()
{
    const HttpResponse response = get(m_eventPort, "/.tavro/status");
    const QByteArray page = response.body;
    QVERIFY(page.contains("Gate &lt;i&gt;&amp;&quot;"));
    QVERIFY(!page.contains("<i>"));
    QVERIFY(page.contains("<meta http-equiv=\"refresh\""));
    const QRegularExpressionMatch style = QRegularExpression(QStringLiteral("<style>(.*)</style>")).match(QString::fromUtf8(page));
    QVERIFY(style.hasMatch());
    const QByteArray hash = QCryptographicHash::hash(style.captured(1).toUtf8(), QCryptographicHash::Sha256).toBase64();
    QVERIFY(response.header("Content-Security-Policy").contains("style-src 'sha256-" + hash + "'"));
}

// Two viewers, one on a working channel and one on a failing one, and a
// first read of the IO module: the JSON, the page and systemd's status
// line follow.
void tst_Status::figuresFollowViewersFailuresAndReads()
{
    HttpTestClient live(m_videoPort);
    HttpTestClient failing(m_videoPort);
    QCOMPARE(live.get("/North/Main/1").status, 200);
    QCOMPARE(failing.get("/4/2/1").status, 200);
    QVERIFY(live.waitForFrames(2));
    QCOMPARE(get(m_eventPort, "/read?layout=7").status, 200);

    QTRY_VERIFY_WITH_TIMEOUT(!channelOf(statusJson(m_eventPort), HostileName, 1).value("lastError").toString().isEmpty(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(statusJson(m_eventPort).value("ioModules").toArray().at(0).toObject().value("lastReadAgeSeconds").isDouble(), 10000);
    const QJsonObject status = statusJson(m_eventPort);
    const QJsonObject north1 = channelOf(status, QStringLiteral("North"), 1);
    QCOMPARE(north1.value("viewers").toInt(), 1);
    QVERIFY(north1.value("framesDelivered").toInt() >= 2);
    QVERIFY(north1.value("lastSnapshotAgeSeconds").isDouble());
    const QJsonObject north2 = channelOf(status, QStringLiteral("North"), 2);
    QCOMPARE(north2.value("watched").toBool(), false);
    QVERIFY(north2.value("lastSnapshotAgeSeconds").isNull());
    QCOMPARE(channelOf(status, HostileName, 1).value("stream").toString(), QStringLiteral("Back"));
    const QJsonObject module = status.value("ioModules").toArray().at(0).toObject();
    QCOMPARE(module.value("name").toString(), QStringLiteral("Door"));
    QCOMPARE(module.value("polled").toBool(), true);
    QCOMPARE(status.value("central").toObject().value("connected").toBool(), false);
    QCOMPARE(status.value("central").toObject().value("dvrs").toInt(), 2);
    const QJsonArray ports = status.value("ports").toArray();
    QCOMPARE(ports.size(), 2);
    for (const QJsonValue &port : ports) {
        if (port.toObject().value("port").toInt() == m_videoPort)
            QVERIFY(port.toObject().value("connections").toInt() >= 2);
    }

    const QByteArray page = get(m_eventPort, "/.tavro/status").body;
    for (const char *text : {"class=\"ok\">live<", "class=\"bad\">failing<", "class=\"off\">not watched<",
                             "class=\"ok\">read<", "class=\"bad\">down<", "src=\"data:image/jpeg;base64,"})
        QVERIFY2(page.contains(text), text);

    QTRY_COMPARE_WITH_TIMEOUT(m_systemd.status(), QByteArray("Serving 2 streams to 2 viewers; Central link down"), 5000);
    live.socket()->abort();
    QTRY_COMPARE_WITH_TIMEOUT(m_systemd.status(), QByteArray("Serving 1 streams to 1 viewers; Central link down"), 5000);
}

void tst_Status::linkIsUpOnceCentralIsHeard()
{
    QVERIFY(m_central.waitForSubscriber());
    Packet ping;
    ping.set_client_id("site-1");
    ping.mutable_ping()->set_number(0);
    m_central.publish(ping);
    QTRY_VERIFY_WITH_TIMEOUT(statusJson(m_eventPort).value("central").toObject().value("connected").toBool(), 5000);
    const QJsonObject link = statusJson(m_eventPort).value("central").toObject();
    QCOMPARE(link.value("encrypted").toBool(), false);
    QVERIFY(link.value("messages").toInt() >= 1);
    QVERIFY(link.value("lastMessageAgeSeconds").isDouble());
    QVERIFY(link.value("lastConfigurationAgeSeconds").isNull());
    QTRY_VERIFY_WITH_TIMEOUT(m_systemd.status().endsWith("; Central link up"), 5000);
}

void tst_Status::metricsPassPromtool()
{
    const QByteArray metrics = get(m_eventPort, "/.tavro/metrics").body;
    QVERIFY(metrics.contains("tavro_channel_frames_delivered_total{dvr_id=\"3\",dvr=\"North\",stream=\"Main\",channel=\"1\"}"));
    QVERIFY(metrics.contains("dvr=\"Gate <i>&\\\"\""));
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty())
        QSKIP("promtool is not installed (scripts/setup.sh installs it)");
    QProcess check;
    check.setProcessChannelMode(QProcess::MergedChannels);
    check.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    check.write(metrics);
    check.closeWriteChannel();
    QVERIFY(check.waitForFinished(30000));
    QVERIFY2(check.exitCode() == 0, (check.readAll() + metrics).constData());
}

// A channel nobody watches is fetched once per request; names and numbers
// resolve as on the video routes; anything else is not a channel.
void tst_Status::snapshots_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("fetches");
    QTest::newRow("by name") << QByteArray("/.tavro/snapshot/North/Main/2") << 200 << 1;
    QTest::newRow("by number") << QByteArray("/.tavro/snapshot/3/1/2") << 200 << 1;
    QTest::newRow("no such channel") << QByteArray("/.tavro/snapshot/North/Main/9") << 404 << 0;
    QTest::newRow("stream only") << QByteArray("/.tavro/snapshot/North/Main") << 404 << 0;
    QTest::newRow("channel of another stream") << QByteArray("/.tavro/snapshot/North/Back/1") << 404 << 0;
    QTest::newRow("failing DVR") << QByteArray("/.tavro/snapshot/4/2/1") << 502 << 0;
}

void tst_Status::snapshots()
{
    QFETCH(QByteArray, path);
    QFETCH(int, status);
    QFETCH(int, fetches);
    const int before = m_dvr.requestCount(QStringLiteral("/snapshot1.jpg"));
    const HttpResponse response = get(m_videoPort, path);
    QCOMPARE(response.status, status);
    QCOMPARE(m_dvr.requestCount(QStringLiteral("/snapshot1.jpg")) - before, fetches);
    if (status == 200) {
        QCOMPARE(response.header("Content-Type"), QByteArray("image/jpeg"));
        QVERIFY(m_dvr.snapshots().contains(response.body));
    }
}

void tst_Status::snapshotOfWatchedChannelIsItsLatestFrame()
{
    HttpTestClient viewer(m_videoPort);
    QCOMPARE(viewer.get("/North/Main/2").status, 200);
    QVERIFY(viewer.waitForFrames(1));
    const HttpResponse response = get(m_videoPort, "/.tavro/snapshot/North/Main/2");
    QCOMPARE(response.status, 200);
    QCOMPARE(response.header("Content-Type"), QByteArray("image/jpeg"));
    QVERIFY(m_dvr.snapshots().mid(m_dvr.snapshots().size() - 3).contains(response.body));
}

// With users, every one of the service's own pages but the login wants
// one, on either port; any user will do.
void tst_Status::behindTheLogin_data()
{
    QTest::addColumn<bool>("video");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("credentials");
    QTest::addColumn<int>("status");
    QTest::newRow("page") << false << QByteArray("/.tavro/status") << false << 401;
    QTest::newRow("json") << false << QByteArray("/.tavro/status.json") << false << 401;
    QTest::newRow("metrics") << false << QByteArray("/.tavro/metrics") << false << 401;
    QTest::newRow("snapshot") << true << QByteArray("/.tavro/snapshot/North/Main/1") << false << 401;
    QTest::newRow("metrics, a viewer") << false << QByteArray("/.tavro/metrics") << true << 200;
    QTest::newRow("page, a viewer") << false << QByteArray("/.tavro/status") << true << 200;
    QTest::newRow("snapshot, a viewer") << true << QByteArray("/.tavro/snapshot/North/Main/1") << true << 200;
    QTest::newRow("unknown own page, a viewer") << false << QByteArray("/.tavro/nothing") << true << 404;
    QTest::newRow("login") << false << QByteArray("/.tavro/login") << false << 200;
}

void tst_Status::behindTheLogin()
{
    if (!m_guarded) {
        m_guarded = std::make_unique<ServiceProcess>();
        m_guardedVideoPort = ServiceProcess::freePort();
        m_guardedEventPort = ServiceProcess::freePort();
        QProcess add;
        add.start(m_guarded->program(), {"--add-user", "watcher", "--role", "viewer"});
        add.write("watcher-pw\n");
        add.closeWriteChannel();
        QVERIFY(add.waitForFinished(30000) && add.exitCode() == 0);
        QVERIFY(startService(m_guarded.get(), m_guardedVideoPort, m_guardedEventPort));
    }
    QFETCH(bool, video);
    QFETCH(QByteArray, path);
    QFETCH(bool, credentials);
    QFETCH(int, status);
    const Headers basic{{"Authorization", "Basic " + QByteArray("watcher:watcher-pw").toBase64()}};
    const HttpResponse response = get(video ? m_guardedVideoPort : m_guardedEventPort, path, credentials ? basic : Headers{});
    QCOMPARE(response.status, status);
    if (status != 200)
        QVERIFY(!response.body.contains("TAVRO status") && !response.body.contains("tavro_"));
}

void tst_Status::cleanupTestCase()
{
    QVERIFY(m_service->stop(SIGTERM));
    if (m_guarded)
        QVERIFY(m_guarded->stop(SIGTERM));
}

QTEST_GUILESS_MAIN(tst_Status)
#include "tst_status.moc"
