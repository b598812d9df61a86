#include "AuthTests.h"

#include "FakeDvr.h"
#include "HttpTestClient.h"
#include "ServiceProcess.h"
#include "TestSite.h"

#include <QtTest>

#include <csignal>
#include <memory>

namespace {

using Headers = HttpTestClient::Headers;

Headers basic(const QByteArray &user, const QByteArray &password)
{
    return {{"Authorization", "Basic " + (user + ':' + password).toBase64()}};
}

// The whole response as text, for "contains" checks over head and body.
QByteArray textOf(const HttpResponse &response)
{
    QByteArray text = response.statusLine + "\r\n";
    for (const auto &header : response.headers)
        text += header.first + ": " + header.second + "\r\n";
    return text + "\r\n" + response.body;
}

QByteArray cookieOf(const HttpResponse &response)
{
    return response.header("Set-Cookie").split(';').first();
}

// Runs the program's own user command in the service's directory.
int userCommand(const ServiceProcess &service, const QStringList &arguments, const QByteArray &input = {})
{
    QProcess process;
    process.start(service.program(), arguments);
    process.write(input);
    process.closeWriteChannel();
    return process.waitForFinished(30000) ? process.exitCode() : -1;
}

} // namespace

// The running service with users: who gets what on the video and events
// ports, through Basic credentials, the login form and its session cookie.
class AccessServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void offWithoutUsers();
    void allowedNetworksThatCannotApplyRefuseEveryone();
    void userCommandsRefuseBadInput_data();
    void userCommandsRefuseBadInput();

    void initTestCase();
    void requests_data();
    void requests();
    void auditLog();
    void formLoginAndSession();
    void userChangesApplyWhileRunning();
    void streamKeepsFlowingWhilePasswordsAreGuessed();
    void throttleAfterFiveFailures();
    void cleanupTestCase();

private:
    enum Port { Events, Video };
    HttpTestClient *client(Port port) { return new HttpTestClient(port == Events ? m_eventPort : m_videoPort, this); }

    FakeDvr m_dvr;
    std::unique_ptr<ServiceProcess> m_service;
    quint16 m_eventPort = 0;
    quint16 m_videoPort = 0;
};

// Without a users file every request passes as it always did, but the log says
// so, and a page of another site still cannot switch an output.
void AccessServiceTest::offWithoutUsers()
{
    ServiceProcess service;
    const quint16 port = ServiceProcess::freePort();
    service.writeIni(QStringLiteral("eventPort"), QString::number(port));
    service.writeIni(QStringLiteral("serverSendPort"), QString::number(ServiceProcess::freePort()));
    QVERIFY(TestSite::store(service.directory(), {{}, {}, {{5, {}, 0, 0, 0, false, false}}, {}}));
    QVERIFY(service.start());
    QVERIFY(service.waitForLog(QStringLiteral("Access control is off: anyone who reaches the service may watch video and switch outputs")));
    HttpTestClient http(port);
    QCOMPARE(http.get("/").status, 200);
    QCOMPARE(http.get("/5?outputs=1,1").body, QByteArray("DONE\r\n"));
    QCOMPARE(http.get("/5?outputs=1,1", {{"Sec-Fetch-Site", "cross-site"}}).status, 403);
    QVERIFY(service.messages().contains(QStringLiteral("Output change by anonymous from 127.0.0.1: module 5, outputs 1,1")));
    QVERIFY(!QFile::exists(service.directory() + QStringLiteral("/session.key")));
}

void AccessServiceTest::allowedNetworksThatCannotApplyRefuseEveryone()
{
    ServiceProcess service;
    const quint16 port = ServiceProcess::freePort();
    service.writeIni(QStringLiteral("eventPort"), QString::number(port));
    service.writeIni(QStringLiteral("serverSendPort"), QString::number(ServiceProcess::freePort()));
    service.writeIni(QStringLiteral("allowedNetworks"), QStringLiteral("127.0.0.2/33"));
    QVERIFY(service.start());
    QVERIFY(service.waitForLog(QStringLiteral("  No valid allowed network: no client is served")));
    QTRY_COMPARE(HttpTestClient(port).get("/").status, 403);
}

