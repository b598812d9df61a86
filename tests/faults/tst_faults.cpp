#include "CentralPeer.h"
#include "FakeDvr.h"
#include "HttpTestClient.h"
#include "ServiceProcess.h"
#include "Settings.h"
#include "TestSite.h"
#include "proto/svc.pb.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

constexpr int BigConfigurationSize = 5000;

// A configuration of as many DVRs as doors, named after the prefix.
Packet configuration(const QString &prefix, int size)
{
    Packet packet;
    packet.set_client_id("site-1");
    SystemData *data = packet.mutable_data();
    for (int i = 1; i <= size; ++i) {
        DVR *dvr = data->add_dvrs();
        dvr->set_id(i);
        dvr->set_name(QStringLiteral("%1-%2").arg(prefix).arg(i).toStdString());
        dvr->set_ip("127.0.0.1");
        Door *door = data->add_doors();
        door->set_id(i);
        door->set_name(QStringLiteral("%1-door-%2").arg(prefix).arg(i).toStdString());
        door->set_io_id(1);
    }
    return packet;
}

// One stream "Main" with channel 1 per DVR, all on one output port.
SiteConfig videoSite(const QList<QPair<QString, quint16>> &dvrs, quint16 outPort)
{
    SiteConfig site;
    for (const auto &named : dvrs) {
        const int id = site.dvrs.size() + 1;
        site.dvrs.append({id, named.first, QStringLiteral("127.0.0.1"), {}, {}});
        site.streams.append({id, QStringLiteral("Main"), id, named.second, outPort, {1}});
    }
    return site;
}

// Opens the database as the service would at its next start. Empty when
// it is sound and holds exactly one of the two configurations.
QString checkOldOrNew(const QString &path, bool *isNew)
{
    Settings settings(path);
    QSqlQuery integrity(QStringLiteral("PRAGMA integrity_check"));
    if (!integrity.next() || integrity.value(0).toString() != QLatin1String("ok"))
        return QStringLiteral("integrity check failed");
    const QList<DVRInfo> dvrs = settings.dvrs();
    const int doors = settings.doors().size();
    if (dvrs.size() == 1 && doors == 1 && dvrs.first().name == QLatin1String("Old-1")) {
        *isNew = false;
        return QString();
    }
    if (dvrs.size() == BigConfigurationSize && doors == BigConfigurationSize) {
        *isNew = true;
        return QString();
    }
    return QStringLiteral("%1 DVRs and %2 doors").arg(dvrs.size()).arg(doors);
}

// A browser watching one stream; counts the DVR snapshots among the parts.
std::unique_ptr<HttpTestClient> watch(quint16 port, const QByteArray &path)
{
    auto viewer = std::make_unique<HttpTestClient>(port);
    viewer->setFrameMarker("\r\n\r\nJPEG /snapshot");
    viewer->get(path);
    return viewer;
}

} // namespace

Q_DECLARE_METATYPE(FakeDvr::Mode)

class tst_Faults : public QObject
{
    Q_OBJECT

private slots:
    void killDuringConfigurationSync();
    void brokenDvrDoesNotStopTheOthers_data();
    void brokenDvrDoesNotStopTheOthers();
    void centralVanishesAndComesBack();
    void stopsQuicklyWhileEverythingHangs();

private:
    // Starts a service connected to central and gives it the old
    // configuration; then publishes the big one.
    void startSync(ServiceProcess &service, CentralPeer &central);
};

void tst_Faults::startSync(ServiceProcess &service, CentralPeer &central)
{
    service.linkTo(central);
    QVERIFY(service.start());
    QVERIFY(central.waitForSubscriber());
    central.publish(configuration(QStringLiteral("Old"), 1));
    QVERIFY(service.waitForLog(QStringLiteral("  Loaded 1 DVRs")));
    central.publish(configuration(QStringLiteral("New"), BigConfigurationSize));
}

