#include "CentralPeer.h"
#include "FakeDvr.h"
#include "HttpTestClient.h"
#include "QtHttpCertificate.h"
#include "ServiceProcess.h"
#include "TestSite.h"
#include "proto/svc.pb.h"

#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// One GET on a fresh connection.
HttpResponse httpGet(quint16 port, const QByteArray &path, int timeoutMs = 5000)
{
    return HttpTestClient(port).get(path, {{"Connection", "close"}}, timeoutMs);
}

// A site with one DVR (the fake one) and one stream on videoPort, channels 1 and 2.
bool writeSite(const QString &directory, quint16 videoPort, quint16 dvrPort)
{
    return TestSite::store(directory, {{{3, "North", "127.0.0.1", {}, {}}}, {{1, "Main", 3, dvrPort, videoPort, {1, 2}}}, {}, {}});
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Debian's nginx in front of two ports, on loopback, with TLS, unbuffered,
// run as the test's own user from a directory of its own.
class ReverseProxy
{
public:
    bool start(const QList<QPair<quint16, quint16>> &listenToUpstream)
    {
        const QString nginx = QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
        QByteArray certificate;
        QByteArray key;
        QString error;
        if (nginx.isEmpty() || !QtHttpCertificate::makeSelfSigned({QStringLiteral("127.0.0.1")}, 1, &certificate, &key, &error))
            return false;
        const QByteArray dir = m_dir.path().toUtf8();
        QByteArray config = (::geteuid() == 0 ? "user root root;\n" : "") + QByteArray("daemon off;\nworker_processes 1;\n")
            + "pid " + dir + "/nginx.pid;\nerror_log " + dir + "/error.log;\nevents { worker_connections 64; }\nhttp {\n"
            + "  access_log off;\n  client_body_temp_path " + dir + "/body;\n  proxy_temp_path " + dir + "/proxy;\n"
            + "  fastcgi_temp_path " + dir + "/fastcgi;\n  uwsgi_temp_path " + dir + "/uwsgi;\n  scgi_temp_path " + dir + "/scgi;\n";
        for (const auto &ports : listenToUpstream) {
            config += "  server {\n    listen 127.0.0.1:" + QByteArray::number(ports.first) + " ssl;\n"
                + "    ssl_certificate " + dir + "/cert.pem;\n    ssl_certificate_key " + dir + "/key.pem;\n"
                + "    location / {\n      proxy_pass http://127.0.0.1:" + QByteArray::number(ports.second) + ";\n"
                + "      proxy_http_version 1.1;\n      proxy_buffering off;\n      proxy_read_timeout 1h;\n"
                + "      proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;\n"
                + "      proxy_set_header X-Forwarded-Proto $scheme;\n    }\n  }\n";
        }
        config += "}\n";
        if (!writeFile(m_dir.filePath(QStringLiteral("cert.pem")), certificate) || !writeFile(m_dir.filePath(QStringLiteral("key.pem")), key)
            || !writeFile(m_dir.filePath(QStringLiteral("nginx.conf")), config))
            return false;
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(nginx, {QStringLiteral("-p"), m_dir.path(), QStringLiteral("-c"), m_dir.filePath(QStringLiteral("nginx.conf")),
                                QStringLiteral("-e"), m_dir.filePath(QStringLiteral("error.log"))});
        return m_process.waitForStarted();
    }

    QByteArray errors() const
    {
        QFile log(m_dir.filePath(QStringLiteral("error.log")));
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }

    ~ReverseProxy()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            m_process.waitForFinished(10000);
        }
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

Packet siteData(quint16 outPort, quint16 dvrPort)
{
    return TestSite::packet({{{3, "North", "127.0.0.1", {}, {}}}, {{1, "Main", 3, dvrPort, outPort, {1}}}, {{5, "Lobby", 3, 0, dvrPort, false, false}}, {}});
}

// A notify socket of the test's own, under an abstract name, that keeps
// every datagram the service sends it.
class NotifySocket
{
public:
    NotifySocket()
        : m_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0))
        , m_name(QByteArrayLiteral("tavro-notify-") + QByteArray::number(qint64(::getpid())))
    {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, m_name.constData(), size_t(m_name.size()));
        ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), socklen_t(offsetof(sockaddr_un, sun_path) + 1 + m_name.size()));
    }
    ~NotifySocket() { ::close(m_fd); }
    Q_DISABLE_COPY(NotifySocket)

    QByteArray environmentValue() const { return '@' + m_name; }

    // Every datagram received so far.
    const QList<QByteArray> &received()
    {
        char datagram[4096];
        ssize_t n;
        while ((n = ::recv(m_fd, datagram, sizeof datagram, 0)) > 0)
            m_received.append(QByteArray(datagram, int(n)));
        return m_received;
    }

    bool waitFor(const QByteArray &datagram, int timeoutMs = 10000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!received().contains(datagram) && !deadline.hasExpired())
            QTest::qWait(20);
        return m_received.contains(datagram);
    }