void AccessServiceTest::userCommandsRefuseBadInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::newRow("empty password") << QStringList{"--add-user", "carol", "--role", "viewer"} << QByteArray("\n");
    QTest::newRow("no password") << QStringList{"--add-user", "carol", "--role", "viewer"} << QByteArray();
    QTest::newRow("bad name") << QStringList{"--add-user", "ca rol", "--role", "viewer"} << QByteArray("pw\n");
    QTest::newRow("unknown role") << QStringList{"--add-user", "carol", "--role", "admin"} << QByteArray("pw\n");
    QTest::newRow("no role") << QStringList{"--add-user", "carol"} << QByteArray("pw\n");
    QTest::newRow("no name") << QStringList{"--remove-user"} << QByteArray();
    QTest::newRow("unknown user") << QStringList{"--remove-user", "nobody"} << QByteArray();
}

// One line on standard error, exit code 2, and no users file made.
void AccessServiceTest::userCommandsRefuseBadInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    ServiceProcess tavro;
    QProcess process;
    process.start(tavro.program(), arguments);
    process.write(input);
    process.closeWriteChannel();
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 2);
    QCOMPARE(process.readAllStandardError().count('\n'), 1);
    QVERIFY(!QFile::exists(tavro.directory() + QStringLiteral("/users")));
}

// A DVR whose name is markup, a stream on the video port, IO module 5, and
// two users: alice the operator and bob the viewer.
void AccessServiceTest::initTestCase()
{
    m_service.reset(new ServiceProcess);
    m_eventPort = ServiceProcess::freePort();
    m_videoPort = ServiceProcess::freePort();
    m_service->writeIni(QStringLiteral("eventPort"), QString::number(m_eventPort));
    m_service->writeIni(QStringLiteral("serverSendPort"), QString::number(ServiceProcess::freePort()));
    m_service->writeIni(QStringLiteral("allowedHosts"), QStringLiteral("tavro.site"));
    QVERIFY(TestSite::store(m_service->directory(), {{{3, QStringLiteral("A&B<i>"), m_dvr.host(), {}, {}}},
                                                     {{1, QStringLiteral("Main"), 3, m_dvr.port(), m_videoPort, {1}}},
                                                     {{5, QStringLiteral("Lobby'"), 3, 0, m_dvr.port(), false, false}},
                                                     {}}));
    QCOMPARE(userCommand(*m_service, {"--add-user", "alice", "--role", "operator"}, "alice-pw\n"), 0);
    QCOMPARE(userCommand(*m_service, {"--add-user", "bob", "--role", "viewer"}, "bob-pw\n"), 0);
    QVERIFY(m_service->start());
    QVERIFY(m_service->waitForLog(QStringLiteral("Access control is on: 2 users")));
    QVERIFY(m_service->waitForLog(QStringLiteral("VideoServer started on port %1").arg(m_videoPort)));
}

void AccessServiceTest::requests_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<Headers>("headers");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contains");
    const Headers alice = basic("alice", "alice-pw");
    const Headers bob = basic("bob", "bob-pw");
    const Headers navigation = {{"Sec-Fetch-Mode", "navigate"}, {"Accept", "text/html"}};
    QTest::newRow("nothing") << int(Events) << QByteArray("/") << Headers() << 401 << QByteArray("WWW-Authenticate: Basic realm=\"TAVRO\"");
    QTest::newRow("nothing, video") << int(Video) << QByteArray("/3/1/1") << Headers() << 401 << QByteArray("WWW-Authenticate");
    QTest::newRow("navigation") << int(Events) << QByteArray("/read?layout=5") << navigation << 401
                                << QByteArray("name=\"next\" value=\"/read?layout=5\"");
    QTest::newRow("login page") << int(Video) << QByteArray("/.tavro/login") << Headers() << 200
                                << QByteArray("X-Content-Type-Options: nosniff");
    QTest::newRow("wrong password") << int(Events) << QByteArray("/") << basic("alice", "nope") << 401 << QByteArray();
    QTest::newRow("viewer reads state") << int(Events) << QByteArray("/read?layout=5") << bob << 200 << QByteArray("\"inp\"");
    QTest::newRow("viewer, video index") << int(Video) << QByteArray("/") << bob << 404 << QByteArray(">A&amp;B&lt;i&gt;</a>");
    QTest::newRow("viewer, DVR 3 by number") << int(Video) << QByteArray("/3") << bob << 404 << QByteArray("Streams in A&amp;B");
    QTest::newRow("viewer, layout index") << int(Events) << QByteArray("/") << bob << 200 << QByteArray("/A&amp;B&lt;i&gt;/Lobby&#39;</a>");
    QTest::newRow("viewer switches") << int(Events) << QByteArray("/5?outputs=1,1") << bob << 403 << QByteArray();
    QTest::newRow("operator switches") << int(Events) << QByteArray("/5?outputs=1,1") << alice << 200 << QByteArray("DONE");
    QTest::newRow("cross-site") << int(Events) << QByteArray("/5?outputs=2,1") << alice + Headers{{"Sec-Fetch-Site", "cross-site"}} << 403 << QByteArray();
    QTest::newRow("other origin") << int(Events) << QByteArray("/5?outputs=2,1") << alice + Headers{{"Origin", "http://evil.example"}} << 403 << QByteArray();
    QTest::newRow("same origin") << int(Events) << QByteArray("/5?outputs=1,0")
                                 << alice + Headers{{"Origin", "http://127.0.0.1:1"}, {"Sec-Fetch-Site", "same-origin"}} << 200 << QByteArray("DONE");
    QTest::newRow("same site") << int(Events) << QByteArray("/5?outputs=2,1") << alice + Headers{{"Sec-Fetch-Site", "same-site"}} << 403 << QByteArray();
    QTest::newRow("rebound host name") << int(Events) << QByteArray("/") << alice + Headers{{"Host", "evil.example"}} << 421 << QByteArray();
    QTest::newRow("the site's host name") << int(Video) << QByteArray("/") << alice + Headers{{"Host", "TAVRO.site:80"}} << 404 << QByteArray();
}