void tst_Faults::killDuringConfigurationSync()
{
    // How long the big configuration takes to be stored and loaded, so that
    // the kills below fall before, during and after the write.
    qint64 syncMs = 0;
    {
        CentralPeer central;
        ServiceProcess service;
        QElapsedTimer clock;
        startSync(service, central);
        clock.start();
        QVERIFY(service.waitForLog(QStringLiteral("  Loaded %1 DVRs").arg(BigConfigurationSize), 60000));
        syncMs = clock.elapsed();
        QVERIFY(service.stop(SIGTERM));
        bool isNew = false;
        const QString problem = checkOldOrNew(service.directory() + QStringLiteral("/settings.db"), &isNew);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QVERIFY(isNew);
    }

    constexpr int Kills = 20;
    int newKept = 0;
    for (int i = 0; i < Kills; ++i) {
        CentralPeer central;
        ServiceProcess service;
        startSync(service, central);
        QTest::qWait(int(syncMs * i / (Kills - 1)));
        QVERIFY(service.stop(SIGKILL));
        QCOMPARE(service.process().exitStatus(), QProcess::CrashExit);

        bool isNew = false;
        const QString problem = checkOldOrNew(service.directory() + QStringLiteral("/settings.db"), &isNew);
        QVERIFY2(problem.isEmpty(), qPrintable(QStringLiteral("kill %1: %2").arg(i).arg(problem)));
        newKept += isNew;
    }
    qInfo("%d of %d kills kept the new configuration, the others the old one", newKept, Kills);
}

void tst_Faults::brokenDvrDoesNotStopTheOthers_data()
{
    QTest::addColumn<FakeDvr::Mode>("mode");
    QTest::newRow("never answers") << FakeDvr::Mode::Hang;
    QTest::newRow("resets every connection") << FakeDvr::Mode::Reset;
    QTest::newRow("answers garbage") << FakeDvr::Mode::Garbage;
}

void tst_Faults::brokenDvrDoesNotStopTheOthers()
{
    QFETCH(FakeDvr::Mode, mode);
    FakeDvr good;
    FakeDvr bad;
    CentralPeer central;
    ServiceProcess service;
    const quint16 videoPort = ServiceProcess::freePort();
    QVERIFY(TestSite::store(service.directory(), videoSite({{QStringLiteral("Good"), good.port()}, {QStringLiteral("Bad"), bad.port()}}, videoPort)));
    service.linkTo(central);
    QVERIFY(service.start());
    QVERIFY2(service.waitForLog(QStringLiteral("VideoServer started on port %1").arg(videoPort)),
             qPrintable(service.messages().join(QLatin1Char('\n'))));

    const auto goodViewer = watch(videoPort, "/Good/Main/1");
    const auto badViewer = watch(videoPort, "/Bad/Main/1");
    QTRY_VERIFY(goodViewer->frames() >= 2 && badViewer->frames() >= 2);

    bad.setMode(mode);
    const int goodBefore = goodViewer->frames();
    const int badRequestsBefore = bad.requestCount();
    // Two failed fetches: with a DVR that never answers, the second comes
    // only after the first has timed out.
    QTRY_VERIFY_WITH_TIMEOUT(bad.requestCount() >= badRequestsBefore + 2, 20000);
    QTRY_VERIFY(goodViewer->frames() >= goodBefore + 10);
    const int badFrames = badViewer->frames();

    bad.setMode(FakeDvr::Mode::Serve);
    QTRY_VERIFY_WITH_TIMEOUT(badViewer->frames() > badFrames, 15000);
    QCOMPARE(service.process().state(), QProcess::Running);

    QVERIFY(service.stop(SIGTERM));
    QCOMPARE(service.process().exitCode(), 0);
}