private:
    int m_fd;
    QByteArray m_name;
    QList<QByteArray> m_received;
};

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
    void registersAndMovesAStreamToItsNewPort();
    void serversAnswerWhileCentralNeverReads();
    void storedLayoutPageIsServed();
    void servesOnlyTlsWithAMadeCertificate();
    void unusableTlsStartsNoServer_data();
    void unusableTlsStartsNoServer();
    void behindAReverseProxy();
    void tellsSystemdReadyStatusWatchdogAndStopping();
    void logsPrioritiesToTheJournal();
    void printsItsVersion();
    void keepsItsFilesPrivateInTheDataDirectory();
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
    QVERIFY(text.contains("ExecStart=" + program.toUtf8() + " --data-dir /var/lib/tavro --service\n"));
    QVERIFY(!QFile::exists(install.directory() + QStringLiteral("/settings.db")));

    QProcess uninstall;
    uninstall.start(program, {QStringLiteral("--uninstall"), QStringLiteral("--unit-dir"), units});
    QVERIFY(uninstall.waitForFinished(10000));
    QCOMPARE(uninstall.exitCode(), 0);
    QCOMPARE(ServiceProcess::messages(uninstall.readAllStandardError()), QStringList({QStringLiteral("Service uninstalled!")}));
    QVERIFY(!unit.exists());
}

void tst_App::registersAndMovesAStreamToItsNewPort()
{
    CentralPeer central;
    FakeDvr dvr;
    ServiceProcess service;
    service.linkTo(central);
    QVERIFY(service.start());
    QVERIFY(central.waitForSubscriber());

    central.publish(CentralPeer::ping(7));
    Packet hello;
    QVERIFY(central.waitForPacket(&hello));
    QVERIFY(hello.has_hello());
    QCOMPARE(hello.client_id(), std::string("site-1"));
    QVERIFY(service.waitForLog(QStringLiteral("Registering service to Central")));

    const quint16 firstPort = ServiceProcess::freePort();
    central.publish(siteData(firstPort, dvr.port()));
    QVERIFY(service.waitForLog(QStringLiteral("VideoServer started on port %1").arg(firstPort)));
    QVERIFY(service.messages().contains(QStringLiteral("  Loaded 1 Streams")));
    QVERIFY(httpGet(firstPort, "/").body.contains("<li><a href=\"/North\">North</a></li>"));

    const quint16 secondPort = ServiceProcess::freePort();
    central.publish(siteData(secondPort, dvr.port()));
    QVERIFY(service.waitForLog(QStringLiteral("VideoServer started on port %1").arg(secondPort)));
    QVERIFY(service.messages().contains(QStringLiteral("VideoServer stopped")));
    QCOMPARE(httpGet(secondPort, "/North/Main").statusLine, QByteArray("HTTP/1.1 404 Not found !"));
    QCOMPARE(httpGet(firstPort, "/", 1000).status, 0);

    QVERIFY(service.stop(SIGTERM));
    QCOMPARE(service.process().exitCode(), 0);
}