void AccessServiceTest::requests()
{
    QFETCH(int, port);
    QFETCH(QByteArray, path);
    QFETCH(Headers, headers);
    QFETCH(int, status);
    QFETCH(QByteArray, contains);
    std::unique_ptr<HttpTestClient> http(client(Port(port)));
    const HttpResponse response = http->get(path, headers);
    QCOMPARE(response.status, status);
    QVERIFY2(textOf(response).contains(contains), textOf(response).constData());
}

// Who changed what, from where; who failed to log in; never a password.
void AccessServiceTest::auditLog()
{
    const QStringList log = m_service->messages();
    QVERIFY(log.contains(QStringLiteral("Output change by alice from 127.0.0.1: module 5, outputs 1,1")));
    QVERIFY(log.contains(QStringLiteral("Refused output change by bob from 127.0.0.1: module 5, outputs 1,1 (not an operator)")));
    QVERIFY(log.contains(QStringLiteral("Refused output change by unknown from 127.0.0.1: module 5, outputs 2,1 (cross-site request)")));
    QVERIFY(log.contains(QStringLiteral("Failed login for alice from 127.0.0.1")));
    QCOMPARE(log.filter(QStringLiteral(" Set event: /5")).size(), 2);
    QVERIFY(!m_service->errorOutput().contains("alice-pw") && !m_service->errorOutput().contains("nope"));
}

void AccessServiceTest::formLoginAndSession()
{
    std::unique_ptr<HttpTestClient> events(client(Events));
    const Headers form = {{"Content-Type", "application/x-www-form-urlencoded"}};
    HttpResponse response = events->request("POST", "/.tavro/login", form, "user=alice&password=bad&next=%2F");
    QCOMPARE(response.status, 401);
    QVERIFY(response.body.contains("Wrong name or password."));

    response = events->request("POST", "/.tavro/login", form, "user=alice&password=alice-pw&next=%2Fread%3Flayout%3D5");
    QCOMPARE(response.status, 303);
    QCOMPARE(response.header("Location"), QByteArray("/read?layout=5"));
    const QByteArray setCookie = response.header("Set-Cookie");
    for (const char *attribute : {"HttpOnly", "SameSite=Strict", "Path=/", "Max-Age=43200"})
        QVERIFY2(setCookie.contains(attribute), setCookie.constData());
    QVERIFY(!setCookie.contains("Secure"));
    const Headers session = {{"Cookie", "other=1; " + cookieOf(response)}};
    QCOMPARE(events->get("/read?layout=5", session).status, 200);
    std::unique_ptr<HttpTestClient> video(client(Video));
    QCOMPARE(video->get("/3/1", session).status, 404);

    response = events->request("POST", "/.tavro/login", form, "user=alice&password=alice-pw&next=%2F%2Fevil.example");
    QCOMPARE(response.header("Location"), QByteArray("/"));

    QCOMPARE(events->request("POST", "/.tavro/logout", session).status, 303);
    QCOMPARE(events->get("/read?layout=5", session).status, 401);
}

