#include "CentralPeer.h"
#include "CurveKeyPair.h"
#include "FakeDvr.h"
#include "HttpTestClient.h"
#include "ServiceProcess.h"
#include "Settings.h"
#include "TestSite.h"
#include "proto/svc.pb.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>
#include <functional>
#include <memory>

namespace {

const std::string siteId = "site-1";
const std::string dvrPassword = "north-secret-7";
const QString refusedPrefix = QStringLiteral("Refused the configuration from Central, keeping the stored one: ");

// DVR 1 North with stream 1 (channel 1) on videoPort, IO module 1 Gate.
SiteConfig site(quint16 dvrPort, quint16 videoPort)
{
    return {{{1, "North", "127.0.0.1", "admin", QString::fromStdString(dvrPassword)}},
            {{1, "Main", 1, dvrPort, videoPort, {1}}},
            {{1, "Gate", 1, 0, 8081, false, false}},
            {}};
}

Packet generateIO(int ioId, const QByteArray &page)
{
    Packet packet;
    packet.set_client_id(siteId);
    packet.mutable_command()->set_type(GENERATE_IO);
    packet.mutable_command()->add_str_rs(std::to_string(ioId));
    packet.mutable_command()->add_str_rs(page.toStdString());
    return packet;
}

void addStreams(SystemData *data, int count, int firstPort)
{
    for (int i = 0; i < count; ++i) {
        Stream *stream = data->add_streams();
        stream->set_id(100 + i);
        stream->set_dvr_id(1);
        stream->set_in_port(80);
        stream->set_out_port(firstPort + i);
    }
}

// The video part of site(), stored as the service's configuration before it starts.
bool storeSite(const ServiceProcess &service, quint16 dvrPort, quint16 videoPort)
{
    SiteConfig video = site(dvrPort, videoPort);
    video.ios.clear();
    return TestSite::store(service.directory(), video);
}

QString videoStarted(quint16 port)
{
    return QStringLiteral("VideoServer started on port %1").arg(port);
}

// True once the video port streams channel 1 of North.
bool streams(quint16 videoPort)
{
    HttpTestClient viewer(videoPort);
    return viewer.get("/North/Main/1").status == 200 && viewer.waitForFrames(2);
}

// Forwards one TCP port to another and keeps every byte that passes, both ways.
class Relay : public QObject
{
public:
    explicit Relay(quint16 target)
        : m_target(target)
    {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *in = m_server.nextPendingConnection()) {
                auto *out = new QTcpSocket(in);
                out->connectToHost(QHostAddress::LocalHost, m_target);
                pipe(in, out);
                pipe(out, in);
            }
        });
    }

    quint16 port() const { return m_server.serverPort(); }
    const QByteArray &seen() const { return m_seen; }

private:
    void pipe(QTcpSocket *from, QTcpSocket *to)
    {
        connect(from, &QTcpSocket::readyRead, this, [this, from, to] {
            const QByteArray bytes = from->readAll();
            m_seen += bytes;
            to->write(bytes);
        });
        connect(from, &QTcpSocket::disconnected, to, &QTcpSocket::disconnectFromHost);
    }

    quint16 m_target;
    QTcpServer m_server;
    QByteArray m_seen;
};

} // namespace

class tst_Link : public QObject
{
    Q_OBJECT

private slots:
    void encryptedLinkHidesTheConfigurationFromARelay();
    void spoofedCentralIsNeverBelieved_data();
    void spoofedCentralIsNeverBelieved();
    void refusedConfigurationsKeepTheStoredOne();
    void burstThenDisconnectNeverAborts();
    void descriptorReserveKeepsTheLinkUp();
    void layoutPagesFollowTheConfiguration();
};

