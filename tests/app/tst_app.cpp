#include "CentralPeer.h"
#include "FakeDvr.h"
#include "ServiceProcess.h"
#include "Settings.h"
#include "proto/svc.pb.h"

#include <QFile>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>

namespace {

// One GET on a fresh connection; the whole response, or empty when the
// server did not answer within the time-out.
QByteArray httpGet(quint16 port, const QByteArray &path, int timeoutMs = 5000)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(timeoutMs))
        return QByteArray();
    socket.write("GET " + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    QByteArray response;
    while (socket.waitForReadyRead(timeoutMs))
        response += socket.readAll();
    return response + socket.readAll();
}

int portOf(const QString &endpoint)
{
    return endpoint.section(QLatin1Char(':'), -1).toInt();
}

Packet ping(int number)
{
    Packet packet;
    packet.set_client_id("central");
    packet.mutable_ping()->set_number(number);
    return packet;
}

Packet siteData(quint16 outPort, quint16 dvrPort)
{
    Packet packet;
    packet.set_client_id("site-1");
    SystemData *data = packet.mutable_data();
    DVR *dvr = data->add_dvrs();
    dvr->set_id(3);
    dvr->set_name("North");
    dvr->set_ip("127.0.0.1");
    Stream *stream = data->add_streams();
    stream->set_id(1);
    stream->set_name("Main");
    stream->set_dvr_id(3);
    stream->set_in_port(dvrPort);
    stream->set_out_port(outPort);
    stream->set_channels("[\"1\"]");
    IO *io = data->add_ios();
    io->set_id(5);
    io->set_name("Lobby");
    io->set_dvr_id(3);
    io->set_port(dvrPort);
    return packet;
}

} // namespace

// Drives the real service binary in a directory of its own.
class tst_App : public QObject
{
    Q_OBJECT

private slots:
    void serviceStartsInAnEmptyDirectoryAndStopsOnSignal_data();
    void serviceStartsInAnEmptyDirectoryAndStopsOnSignal();
    void commandLine_data();
    void commandLine();
    void installAndUninstallTheUnit();
    void registersAndRestartsServersOnNewConfiguration();
    void serversAnswerWhileCentralNeverReads();
    void storedLayoutPageIsServed();
};

void tst_App::serviceStartsInAnEmptyDirectoryAndStopsOnSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void tst_App::serviceStartsInAnEmptyDirectoryAndStopsOnSignal()
{
    QFETCH(int, signal);
    ServiceProcess service;
    QVERIFY(service.start());
    QVERIFY(service.waitForLog(QStringLiteral("  Push: tcp://127.0.0.1:5002")));

    QVERIFY(QFile::exists(service.directory() + QStringLiteral("/settings.db")));
    QVERIFY(QFile::exists(service.directory() + QStringLiteral("/settings.ini")));

    QVERIFY(service.stop(signal));
    QCOMPARE(service.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.process().exitCode(), 0);

    const QStringList lines = service.messages();
    const QStringList expectedStart = {
        QStringLiteral("Service started"),
        QStringLiteral("void Config::load()"),
        QStringLiteral("  Loaded 0 DVRs"),
        QStringLiteral("  Loaded 0 Streams"),
        QStringLiteral("  Loaded 0 IOs"),
        QStringLiteral("  Loaded 0 Doors"),
        QStringLiteral("  Sub: tcp://127.0.0.1:5001"),
        QStringLiteral("  Push: tcp://127.0.0.1:5002"),
    };
    QCOMPARE(lines.mid(0, expectedStart.size()), expectedStart);
    QVERIFY2(lines.indexOf(QStringLiteral("Stopping service")) > 0, qPrintable(lines.join(QLatin1Char('\n'))));
    QCOMPARE(lines.last(), QStringLiteral("Service stopped!"));
}