void tst_App::serversAnswerWhileCentralNeverReads()
{
    CentralPeer central;
    const quint16 videoPort = ServiceProcess::freePort();
    const quint16 eventPort = ServiceProcess::freePort();
    ServiceProcess service;
    QVERIFY(TestSite::store(service.directory(), {{}, {{1, "Main", 0, 0, videoPort, {1}}}, {}, {}}));
    // Nobody ever listens where the service pushes.
    service.writeIni(QStringLiteral("serverSendPort"), QString::number(central.publishPort()));
    service.writeIni(QStringLiteral("serverRecvPort"), QString::number(ServiceProcess::freePort()));
    service.writeIni(QStringLiteral("eventPort"), QString::number(eventPort));
    QVERIFY(service.start());
    QVERIFY(central.waitForSubscriber());
    QVERIFY(service.waitForLog(QStringLiteral("VideoServer started on port %1").arg(videoPort)));

    central.publish(CentralPeer::ping(1));
    for (int i = 0; i < 1500; ++i)
        central.publish(CentralPeer::ping(1));
    QVERIFY(service.waitForLog(QStringLiteral("Registering service to Central")));

    QCOMPARE(httpGet(videoPort, "/").statusLine, QByteArray("HTTP/1.1 404 Not found !"));
    QCOMPARE(httpGet(eventPort, "/").statusLine, QByteArray("HTTP/1.1 200 OK."));

    QVERIFY(service.stop(SIGTERM));
    QCOMPARE(service.process().exitCode(), 0);
}

void tst_App::storedLayoutPageIsServed()
{
    CentralPeer central;
    FakeDvr dvr;
    ServiceProcess service;
    const quint16 eventPort = service.linkTo(central);
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

    const HttpResponse served = httpGet(eventPort, "/North/Lobby.html");
    QCOMPARE(served.statusLine, QByteArray("HTTP/1.1 200 OK."));
    QVERIFY(served.header("Content-Type").startsWith("text/html"));
    QCOMPARE(served.body, page + "\r\n");
    const QByteArray index = httpGet(eventPort, "/").body;
    QVERIFY2(index.contains("<li><a href=\"/North/Lobby.html\">/North/Lobby</a></li>"), index.constData());

    QVERIFY(service.stop(SIGTERM));
}

// The made pair turns every port to TLS only: a viewer gets frames over
// TLS with that certificate, and a plain request gets nothing.
void tst_App::servesOnlyTlsWithAMadeCertificate()
{
    FakeDvr dvr;
    const quint16 videoPort = ServiceProcess::freePort();
    const quint16 eventPort = ServiceProcess::freePort();
    ServiceProcess service;
    QVERIFY(service.start({QStringLiteral("--make-certificate"), QStringLiteral("127.0.0.1"), QStringLiteral("localhost")}));
    QVERIFY(service.process().waitForFinished(10000));
    QCOMPARE(service.process().exitCode(), 0);
    QFile key(service.directory() + QStringLiteral("/tls-key.pem"));
    QVERIFY(!(key.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther)));
    const QList<QSslCertificate> made = QSslCertificate::fromPath(service.directory() + QStringLiteral("/tls-certificate.pem"));
    QCOMPARE(made.size(), 1);

    QVERIFY(writeSite(service.directory(), videoPort, dvr.port()));
    service.writeIni(QStringLiteral("eventPort"), QString::number(eventPort));
    QVERIFY(service.start());
    QVERIFY(service.waitForLog(QStringLiteral("VideoServer started on port %1").arg(videoPort)));

    HttpTestClient viewer(videoPort);
    viewer.setTls(true);
    QCOMPARE(viewer.get("/North/Main/1").status, 200);
    QVERIFY(viewer.waitForFrames(3));
    QCOMPARE(viewer.socket()->peerCertificate(), made.first());
    HttpTestClient events(eventPort);
    events.setTls(true);
    QCOMPARE(events.get("/").status, 200);

    for (quint16 port : {videoPort, eventPort}) {
        HttpTestClient plain(port);
        QVERIFY(plain.open());
        plain.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        QVERIFY(plain.waitClosed());
        QVERIFY(!plain.receive(0).contains("HTTP/1.1"));
    }
    QVERIFY(service.stop(SIGTERM));
}

void tst_App::unusableTlsStartsNoServer_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("why");
    QTest::newRow("missing files") << "cert.pem" << "key.pem" << "cannot read";
    QTest::newRow("a certificate alone") << "cert.pem" << QString() << "must be set together";
    QTest::newRow("not a certificate") << "settings.ini" << "settings.ini" << "no certificate in";
}