// tavro-central with its key pair, letting in only this service; the service
// pins Central's key. Both links pass through relays that record the bytes.
void tst_Link::encryptedLinkHidesTheConfigurationFromARelay()
{
    QTemporaryDir dir;
    const QString centralKey = dir.filePath(QStringLiteral("central.key"));
    QProcess maker;
    maker.start(QStringLiteral(CENTRAL_TOOL), {QStringLiteral("--make-key"), centralKey});
    QVERIFY(maker.waitForFinished());
    QCOMPARE(maker.exitCode(), 0);
    CurveKeyPair central;
    QString error;
    QVERIFY2(CurveKeyPair::read(centralKey, &central, &error), qPrintable(error));

    ServiceProcess service;
    QVERIFY(service.start({QStringLiteral("--show-public-key")}));
    QVERIFY(service.process().waitForFinished());
    const QByteArray serviceKey = service.process().readAllStandardOutput().trimmed();
    QVERIFY(CurveKeyPair::isKey(serviceKey));

    QFile siteFile(dir.filePath(QStringLiteral("site.json")));
    QVERIFY(siteFile.open(QIODevice::WriteOnly));
    siteFile.write(R"({"dvrs": [{"id": 1, "name": "North", "ip": "127.0.0.1", "password": ")"
                   + QByteArray::fromStdString(dvrPassword) + "\"}]}");
    siteFile.close();
    const quint16 publishPort = ServiceProcess::freePort();
    const quint16 pullPort = ServiceProcess::freePort();
    QProcess tool;
    tool.start(QStringLiteral(CENTRAL_TOOL),
               {"--site", siteFile.fileName(), "--publish-port", QString::number(publishPort), "--pull-port",
                QString::number(pullPort), "--ping-interval", "200", "--secret-key", centralKey,
                "--allow-client", QString::fromLatin1(serviceKey)});
    QVERIFY(tool.waitForStarted());
    auto stopTool = qScopeGuard([&tool] { tool.kill(); tool.waitForFinished(); });

    Relay publishRelay(publishPort);
    Relay pullRelay(pullPort);
    service.linkTo(publishRelay.port(), pullRelay.port());
    service.writeIni(QStringLiteral("serverPublicKey"), QString::fromLatin1(central.publicKey));
    QVERIFY(service.start());
    QVERIFY2(service.waitForLog(QStringLiteral("  Loaded 1 DVRs")), service.errorOutput().constData());
    QVERIFY(service.messages().contains(QStringLiteral("The link to Central is encrypted, this service's public key is %1")
                                            .arg(QString::fromLatin1(serviceKey))));
    QVERIFY(publishRelay.seen().size() > 200);
    QVERIFY(!publishRelay.seen().contains(QByteArray::fromStdString(dvrPassword)));
    QVERIFY(!publishRelay.seen().contains("North"));
    QVERIFY(!pullRelay.seen().contains("site-1"));
    QVERIFY(service.stop(SIGTERM));
}

void tst_Link::spoofedCentralIsNeverBelieved_data()
{
    QTest::addColumn<bool>("encrypted");
    QTest::newRow("another key") << true;
    QTest::newRow("plain") << false;
}

// A Central without the pinned key: never a handshake, so never a packet;
// one log line for the whole outage, and the stored site goes on serving.
void tst_Link::spoofedCentralIsNeverBelieved()
{
    QFETCH(bool, encrypted);
    const CurveKeyPair genuine = CurveKeyPair::generate();
    const CurveKeyPair impostor = CurveKeyPair::generate();
    CentralPeer spoof(QStringLiteral("tcp://127.0.0.1:*"), QStringLiteral("tcp://127.0.0.1:*"),
                      encrypted ? impostor.secretKey : QByteArray());
    FakeDvr dvr;
    ServiceProcess service;
    const quint16 videoPort = ServiceProcess::freePort();
    QVERIFY(storeSite(service, dvr.port(), videoPort));
    service.linkTo(spoof);
    service.writeIni(QStringLiteral("serverPublicKey"), QString::fromLatin1(genuine.publicKey));
    QVERIFY(service.start());

    // Several retries fit in this time, each refused.
    QVERIFY(!spoof.waitForSubscriber(3000));
    const QString failed = QStringLiteral("No handshake with Central at tcp://127.0.0.1:%1 (not Central, or the keys do not match); retrying")
                               .arg(spoof.publishPort());
    QCOMPARE(service.messages().count(failed), 1);
    QVERIFY(streams(videoPort));
    QVERIFY(service.stop(SIGTERM));
    QVERIFY(service.start());
    QTRY_COMPARE(service.messages().count(videoStarted(videoPort)), 2);
    QVERIFY(streams(videoPort));
    QVERIFY(service.stop(SIGTERM));
    QVERIFY(!service.messages().contains(QStringLiteral("Registering service to Central")));
}

