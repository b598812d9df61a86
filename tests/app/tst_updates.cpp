#include "CentralPeer.h"
#include "FakeDvr.h"
#include "HttpTestClient.h"
#include "ServiceProcess.h"
#include "TestSite.h"
#include "proto/svc.pb.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

const QByteArray AlarmPage = "<blink>on</blink><blink>off</blink>"
                             "<select name=\"gpo1\"><option value=\"0\" selected>off</option></select>";

bool refuses(quint16 port)
{
    return !HttpTestClient(port).open(1000);
}

} // namespace

// A running service receives new configurations while browsers watch
// streams and read IO modules.
class tst_Updates : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void viewerAcrossUpdate_data();
    void viewerAcrossUpdate();
    void ioModuleAcrossUpdate_data();
    void ioModuleAcrossUpdate();
    void eventPortMoves();
    void burstAppliesTheLastOnly();

private:
    SiteConfig baseSite() const;
    int applied() const
    {
        static const QRegularExpression line("^Configuration applied in \\d+\\.\\d ms \\(reload \\d+\\.\\d ms\\)$");
        return m_service->messages().filter(line).size();
    }
    bool publishAndWait(const SiteConfig &site);

    std::unique_ptr<CentralPeer> m_central;
    std::unique_ptr<FakeDvr> m_dvr;
    std::unique_ptr<FakeDvr> m_other;
    std::unique_ptr<ServiceProcess> m_service;
    QList<quint16> m_ports; // the video ports the tests use; the first three are the base site's
    quint16 m_eventPort = 0;
};

void tst_Updates::initTestCase()
{
    m_central = std::make_unique<CentralPeer>();
    m_dvr = std::make_unique<FakeDvr>();
    m_other = std::make_unique<FakeDvr>();
    m_dvr->setAlarmPage(AlarmPage);
    for (int i = 0; i < 5; ++i)
        m_ports << ServiceProcess::freePort();
}

void tst_Updates::init()
{
    m_service = std::make_unique<ServiceProcess>();
    m_eventPort = m_service->linkTo(*m_central);
    QVERIFY(m_service->start());
    QVERIFY(m_central->waitForSubscriber());
    QVERIFY(publishAndWait(baseSite()));
}

void tst_Updates::cleanup()
{
    QVERIFY(m_service->stop(SIGTERM));
    m_service.reset();
}

SiteConfig tst_Updates::baseSite() const
{
    SiteConfig site;
    site.dvrs = {{3, "North", "127.0.0.1", {}, {}}, {4, "South", "127.0.0.1", {}, {}}};
    site.streams = {{1, "Main", 3, m_dvr->port(), m_ports[0], {1, 2}},
                    {2, "Back", 4, m_dvr->port(), m_ports[1], {1}},
                    {3, "Side", 3, m_dvr->port(), m_ports[2], {3}}};
    site.ios = {{5, "Lobby", 3, 0, m_dvr->port(), false, false}};
    return site;
}

bool tst_Updates::publishAndWait(const SiteConfig &site)
{
    const int before = applied();
    m_central->publish(TestSite::packet(site));
    return QTest::qWaitFor([&] { return applied() > before; }, 10000);
}

void tst_Updates::viewerAcrossUpdate_data()
{
    QTest::addColumn<SiteConfig>("site");
    QTest::addColumn<bool>("kept");
    QTest::addColumn<bool>("fromOther");
    QTest::addColumn<QList<quint16>>("closed");
    QTest::addColumn<QByteArray>("path");  // answered on the viewer's port after the update
    QTest::addColumn<QByteArray>("shows"); // in that answer

    const SiteConfig base = baseSite();
    QTest::newRow("identical") << base << true << false << QList<quint16>() << QByteArray("/North/Main")
                               << QByteArray("/North/Main/1");

    SiteConfig others = base;
    others.dvrs[0].name = "Nord";
    others.streams[0].name = "Haupt";
    others.streams[1].outPort = m_ports[3];
    others.streams.removeAt(2);
    others.streams.append({6, "New", 4, m_dvr->port(), m_ports[4], {2}});
    QTest::newRow("other streams, ports and names") << others << true << false
                                                    << QList<quint16>({m_ports[1], m_ports[2]})
                                                    << QByteArray("/Nord/Haupt") << QByteArray("/Nord/Haupt/1");

    SiteConfig moved = base;
    moved.streams[0].inPort = m_other->port();
    QTest::newRow("channel to another DVR address") << moved << true << true << QList<quint16>()
                                                    << QByteArray("/North/Main") << QByteArray("/North/Main/1");

    SiteConfig removed = base;
    removed.streams.removeAt(0);
    QTest::newRow("channel removed") << removed << false << false << QList<quint16>({m_ports[0]}) << QByteArray()
                                     << QByteArray();
}