void tst_App::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("usageOnStdout");
    QTest::newRow("help") << QStringList({QStringLiteral("--help")}) << 0 << true;
    QTest::newRow("no argument") << QStringList() << 0 << true;
    QTest::newRow("unknown option") << QStringList({QStringLiteral("--frobnicate")}) << 2 << false;
    QTest::newRow("two commands") << QStringList({QStringLiteral("--install"), QStringLiteral("--uninstall")}) << 2 << false;
}

void tst_App::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(bool, usageOnStdout);
    ServiceProcess tavro;
    QVERIFY(tavro.start(arguments));
    QVERIFY(tavro.process().waitForFinished(10000));
    QCOMPARE(tavro.process().exitCode(), exitCode);
    const QByteArray usage = usageOnStdout ? tavro.process().readAllStandardOutput() : tavro.errorOutput();
    QVERIFY(usage.contains("Usage: tavro"));
    QVERIFY(usage.contains("--service"));
    QVERIFY(!QFile::exists(tavro.directory() + QStringLiteral("/settings.db")));
}

void tst_App::installAndUninstallTheUnit()
{
    ServiceProcess install;
    const QString program = install.program();
    const QString units = install.directory() + QStringLiteral("/units");
    QVERIFY(install.start({QStringLiteral("--install"), QStringLiteral("--unit-dir"), units}));
    QVERIFY(install.process().waitForFinished(10000));
    QCOMPARE(install.process().exitCode(), 0);
    QCOMPARE(install.messages(), QStringList({QStringLiteral("Service installed!")}));

    QFile unit(units + QStringLiteral("/tavro.service"));
    QVERIFY(unit.open(QIODevice::ReadOnly));
    const QByteArray text = unit.readAll();
    unit.close();
    QVERIFY(text.contains("ExecStart=" + program.toUtf8() + " --service\n"));
    QVERIFY(text.contains("WorkingDirectory=" + install.directory().toUtf8() + "\n"));
    QVERIFY(!QFile::exists(install.directory() + QStringLiteral("/settings.db")));

    QProcess uninstall;
    uninstall.start(program, {QStringLiteral("--uninstall"), QStringLiteral("--unit-dir"), units});
    QVERIFY(uninstall.waitForFinished(10000));
    QCOMPARE(uninstall.exitCode(), 0);
    QCOMPARE(ServiceProcess::messages(uninstall.readAllStandardError()), QStringList({QStringLiteral("Service uninstalled!")}));
    QVERIFY(!unit.exists());
}

void tst_App::registersAndRestartsServersOnNewConfiguration()
{
    CentralPeer central;
    FakeDvr dvr;
    ServiceProcess service;
    service.writeIni(QStringLiteral("serverSendPort"), QString::number(portOf(central.publishEndpoint())));
    service.writeIni(QStringLiteral("serverRecvPort"), QString::number(portOf(central.pullEndpoint())));
    service.writeIni(QStringLiteral("id"), QStringLiteral("site-1"));
    service.writeIni(QStringLiteral("eventPort"), QString::number(ServiceProcess::freePort()));
    QVERIFY(service.start());
    QVERIFY(central.waitForSubscriber());

    central.publish(ping(7));
    Packet hello;
    QVERIFY(central.waitForPacket(&hello));
    QVERIFY(hello.has_hello());
    QCOMPARE(hello.client_id(), std::string("site-1"));
    QVERIFY(service.waitForLog(QStringLiteral("Registering service to Central")));

    const quint16 firstPort = ServiceProcess::freePort();
    central.publish(siteData(firstPort, dvr.port()));
    QVERIFY(service.waitForLog(QStringLiteral("VideoServer started on port %1").arg(firstPort)));
    QVERIFY(service.messages().contains(QStringLiteral("  Loaded 1 Streams")));
    QVERIFY(httpGet(firstPort, "/").contains("<li><a href=\"/North\">North</a></li>"));

    const quint16 secondPort = ServiceProcess::freePort();
    central.publish(siteData(secondPort, dvr.port()));
    QVERIFY(service.waitForLog(QStringLiteral("VideoServer started on port %1").arg(secondPort)));
    QVERIFY(service.messages().contains(QStringLiteral("VideoServer stopped")));
    QVERIFY(httpGet(secondPort, "/North/Main").startsWith("HTTP/1.1 404 Not found !\r\n"));
    QVERIFY(httpGet(firstPort, "/", 1000).isEmpty());

    QVERIFY(service.stop(SIGTERM));
    QCOMPARE(service.process().exitCode(), 0);
}