// Each of these is refused whole, in one log line, and the site keeps its
// configuration, also across a restart. Nothing the service sends back
// carries any of it.
void tst_Link::refusedConfigurationsKeepTheStoredOne()
{
    FakeDvr dvr;
    CentralPeer central;
    ServiceProcess service;
    const quint16 eventPort = service.linkTo(central);
    const quint16 videoPort = ServiceProcess::freePort();
    const Packet good = TestSite::packet(site(dvr.port(), videoPort), siteId);
    QVERIFY(service.start());
    QVERIFY(central.waitForSubscriber());
    central.publish(CentralPeer::ping(1));
    central.publish(good);
    QVERIFY(service.waitForLog(QStringLiteral("  Loaded 1 DVRs")));

    using Change = std::function<void(SystemData *)>;
    const QList<QPair<Change, QString>> refused = {
        {[](SystemData *d) { d->mutable_streams(0)->set_out_port(70000); }, "stream 1: out_port 70000 is not a port from 1 to 65535"},
        {[](SystemData *d) { d->mutable_streams(0)->set_out_port(0); }, "stream 1: out_port 0 is not a port from 1 to 65535"},
        {[](SystemData *d) { d->mutable_streams(0)->set_in_port(-1); }, "stream 1: in_port -1 is not a port from 1 to 65535"},
        {[eventPort](SystemData *d) { d->mutable_streams(0)->set_out_port(eventPort); },
         QStringLiteral("stream 1: out_port %1 is the events server's port").arg(eventPort)},
        {[](SystemData *d) { d->mutable_ios(0)->set_port(65536); }, "IO module 1: port 65536 is not a port from 1 to 65535"},
        {[](SystemData *d) { d->mutable_dvrs(0)->set_ip("127.0.0.3:7777/internal/admin?"); },
         "DVR 1: ip \"127.0.0.3:7777/internal/admin?\" is not a host name or an IP address"},
        {[](SystemData *d) { d->mutable_dvrs(0)->set_ip("admin@10.0.0.1"); }, "DVR 1: ip \"admin@10.0.0.1\" is not a host name or an IP address"},
        {[](SystemData *d) { d->mutable_dvrs(0)->set_ip(""); }, "DVR 1: ip \"\" is not a host name or an IP address"},
        {[](SystemData *d) { addStreams(d, 65000, 1000); }, "65001 streams, at most 10000 allowed"},
        {[](SystemData *d) { addStreams(d, 2000, 20000); }, "2001 listening ports, at most 2000 allowed"},
        {[](SystemData *d) { for (int i = 0; i < 10000; ++i) d->add_dvrs()->set_ip("10.0.0.9"); }, "10001 DVRs, at most 10000 allowed"},
        {[](SystemData *d) { d->mutable_streams(0)->set_channels(QByteArray("[") + QByteArray("\"1\",").repeated(10000) + "\"2\"]"); },
         "10001 channels, at most 10000 allowed"},
    };
    for (const auto &change : refused) {
        Packet bad = good;
        change.first(bad.mutable_data());
        central.publish(bad);
        QVERIFY2(service.waitForLog(refusedPrefix + change.second), qPrintable(change.second));
    }
    QCOMPARE(service.messages().count(QStringLiteral("  Loaded 1 DVRs")), 1);

    central.publish(CentralPeer::ping(1));
    QByteArray frame;
    int answers = 0;
    while (central.waitForFrame(&frame, 1000)) {
        ++answers;
        Packet packet;
        QVERIFY(packet.ParseFromArray(frame.constData(), frame.size()));
        QVERIFY2(packet.has_hello() || packet.has_pong(), packet.DebugString().c_str());
        QVERIFY(!frame.contains(QByteArray::fromStdString(dvrPassword)));
    }
    QCOMPARE(answers, 2);

    QVERIFY(service.stop(SIGTERM));
    QVERIFY(service.start());
    QTRY_COMPARE(service.messages().count(videoStarted(videoPort)), 2);
    QVERIFY(streams(videoPort));
    QCOMPARE(service.messages().count(QStringLiteral("  Loaded 1 DVRs")), 2);
    QVERIFY(service.stop(SIGTERM));
}