// Within two seconds of a command, without a restart: a removed user's
// session ends, and so do the session and the old credentials of a user
// whose password changed.
void AccessServiceTest::userChangesApplyWhileRunning()
{
    std::unique_ptr<HttpTestClient> events(client(Events));
    const Headers form = {{"Content-Type", "application/x-www-form-urlencoded"}};
    const Headers bob = {{"Cookie", cookieOf(events->request("POST", "/.tavro/login", form, "user=bob&password=bob-pw"))}};
    const Headers alice = {{"Cookie", cookieOf(events->request("POST", "/.tavro/login", form, "user=alice&password=alice-pw"))}};
    QCOMPARE(events->get("/", bob).status, 200);
    QCOMPARE(events->get("/", alice).status, 200);

    QCOMPARE(userCommand(*m_service, {"--remove-user", "bob"}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(events->get("/", bob).status, 401, 2000);
    QCOMPARE(userCommand(*m_service, {"--add-user", "alice", "--role", "viewer"}, "alice-2\n"), 0);
    QTRY_COMPARE_WITH_TIMEOUT(events->get("/", alice).status, 401, 2000);
    QCOMPARE(events->get("/", basic("alice", "alice-2")).status, 200);
    QCOMPARE(events->get("/", basic("alice", "alice-pw")).status, 401);
    QCOMPARE(events->get("/5?outputs=1,1", basic("alice", "alice-2")).status, 403);

    QCOMPARE(userCommand(*m_service, {"--add-user", "alice", "--role", "operator"}, "alice-pw\n"), 0);
    QCOMPARE(userCommand(*m_service, {"--add-user", "bob", "--role", "viewer"}, "bob-pw\n"), 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_service->messages().filter(QStringLiteral("Access control is on: 2 users")).size(), 2, 5000);
}

// Wrong passwords from many addresses at once are checked off the event
// loop: the stream goes on, and every guess is answered.
void AccessServiceTest::streamKeepsFlowingWhilePasswordsAreGuessed()
{
    std::unique_ptr<HttpTestClient> viewer(client(Video));
    QCOMPARE(viewer->get("/3/1/1", basic("bob", "bob-pw")).status, 200);
    QVERIFY(viewer->waitForFrames(2));

    constexpr int Guesses = 20;
    std::vector<std::unique_ptr<HttpTestClient>> guessers;
    for (int i = 0; i < Guesses; ++i) {
        guessers.emplace_back(client(Events));
        guessers.back()->socket()->bind(QHostAddress(QStringLiteral("127.0.1.%1").arg(i + 1)));
        QVERIFY(guessers.back()->open());
        guessers.back()->send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic "
                              + QByteArray("alice:guess").toBase64() + "\r\n\r\n");
    }
    QVERIFY(viewer->waitForFrames(5));
    for (auto &guesser : guessers) {
        HttpResponse response;
        QVERIFY(guesser->next(&response, 30000));
        QCOMPARE(response.status, 401);
    }
}

// The sixth attempt within five minutes gets 429, even with the right
// password, and only that client address does; the block is logged once.
void AccessServiceTest::throttleAfterFiveFailures()
{
    std::unique_ptr<HttpTestClient> guesser(client(Events));
    guesser->socket()->bind(QHostAddress(QStringLiteral("127.0.0.3")));
    for (int i = 0; i < 5; ++i)
        QCOMPARE(guesser->get("/", basic("alice", "guess" + QByteArray::number(i))).status, 401);
    QCOMPARE(guesser->request("POST", "/.tavro/login", {{"Content-Type", "application/x-www-form-urlencoded"}},
                              "user=bob&password=bob-pw").status, 429);
    QCOMPARE(guesser->get("/", basic("carol", "x")).status, 429);
    std::unique_ptr<HttpTestClient> other(client(Events));
    QCOMPARE(other->get("/", basic("bob", "bob-pw")).status, 200);
    QCOMPARE(m_service->messages().filter(QStringLiteral("Too many failed logins from 127.0.0.3")).size(), 1);
}

void AccessServiceTest::cleanupTestCase()
{
    QVERIFY(m_service->stop(SIGTERM));
    QCOMPARE(m_service->process().exitCode(), 0);
}

int runAccessServiceTest(int argc, char **argv)
{
    AccessServiceTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "AccessServiceTest.moc"