// Named but unusable: the log says why in one line, and no port is
// served, in plain text or otherwise.
void tst_App::unusableTlsStartsNoServer()
{
    QFETCH(QString, certificate);
    QFETCH(QString, key);
    QFETCH(QString, why);
    FakeDvr dvr;
    const quint16 videoPort = ServiceProcess::freePort();
    const quint16 eventPort = ServiceProcess::freePort();
    ServiceProcess service;
    QVERIFY(writeSite(service.directory(), videoPort, dvr.port()));
    service.writeIni(QStringLiteral("eventPort"), QString::number(eventPort));
    service.writeIni(QStringLiteral("tlsCertificate"), certificate);
    service.writeIni(QStringLiteral("tlsKey"), key);
    QVERIFY(service.start());
    QVERIFY(service.waitForLog(QStringLiteral("  Push: tcp://127.0.0.1:5002")));
    QTRY_VERIFY(service.messages().filter(QStringLiteral("No HTTP server started: TLS cannot be used: ")).size() == 1);
    QVERIFY(service.messages().filter(QStringLiteral("No HTTP server started")).first().contains(why));
    for (quint16 port : {videoPort, eventPort})
        QVERIFY(!HttpTestClient(port).open(1000));
    QVERIFY(service.stop(SIGTERM));
}

// Behind nginx, the client is the one nginx names: allowed networks and the
// log go by it; a viewer gets every frame over nginx's TLS, and a smuggling
// attempt through it starts nothing.
void tst_App::behindAReverseProxy()
{
    FakeDvr dvr;
    const quint16 videoPort = ServiceProcess::freePort();
    const quint16 eventPort = ServiceProcess::freePort();
    const quint16 proxiedVideo = ServiceProcess::freePort();
    const quint16 proxiedEvents = ServiceProcess::freePort();
    ReverseProxy nginx;
    if (!nginx.start({{proxiedVideo, videoPort}, {proxiedEvents, eventPort}}))
        QSKIP("nginx is not installed");
    ServiceProcess service;
    QVERIFY(writeSite(service.directory(), videoPort, dvr.port()));
    service.writeIni(QStringLiteral("eventPort"), QString::number(eventPort));
    service.writeIni(QStringLiteral("trustedProxies"), QStringLiteral("127.0.0.1"));
    service.writeIni(QStringLiteral("allowedNetworks"), QStringLiteral("127.0.0.5"));
    QVERIFY(service.start());
    QVERIFY(service.waitForLog(QStringLiteral("  Trusted proxies: 127.0.0.1/32")));
    QVERIFY(service.waitForLog(QStringLiteral("VideoServer started on port %1").arg(videoPort)));
    const auto through = [](quint16 port, const char *from) {
        auto client = std::make_unique<HttpTestClient>(port);
        client->setTls(true);
        client->setLocalAddress(QHostAddress(QString::fromLatin1(from)));
        return client;
    };
    QTRY_VERIFY2(through(proxiedEvents, "127.0.0.5")->open(1000), nginx.errors().constData());
    QCOMPARE(through(proxiedEvents, "127.0.0.5")->get("/").status, 200);

    const auto viewer = through(proxiedVideo, "127.0.0.5");
    viewer->setFrameMarker("\r\n\r\nJPEG /snapshot0.jpg");
    QCOMPARE(viewer->get("/North/Main/1").status, 200);
    QVERIFY(viewer->waitForFrames(10));
    // Each snapshot fetched went out as a frame: at most the one in flight is missing.
    QTRY_VERIFY(viewer->frames() >= dvr.requestCount(QStringLiteral("/snapshot0.jpg")) - 1);

    QCOMPARE(through(proxiedVideo, "127.0.0.6")->get("/").status, 403);
    QVERIFY(service.waitForLog(QStringLiteral("Refused client 127.0.0.6 on port %1: not in an allowed network").arg(videoPort)));

    for (const QByteArray &framing : {QByteArray("Content-Length: 32\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"),
                                      QByteArray("Content-Length: 32, 32\r\n\r\n")}) {
        const auto attacker = through(proxiedVideo, "127.0.0.5");
        QVERIFY(attacker->open());
        attacker->send("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + framing + "GET /North/Main/2 HTTP/1.1\r\n\r\n");
        HttpResponse response;
        QVERIFY(attacker->next(&response));
        QCOMPARE(response.status, 400);
    }
    QCOMPARE(through(proxiedVideo, "127.0.0.5")->get("/North").status, 404);
    QCOMPARE(dvr.requestCount(QStringLiteral("/snapshot1.jpg")), 0);
    QVERIFY(service.stop(SIGTERM));
}

void tst_App::tellsSystemdReadyStatusWatchdogAndStopping()
{
    NotifySocket systemd;
    ServiceProcess service;
    service.writeIni(QStringLiteral("eventPort"), QString::number(ServiceProcess::freePort()));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLatin1(systemd.environmentValue()));
    environment.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("400000"));
    service.process().setProcessEnvironment(environment);
    QVERIFY(service.start());

    QVERIFY(systemd.waitFor("READY=1"));
    QVERIFY(std::any_of(systemd.received().cbegin(), systemd.received().cend(),
                        [](const QByteArray &datagram) { return datagram.startsWith("STATUS=Serving 0 streams"); }));
    // Every 200 ms for a watchdog of 400 ms: about ten in two seconds.
    const auto watchdogs = [&systemd] { return systemd.received().count("WATCHDOG=1"); };
    const int before = watchdogs();
    QTest::qWait(2000);
    QVERIFY2(watchdogs() - before >= 4 && watchdogs() - before <= 20, qPrintable(QString::number(watchdogs() - before)));

    QVERIFY(service.stop(SIGTERM));
    QVERIFY(systemd.waitFor("STOPPING=1", 1000));
}

