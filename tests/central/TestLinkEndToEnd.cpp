#include "CentralPeer.h"
#include "CentralTests.h"
#include "ServiceProcess.h"
#include "proto/svc.pb.h"

#include <QtTest>

#include <csignal>
#include <memory>

namespace {

const std::string siteId = "site-1";

QString portOf(const QString &endpoint)
{
    return endpoint.section(QLatin1Char(':'), -1);
}

Packet ping(int number)
{
    Packet packet;
    packet.set_client_id("central");
    packet.mutable_ping()->set_number(number);
    return packet;
}

void pointAt(ServiceProcess &service, const QString &publishEndpoint, const QString &pullEndpoint)
{
    service.writeIni(QStringLiteral("serverSendPort"), portOf(publishEndpoint));
    service.writeIni(QStringLiteral("serverRecvPort"), portOf(pullEndpoint));
    service.writeIni(QStringLiteral("id"), QString::fromStdString(siteId));
    service.writeIni(QStringLiteral("eventPort"), QString::number(ServiceProcess::freePort()));
}

} // namespace

class TestLinkEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    // A burst the service is still reading when Central goes away, twenty
    // times over: the subscriber must come back every time, without abort.
    void burstThenDisconnectNeverAborts()
    {
        auto central = std::make_unique<CentralPeer>();
        const QString publish = central->publishEndpoint();
        const QString pull = central->pullEndpoint();
        ServiceProcess service;
        pointAt(service, publish, pull);
        QVERIFY(service.start());
        for (int round = 1; round <= 20; ++round) {
            QVERIFY2(central->waitForSubscriber(10000),
                     qPrintable(QStringLiteral("round %1: %2").arg(round).arg(QString::fromUtf8(service.errorOutput().right(300)))));
            for (int i = 0; i < 100; ++i)
                central->publish(ping(round));
            central.reset();
            central = std::make_unique<CentralPeer>(publish, pull);
        }
        QVERIFY(central->waitForSubscriber(10000));
        central->publish(ping(99));
        Packet answer;
        QVERIFY(central->waitForPacket(&answer, 10000));
        QVERIFY(answer.has_hello());
        QVERIFY(service.stop(SIGTERM));
        QCOMPARE(service.process().exitCode(), 0);
    }
};

int runLinkEndToEndTests(int argc, char **argv)
{
    TestLinkEndToEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestLinkEndToEnd.moc"