// A burst the service is still reading when Central goes away, twenty times
// over: the subscriber comes back every time, and nothing aborts.
void tst_Link::burstThenDisconnectNeverAborts()
{
    auto central = std::make_unique<CentralPeer>();
    const QString publish = central->publishEndpoint();
    const QString pull = central->pullEndpoint();
    ServiceProcess service;
    service.linkTo(central->publishPort(), central->pullPort());
    QVERIFY(service.start());
    for (int round = 1; round <= 20; ++round) {
        QVERIFY2(central->waitForSubscriber(10000), qPrintable(QStringLiteral("round %1").arg(round)));
        for (int i = 0; i < 100; ++i)
            central->publish(CentralPeer::ping(round));
        central.reset();
        central = std::make_unique<CentralPeer>(publish, pull);
    }
    QVERIFY(central->waitForSubscriber(10000));
    central->publish(CentralPeer::ping(99));
    Packet answer;
    QVERIFY(central->waitForPacket(&answer, 10000));
    QVERIFY(answer.has_hello());
    QVERIFY(service.stop(SIGTERM));
    QCOMPARE(service.process().exitCode(), 0);
}

// Stored ports beyond what the process can hold are left closed; the link
// to Central and the events server work all the same.
void tst_Link::descriptorReserveKeepsTheLinkUp()
{
    CentralPeer central;
    ServiceProcess service;
    {
        Settings settings(service.directory() + QStringLiteral("/settings.db"));
        QVERIFY(settings.beginTransaction());
        for (int i = 0; i < 1500; ++i) {
            StreamInfo stream;
            stream.id = i + 1;
            stream.outPort = 30000 + i;
            stream.inPort = 80;
            QVERIFY(settings.insertStream(stream));
        }
        QVERIFY(settings.commitTransaction());
    }
    const quint16 eventPort = service.linkTo(central);
    service.setDescriptorLimit(1024);
    QVERIFY(service.start());
    QVERIFY(central.waitForSubscriber(10000));
    central.publish(CentralPeer::ping(5));
    Packet answer;
    QVERIFY(central.waitForPacket(&answer, 10000));
    QVERIFY(answer.has_hello());
    QVERIFY(HttpTestClient(eventPort).get("/read?layout=1").status != 0);
    const QStringList skipped = service.messages().filter(QRegularExpression(QStringLiteral("^  Not listening on \\d+ ports: too few file descriptors$")));
    QCOMPARE(skipped.size(), 1);
    QVERIFY(service.stop(SIGTERM));
    QCOMPARE(service.process().exitCode(), 0);
}

// Pages go with the modules and DVRs that are no longer configured, only
// pages the service wrote; a page that would overfill the directory is refused.
void tst_Link::layoutPagesFollowTheConfiguration()
{
    CentralPeer central;
    ServiceProcess service;
    const QString html = service.directory() + QStringLiteral("/html");
    QVERIFY(QDir().mkpath(html + QStringLiteral("/images")));
    QFile logo(html + QStringLiteral("/images/logo.png"));
    QVERIFY(logo.open(QIODevice::WriteOnly));
    QFile filler(html + QStringLiteral("/filler.bin"));
    QVERIFY(filler.open(QIODevice::WriteOnly));
    QVERIFY(filler.resize((qint64(256) << 20) - 1000)); // sparse
    filler.close();
    service.linkTo(central);
    QVERIFY(service.start());
    QVERIFY(central.waitForSubscriber());

    Packet config = TestSite::packet(site(80, ServiceProcess::freePort()), siteId);
    IO *door = config.mutable_data()->add_ios();
    door->set_id(2);
    door->set_name("Door");
    door->set_dvr_id(1);
    door->set_port(8082);
    central.publish(config);
    QVERIFY(service.waitForLog(QStringLiteral("  Loaded 2 IOs")));
    central.publish(generateIO(1, "<p>gate</p>"));
    central.publish(generateIO(2, QByteArray(600, 'x')));
    QVERIFY(service.waitForLog(QStringLiteral("GENERATE_IO - refused, the layout directory would exceed 268435456 bytes")));
    QVERIFY(QFile::exists(html + "/North/1.html") && QFile::exists(html + "/North/Gate.html"));
    QVERIFY(!QFile::exists(html + "/North/2.html"));

    config.mutable_data()->mutable_ios()->DeleteSubrange(0, 1);
    central.publish(config);
    QVERIFY(service.waitForLog(QStringLiteral("Removing a layout page no longer configured: %1/North/Gate.html").arg(html)));
    QVERIFY(!QFile::exists(html + "/North/1.html"));
    QVERIFY(logo.exists() && filler.exists());
    QVERIFY(service.stop(SIGTERM));
}

QTEST_GUILESS_MAIN(tst_Link)

#include "tst_link.moc"