// Standard error is the journal's stream when JOURNAL_STREAM names it; each
// line then starts with its priority. A database that cannot be opened is a
// failure report.
void tst_App::logsPrioritiesToTheJournal()
{
    ServiceProcess service;
    QVERIFY(QDir(service.directory()).mkdir(QStringLiteral("settings.db")));
    QVERIFY(service.start({QStringLiteral("-c"), QStringLiteral("JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec ./tavro --service")}, QStringLiteral("/bin/sh")));
    QTRY_VERIFY_WITH_TIMEOUT(service.errorOutput().contains("Push: tcp://"), 10000);
    QVERIFY(service.stop(SIGTERM));
    const QList<QByteArray> lines = service.errorOutput().split('\n');
    const auto lineWith = [&lines](const QByteArray &text) {
        return *std::find_if(lines.cbegin(), lines.cend(), [&text](const QByteArray &line) { return line.contains(text) || line.isEmpty(); });
    };
    QVERIFY2(lineWith("Service started").startsWith("<6>"), service.errorOutput().constData());
    QVERIFY2(lineWith("  Failed").startsWith("<3>"), service.errorOutput().constData());
}

void tst_App::printsItsVersion()
{
    ServiceProcess tavro;
    QVERIFY(tavro.start({QStringLiteral("--version")}));
    QVERIFY(tavro.process().waitForFinished(10000));
    QCOMPARE(tavro.process().exitCode(), 0);
    QVERIFY(tavro.process().readAllStandardOutput().startsWith("tavro " TAVRO_VERSION "\n"));
}

// Every file the service makes, in the directory it is given, is for its own
// user alone; nothing lands beside the program.
void tst_App::keepsItsFilesPrivateInTheDataDirectory()
{
    ServiceProcess service;
    const QString data = service.directory() + QStringLiteral("/data");
    QVERIFY(service.start({QStringLiteral("--data-dir"), data, QStringLiteral("--service")}));
    QVERIFY(service.waitForLog(QStringLiteral("  Push: tcp://127.0.0.1:5002")));
    QVERIFY(service.stop(SIGTERM));
    QVERIFY(!QFile::exists(service.directory() + QStringLiteral("/settings.db")));
    const QFile::Permissions owner = QFile::ReadOwner | QFile::WriteOwner;
    QCOMPARE(QFile::permissions(data + QStringLiteral("/settings.db")) & ~QFile::Permissions(QFile::ReadUser | QFile::WriteUser), owner);
    QCOMPARE(QFile::permissions(data + QStringLiteral("/settings.ini")) & ~QFile::Permissions(QFile::ReadUser | QFile::WriteUser), owner);
    QCOMPARE(QFileInfo(data).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::ExeOther), QFile::Permissions());
}

QTEST_GUILESS_MAIN(tst_App)
#include "tst_app.moc"