void tst_Updates::viewerAcrossUpdate()
{
    QFETCH(SiteConfig, site);
    QFETCH(bool, kept);
    QFETCH(bool, fromOther);
    QFETCH(QList<quint16>, closed);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, shows);

    HttpTestClient viewer(m_ports[0]);
    QCOMPARE(viewer.get("/North/Main/1").status, 200);
    QVERIFY(viewer.waitForFrames(2));
    const int otherRequests = m_other->requestCount();

    const int before = applied();
    m_central->publish(TestSite::packet(site));
    if (!kept) {
        QVERIFY(viewer.waitClosed());
    } else {
        // A frame at least every second, through the update and a second after it.
        const QDeadlineTimer deadline(15000);
        for (int after = 0; after < 5 && !deadline.hasExpired(); after += applied() > before ? 1 : 0)
            QVERIFY2(viewer.waitForFrames(1, 1000), "a gap of more than a second");
    }
    QTRY_VERIFY(applied() > before);

    for (quint16 port : closed)
        QVERIFY2(refuses(port), qPrintable(QString::number(port)));
    if (!path.isEmpty()) {
        const HttpResponse page = HttpTestClient(m_ports[0]).get(path);
        QCOMPARE(page.status, 404);
        QVERIFY2(page.body.contains(shows), page.body.constData());
    }
    if (fromOther) {
        const int served = m_dvr->requestCount();
        QVERIFY(viewer.waitForFrames(3));
        QVERIFY(m_other->requestCount() >= otherRequests + 3);
        QVERIFY(m_dvr->requestCount() <= served + 1);
    }
}

void tst_Updates::ioModuleAcrossUpdate_data()
{
    QTest::addColumn<SiteConfig>("site");
    QTest::addColumn<bool>("kept");

    const SiteConfig base = baseSite();
    QTest::newRow("identical") << base << true;
    SiteConfig others = base;
    others.dvrs[0].name = "Nord";
    others.ios[0].name = "Hall";
    others.streams.removeAt(1);
    QTest::newRow("other changes") << others << true;
    SiteConfig removed = base;
    removed.ios.clear();
    QTest::newRow("module removed") << removed << false;
}

void tst_Updates::ioModuleAcrossUpdate()
{
    QFETCH(SiteConfig, site);
    QFETCH(bool, kept);

    HttpTestClient events(m_eventPort);
    QByteArray state;
    // The first read starts polling; the first poll follows two seconds later.
    QTRY_VERIFY_WITH_TIMEOUT(
        (state = events.get("/read?layout=5").body, QJsonDocument::fromJson(state).object().value("out").toObject().size() == 1),
        6000);
    QCOMPARE(events.get("/5?outputs=1,1").body, QByteArray("DONE\r\n"));
    const int submissions = m_dvr->queries().filter("gpo1=1&").size();
    QVERIFY(publishAndWait(site));

    if (!kept) {
        QVERIFY(m_service->messages().contains("  Dropped 1 queued output change(s) of removed IO module 5 (Lobby)"));
        return;
    }
    QCOMPARE(events.get("/read?layout=5").body, state);
    QTRY_VERIFY_WITH_TIMEOUT(m_dvr->queries().filter(QRegularExpression("^gpi1=1&gpi2=0&gpo1=1&rdm=\\d+$")).size()
                                 > submissions, 5000);
}

void tst_Updates::eventPortMoves()
{
    const quint16 moved = ServiceProcess::freePort();
    m_service->writeIni(QStringLiteral("eventPort"), QString::number(moved));
    QVERIFY(publishAndWait(baseSite()));
    QVERIFY(refuses(m_eventPort));
    QVERIFY(HttpTestClient(moved).get("/").body.contains("/North/Lobby.html"));
}

void tst_Updates::burstAppliesTheLastOnly()
{
    constexpr int Burst = 50;
    const int before = applied();
    SiteConfig site = baseSite();
    for (int i = 1; i <= Burst; ++i) {
        site.dvrs[0].name = QStringLiteral("North%1").arg(i);
        m_central->publish(TestSite::packet(site));
    }
    // Every packet before the last one has been applied or dropped by now.
    QTRY_VERIFY(HttpTestClient(m_ports[0]).get("/").body.contains("/North50"));
    QVERIFY2(applied() - before < 10, qPrintable(QString::number(applied() - before)));
}

QTEST_GUILESS_MAIN(tst_Updates)
#include "tst_updates.moc"