void tst_Faults::centralVanishesAndComesBack()
{
    FakeDvr dvr;
    auto central = std::make_unique<CentralPeer>();
    const QString publishEndpoint = central->publishEndpoint();
    const QString pullEndpoint = central->pullEndpoint();
    ServiceProcess service;
    const quint16 videoPort = ServiceProcess::freePort();
    QVERIFY(TestSite::store(service.directory(), videoSite({{QStringLiteral("North"), dvr.port()}}, videoPort)));
    service.linkTo(*central);
    QVERIFY(service.start());
    QVERIFY(central->waitForSubscriber());

    central->publish(CentralPeer::ping(7));
    Packet packet;
    QVERIFY(central->waitForPacket(&packet));
    QVERIFY(packet.has_hello());
    central->publish(CentralPeer::ping(7));
    QVERIFY(central->waitForPacket(&packet));
    QVERIFY(packet.has_pong());
    const int sessionNumber = packet.pong().number();

    const auto viewer = watch(videoPort, "/North/Main/1");
    QTRY_VERIFY(viewer->frames() >= 2);

    central.reset();
    const int framesBefore = viewer->frames();
    QTRY_VERIFY(viewer->frames() >= framesBefore + 10);

    // Central restarted: same address, a new ping number.
    central = std::make_unique<CentralPeer>(publishEndpoint, pullEndpoint);
    QVERIFY(central->waitForSubscriber(10000));
    central->publish(CentralPeer::ping(8));
    QVERIFY(central->waitForPacket(&packet, 10000));
    QVERIFY2(packet.has_hello(), packet.DebugString().c_str());
    QCOMPARE(packet.client_id(), std::string("site-1"));
    central->publish(CentralPeer::ping(8));
    QVERIFY(central->waitForPacket(&packet));
    QVERIFY(packet.has_pong());
    QCOMPARE(packet.pong().number(), sessionNumber);

    const int framesAfter = viewer->frames();
    QTRY_VERIFY(viewer->frames() >= framesAfter + 5);
    QVERIFY(service.stop(SIGTERM));
    QCOMPARE(service.process().exitCode(), 0);
}

void tst_Faults::stopsQuicklyWhileEverythingHangs()
{
    FakeDvr hanging;
    hanging.setMode(FakeDvr::Mode::Hang);
    const quint16 deadPort = ServiceProcess::freePort();
    ServiceProcess service;
    const quint16 videoPort = ServiceProcess::freePort();
    SiteConfig site = videoSite({{QStringLiteral("Hanging"), hanging.port()}, {QStringLiteral("Dead"), deadPort}}, videoPort);
    site.ios.append({5, QStringLiteral("Lobby"), 1, 0, hanging.port(), true, true});
    QVERIFY(TestSite::store(service.directory(), site));
    // Nothing listens where the service looks for Central.
    const quint16 eventPort = service.linkTo(ServiceProcess::freePort(), ServiceProcess::freePort());
    QVERIFY(service.start());
    QVERIFY2(service.waitForLog(QStringLiteral("VideoServer started on port %1").arg(videoPort)),
             qPrintable(service.messages().join(QLatin1Char('\n'))));

    const auto hangingViewer = watch(videoPort, "/Hanging/Main/1");
    const auto deadViewer = watch(videoPort, "/Dead/Main/1");
    // Asking for its state starts the polling of the IO module.
    const auto stateReader = watch(eventPort, "/read?layout=5");
    const QString snapshot = QStringLiteral("/snapshot0.jpg");
    const QString alarmPage = QStringLiteral("/alarm.htm");
    QTRY_VERIFY2(hanging.requestCount(snapshot) >= 1 && hanging.requestCount(alarmPage) >= 1,
                 qPrintable(hanging.paths().join(QLatin1Char(' '))));

    QElapsedTimer clock;
    clock.start();
    QVERIFY(service.stop(SIGTERM));
    const qint64 stopMs = clock.elapsed();
    QCOMPARE(service.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.process().exitCode(), 0);
    QCOMPARE(service.messages().last(), QStringLiteral("Service stopped!"));
    QVERIFY2(stopMs < 2000, qPrintable(QStringLiteral("stopping took %1 ms").arg(stopMs)));
}

QTEST_GUILESS_MAIN(tst_Faults)
#include "tst_faults.moc"