void tst_App::serversAnswerWhileCentralNeverReads()
{
    CentralPeer central;
    const quint16 videoPort = ServiceProcess::freePort();
    const quint16 eventPort = ServiceProcess::freePort();
    ServiceProcess service;
    {
        Settings settings(service.directory() + QStringLiteral("/settings.db"));
        StreamInfo stream;
        stream.id = 1;
        stream.name = QStringLiteral("Main");
        stream.outPort = videoPort;
        stream.channels = {1};
        QVERIFY(settings.insertStream(stream));
    }
    // Nobody ever listens where the service pushes.
    service.writeIni(QStringLiteral("serverSendPort"), QString::number(portOf(central.publishEndpoint())));
    service.writeIni(QStringLiteral("serverRecvPort"), QString::number(ServiceProcess::freePort()));
    service.writeIni(QStringLiteral("eventPort"), QString::number(eventPort));
    QVERIFY(service.start());
    QVERIFY(central.waitForSubscriber());
    QVERIFY(service.waitForLog(QStringLiteral("VideoServer started on port %1").arg(videoPort)));

    central.publish(ping(1));
    for (int i = 0; i < 1500; ++i)
        central.publish(ping(1));
    QVERIFY(service.waitForLog(QStringLiteral("Registering service to Central")));

    QVERIFY(httpGet(videoPort, "/").startsWith("HTTP/1.1 404 Not found !\r\n"));
    QVERIFY(httpGet(eventPort, "/").startsWith("HTTP/1.1 200 OK.\r\n"));

    QVERIFY(service.stop(SIGTERM));
    QCOMPARE(service.process().exitCode(), 0);
}

void tst_App::storedLayoutPageIsServed()
{
    CentralPeer central;
    FakeDvr dvr;
    const quint16 eventPort = ServiceProcess::freePort();
    ServiceProcess service;
    service.writeIni(QStringLiteral("serverSendPort"), QString::number(portOf(central.publishEndpoint())));
    service.writeIni(QStringLiteral("serverRecvPort"), QString::number(portOf(central.pullEndpoint())));
    service.writeIni(QStringLiteral("id"), QStringLiteral("site-1"));
    service.writeIni(QStringLiteral("eventPort"), QString::number(eventPort));
    QVERIFY(service.start());
    QVERIFY(central.waitForSubscriber());

    central.publish(siteData(ServiceProcess::freePort(), dvr.port()));
    Packet command;
    command.set_client_id("site-1");
    command.mutable_command()->set_type(GENERATE_IO);
    command.mutable_command()->add_str_rs("5");
    const QByteArray page = QStringLiteral("<html><body>Lobby – Tür</body></html>").toUtf8();
    command.mutable_command()->add_str_rs(page.toStdString());
    central.publish(command);

    const QString byName = service.directory() + QStringLiteral("/html/North/Lobby.html");
    QVERIFY(service.waitForLog(QStringLiteral("  Generating: %1").arg(byName)));
    QTRY_VERIFY(QFile::exists(byName));

    const QByteArray served = httpGet(eventPort, "/North/Lobby.html");
    QVERIFY2(served.startsWith("HTTP/1.1 200 OK.\r\n"), served.constData());
    QVERIFY(served.contains("Content-Type: text/html"));
    QVERIFY(served.endsWith("\r\n\r\n" + page + "\r\n"));
    const QByteArray index = httpGet(eventPort, "/");
    QVERIFY2(index.contains("<li><a href=\"/North/Lobby.html\">/North/Lobby</a></li>"), index.constData());

    QVERIFY(service.stop(SIGTERM));
}

QTEST_GUILESS_MAIN(tst_App)
#include "tst_app.moc"
