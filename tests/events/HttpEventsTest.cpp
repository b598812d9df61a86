#include "Config.h"
#include "EventsTests.h"
#include "FakeDvr.h"
#include "HttpTestClient.h"
#include "HttpEvents.h"
#include "LogCapture.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QtTest>

#include <memory>

namespace {

const quint16 UnusedPort = 1;

const char EmptyState[] = "{\"inp\":{\n}\n, \"out\":{\n}\n, \"state\":{\n}\n}";

const char ModulePage[] = R"(<p><blink>ON</blink> <blink>off</blink> <blink> on</blink></p>
<!-- <blink>on</blink> -->
<select name="gpo2"><option value="0" selected>Off</option><option value="1">On</option></select>
<select name="gpo10"><option value="1" selected>On</option><option value="0">Off</option></select>
<select name="gpi1"><option value="0">Off</option><option value="2" selected>On</option></select>
)";

const char ModuleState[] = "{\"inp\":{\n    \"1\": 1,\n    \"2\": 0,\n    \"3\": 0\n}\n, "
                           "\"out\":{\n    \"10\": 1,\n    \"2\": 0\n}\n, "
                           "\"state\":{\n    \"1\": 1\n}\n}";

QByteArray twoOutputPage(int output1, int output2)
{
    const auto select = [](int number, int value) {
        return QStringLiteral("<select name=\"gpo%1\"><option value=\"%2\" selected>x</option></select>")
            .arg(number)
            .arg(value);
    };
    return ("<blink>on</blink><blink>off</blink>" + select(1, output1) + select(2, output2)).toUtf8();
}

struct Answer
{
    bool complete = false;
    QByteArray contentType;
    QByteArray body;
};

// One request on a connection of its own, sent as written so that paths
// reach the server without any client-side cleaning. The server ends every
// plain body with CRLF, which is taken off here.
Answer get(quint16 port, const QByteArray &target)
{
    const HttpResponse response = HttpTestClient(port).get(target);
    QByteArray body = response.body;
    if (body.endsWith("\r\n"))
        body.chop(2);
    return {response.status != 0, response.header("Content-Type"), body};
}

QStringList updates(const FakeDvr &dvr)
{
    QStringList queries = dvr.queries();
    queries.removeAll(QString());
    return queries;
}

bool isSubmission(const QString &query, const QString &form)
{
    static const QRegularExpression random(QStringLiteral("^rdm=\\d{1,4}$"));
    return query.startsWith(form) && random.match(query.mid(form.size())).hasMatch();
}

} // namespace

class HttpEventsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void servesLayoutFiles_data();
    void servesLayoutFiles();
    void refusesPathsOutsideLayoutDirectory_data();
    void refusesPathsOutsideLayoutDirectory();
    void otherPathsGetLayoutIndex_data();
    void otherPathsGetLayoutIndex();
    void layoutIndexFollowsTableOrder();
    void stateReadOfUnknownModuleListsModules();
    void setEventQueuesAndAnswersDone();

    void pollsOnlyAfterFirstStateRead();
    void sendsQueuedChangesOnePerPoll();
    void hungModuleKeepsPollingAndStopReleasesCleanly();
    void movedModuleKeepsPollingAndQueuedChange();

private:
    void addModule(int id, const QString &name, int dvrId, quint16 port);
    void startEvents();

    std::unique_ptr<HttpEvents> m_events;
    quint16 m_port = 0;
};

void HttpEventsTest::initTestCase()
{
    const QString appDir = QCoreApplication::applicationDirPath();
    QDir(appDir + "/html").removeRecursively();
    QDir(appDir + "/outside").removeRecursively();
    QDir dir(appDir);
    QVERIFY(dir.mkpath("html/FrontDvr") && dir.mkpath("html/locked.html") && dir.mkpath("outside"));
    QFile::remove(appDir + "/secret.html");
    QVERIFY(QFile::link("../outside", appDir + "/html/shared"));

    const QList<QPair<QString, QByteArray>> files = {
        {"html/FrontDvr/Gate.html", "<html>gate</html>"},
        {"html/jquery.js", "var layout = 4;"},
        {"html/style.css", "body { margin: 0; }"},
        {"html/logo.png", QByteArray("\x89PNG\r\n\x1a\n", 8)},
        {"outside/linked.html", "<html>linked</html>"},
        {"secret.html", "secret"},
    };
    for (const auto &file : files) {
        QFile out(appDir + '/' + file.first);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(file.second);
    }
}

void HttpEventsTest::init()
{
    Config *config = Config::instance();
    config->ioPath = QStringLiteral("html");
    config->eventPort = 0;
    config->dvrs = {{1, {1, "FrontDvr", "127.0.0.1", "admin", "secret"}}, {2, {2, "BackDvr", "127.0.0.1", "", ""}}};
    config->ios.clear();
    config->ioIds.clear();
    addModule(4, "Gate", 1, UnusedPort);
    addModule(9, "Orphan", 7, UnusedPort);
}

void HttpEventsTest::cleanup()
{
    if (m_events)
        m_events->stop();
    m_events.reset();
}

void HttpEventsTest::addModule(int id, const QString &name, int dvrId, quint16 port)
{
    IOInfo io;
    io.id = id;
    io.name = name;
    io.dvrId = dvrId;
    io.port = port;
    Config::instance()->ios.insert(id, io);
    Config::instance()->ioIds.append(id);
}

void HttpEventsTest::startEvents()
{
    m_events = std::make_unique<HttpEvents>();
    QSignalSpy started(m_events.get(), &HttpEvents::started);
    m_events->start();
    QVERIFY(!started.isEmpty() || started.wait());
    m_port = started.first().first().toInt();
    QVERIFY(m_port != 0);
}

void HttpEventsTest::servesLayoutFiles_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");

    const QByteArray jsType = QMimeDatabase().mimeTypeForFile("x.js", QMimeDatabase::MatchExtension).name().toUtf8();
    QTest::newRow("page of a DVR's module") << QByteArray("/FrontDvr/Gate.html") << QByteArray("text/html")
                                            << QByteArray("<html>gate</html>");
    QTest::newRow("script") << QByteArray("/jquery.js") << jsType << QByteArray("var layout = 4;");
    QTest::newRow("style") << QByteArray("/style.css") << QByteArray("text/css") << QByteArray("body { margin: 0; }");
    QTest::newRow("image") << QByteArray("/logo.png") << QByteArray("image/png") << QByteArray("\x89PNG\r\n\x1a\n", 8);
    QTest::newRow("through a link inside") << QByteArray("/shared/linked.html") << QByteArray("text/html")
                                           << QByteArray("<html>linked</html>");
    QTest::newRow("missing") << QByteArray("/missing.html") << QByteArray("text/plain")
                             << QByteArray("Requested file /missing.html couldn't be found !");
    QTest::newRow("unreadable") << QByteArray("/locked.html") << QByteArray("text/plain")
                                << QByteArray("Requested file /locked.html couldn't be open for reading !");
}

void HttpEventsTest::servesLayoutFiles()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    startEvents();

    const Answer answer = get(m_port, target);
    QVERIFY(answer.complete);
    QCOMPARE(answer.contentType, contentType);
    QCOMPARE(answer.body, body);
}

void HttpEventsTest::refusesPathsOutsideLayoutDirectory_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QString>("path");

    QTest::newRow("dot-dot") << QByteArray("/../secret.html") << "/../secret.html";
    QTest::newRow("encoded dots") << QByteArray("/%2e%2e/secret.html") << "/../secret.html";
    QTest::newRow("encoded slashes") << QByteArray("/FrontDvr/..%2F..%2Fsecret.html") << "/FrontDvr/../../secret.html";
    QTest::newRow("out through a link") << QByteArray("/shared/../../secret.html") << "/shared/../../secret.html";
    // The file system would take ".." after the link to the link's target's
    // parent, where secret.html lies; the cleaned path stays inside.
    QTest::newRow("back through a link") << QByteArray("/shared/../secret.html") << "/shared/../secret.html";
}

void HttpEventsTest::refusesPathsOutsideLayoutDirectory()
{
    QFETCH(QByteArray, target);
    QFETCH(QString, path);
    startEvents();

    const Answer answer = get(m_port, target);
    QVERIFY(answer.complete);
    QCOMPARE(answer.contentType, QByteArray("text/plain"));
    QCOMPARE(answer.body, QString("Requested file %1 couldn't be found !").arg(path).toUtf8());
}

void HttpEventsTest::otherPathsGetLayoutIndex_data()
{
    QTest::addColumn<QByteArray>("target");
    for (const char *target : {"/", "/abc", "/4.5", "/Read", "/read", "/read?id=4", "/x/logo.PNG", "/999?outputs=1,1"})
        QTest::newRow(target) << QByteArray(target);
}

void HttpEventsTest::otherPathsGetLayoutIndex()
{
    QFETCH(QByteArray, target);
    startEvents();

    const Answer answer = get(m_port, target);
    QVERIFY(answer.complete);
    QCOMPARE(answer.contentType, QByteArray());
    // The module of no known DVR has no link.
    QCOMPARE(answer.body, QByteArray("<!DOCTYPE html><html><head><title>Index</title><body>"
                                     "<h1>List of Layouts:</h1><ol>"
                                     "<li><a href=\"/FrontDvr/Gate.html\">/FrontDvr/Gate</a></li>"
                                     "</ol></body></html>"));
}

// Each DVR's modules in the order of the module table, DVRs in the order of
// theirs, with enough modules that the two hash orders differ.
void HttpEventsTest::layoutIndexFollowsTableOrder()
{
    for (int id = 10; id < 40; ++id)
        addModule(id, QStringLiteral("m%1").arg(id), 1 + id % 2, UnusedPort);
    startEvents();

    const Config *config = Config::instance();
    QByteArray links;
    for (const DVRInfo &dvr : config->dvrs) {
        for (const IOInfo &io : config->ios) {
            if (io.dvrId == dvr.id)
                links += "<li><a href=\"/" + dvr.name.toUtf8() + '/' + io.name.toUtf8() + ".html\">/"
                    + dvr.name.toUtf8() + '/' + io.name.toUtf8() + "</a></li>";
        }
    }
    const Answer answer = get(m_port, "/");
    QVERIFY(answer.complete);
    QCOMPARE(answer.body, "<!DOCTYPE html><html><head><title>Index</title><body><h1>List of Layouts:</h1><ol>"
                              + links + "</ol></body></html>");
}

void HttpEventsTest::stateReadOfUnknownModuleListsModules()
{
    startEvents();

    const Answer answer = get(m_port, "/read?layout=999");
    QVERIFY(answer.complete);
    QCOMPARE(answer.contentType, QByteArray());
    // One line per configured module, in the table's order.
    const QByteArray gate = "- 4 - Gate\r\n";
    const QByteArray orphan = "- 9 - Orphan\r\n";
    const QByteArray head = "Available layouts:\r\n";
    QVERIFY2(answer.body == head + gate + orphan || answer.body == head + orphan + gate, answer.body.constData());
}

void HttpEventsTest::setEventQueuesAndAnswersDone()
{
    LogCapture log;
    startEvents();

    for (const char *target : {"/4?outputs=1,1", "/4?outputs=1,1|2", "/9"}) {
        const Answer answer = get(m_port, target);
        QVERIFY(answer.complete);
        QCOMPARE(answer.contentType, QByteArray());
        QCOMPARE(answer.body, QByteArray("DONE"));
    }
    QCOMPARE(log.count(" Set event: /4"), 2);
    QCOMPARE(log.count(" Set event: /9"), 1);
}

void HttpEventsTest::pollsOnlyAfterFirstStateRead()
{
    FakeDvr idle;
    FakeDvr polled;
    idle.setAlarmPage(ModulePage);
    polled.setAlarmPage(ModulePage);
    polled.setCredentials("admin", "secret");
    Config::instance()->ios[4].port = idle.port();
    addModule(5, "Barrier", 1, polled.port());
    startEvents();

    // A change queued for a module nobody reads does not wake it.
    QCOMPARE(get(m_port, "/4?outputs=1,1").body, QByteArray("DONE"));

    QSignalSpy polledRequests(&polled, &FakeDvr::requestReceived);
    QElapsedTimer sinceFirstRead;
    sinceFirstRead.start();
    QCOMPARE(get(m_port, "/read?layout=5").body, QByteArray(EmptyState));

    QVERIFY(polledRequests.wait(5000));
    QVERIFY2(sinceFirstRead.elapsed() >= 1800, qPrintable(QString::number(sinceFirstRead.elapsed())));
    QVERIFY2(sinceFirstRead.elapsed() < 4500, qPrintable(QString::number(sinceFirstRead.elapsed())));
    QCOMPARE(polled.paths(), QStringList{"/alarm.htm"});
    QCOMPARE(polled.queries(), QStringList{QString()});

    QTRY_COMPARE_WITH_TIMEOUT(get(m_port, "/read?layout=5").body, QByteArray(ModuleState), 3000);
    QCOMPARE(idle.requestCount(), 0);
}

void HttpEventsTest::sendsQueuedChangesOnePerPoll()
{
    FakeDvr module;
    module.setCredentials("admin", "secret");
    module.setAlarmPage(twoOutputPage(0, 0));
    Config::instance()->ios[4].port = module.port();
    startEvents();

    QCOMPARE(get(m_port, "/read?layout=4").body, QByteArray(EmptyState));
    // Three good changes within one period, among requests that queue nothing.
    for (const char *target : {"/4?outputs=1,1|2", "/4?outputs=1,1", "/4?outputs=", "/4", "/4?outputs=2,1",
                               "/4?outputs=1,1|1,0"})
        QCOMPARE(get(m_port, target).body, QByteArray("DONE"));

    // Each change goes out after its own read, merged onto the outputs that
    // read showed; the module then shows its new state on the next read.
    const QList<QPair<QString, QByteArray>> steps = {
        {"gpi1=1&gpi2=0&gpo1=1&gpo2=0&", twoOutputPage(1, 0)},
        {"gpi1=1&gpi2=0&gpo1=1&gpo2=1&", twoOutputPage(1, 1)},
        {"gpi1=1&gpi2=0&gpo1=0&gpo2=1&", twoOutputPage(0, 1)},
    };
    for (int i = 0; i < steps.size(); ++i) {
        QTRY_COMPARE_WITH_TIMEOUT(updates(module).size(), i + 1, 5000);
        QVERIFY2(isSubmission(updates(module).at(i), steps.at(i).first), qPrintable(updates(module).at(i)));
        QVERIFY(!module.lastHeader("Authorization").isEmpty());
        module.setAlarmPage(steps.at(i).second);
    }

    // Two more reads and nothing more to send.
    QTRY_COMPARE_WITH_TIMEOUT(module.requestCount(), 8, 5000);
    QCOMPARE(updates(module).size(), 3);
    const QStringList reads = module.queries();
    for (int i : {0, 2, 4, 6, 7})
        QCOMPARE(reads.at(i), QString());
}

void HttpEventsTest::hungModuleKeepsPollingAndStopReleasesCleanly()
{
    FakeDvr hung;
    hung.setMode(FakeDvr::Mode::Hang);
    FakeDvr waiting;
    waiting.setAlarmPage(ModulePage);
    Config::instance()->ios[4].port = hung.port();
    addModule(5, "Barrier", 1, waiting.port());
    LogCapture log;
    startEvents();

    QSignalSpy hungRequests(&hung, &FakeDvr::requestReceived);
    get(m_port, "/read?layout=4");
    get(m_port, "/read?layout=5");
    const auto fetchErrors = [&log] { return log.lines().filter(QRegularExpression("^Fetching error: .+")).size(); };

    // The fetch times out, is reported, and the next poll follows.
    QVERIFY(hungRequests.wait(5000));
    QTRY_COMPARE_WITH_TIMEOUT(fetchErrors(), 1, 15000);
    QVERIFY(hungRequests.wait(5000));
    QCOMPARE(hung.requestCount(), 2);

    // Stopped with a fetch in flight and a timer running: the aborted fetch
    // reports nothing and nothing polls again.
    m_events->stop();
    m_events.reset();
    const int waitingRequests = waiting.requestCount();
    QTest::qWait(HttpEvents::PollIntervalMs + 500);
    QCOMPARE(fetchErrors(), 1);
    QCOMPARE(hung.requestCount(), 2);
    QCOMPARE(waiting.requestCount(), waitingRequests);
}

// The module's address changes: what was read from the old board goes,
// polling and the queued change follow the module to the new one.
void HttpEventsTest::movedModuleKeepsPollingAndQueuedChange()
{
    FakeDvr before;
    FakeDvr after;
    before.setAlarmPage(twoOutputPage(0, 0));
    after.setAlarmPage(twoOutputPage(1, 0));
    Config::instance()->ios[4].port = before.port();
    startEvents();
    QCOMPARE(get(m_port, "/read?layout=4").body, QByteArray(EmptyState));
    QTRY_VERIFY_WITH_TIMEOUT(get(m_port, "/read?layout=4").body != EmptyState, 5000);
    QCOMPARE(get(m_port, "/4?outputs=2,1").body, QByteArray("DONE"));

    Config::instance()->ios[4].port = after.port();
    m_events->update(EventsConfig::fromConfig(*Config::instance()));
    QCOMPARE(get(m_port, "/read?layout=4").body, QByteArray(EmptyState));
    QTRY_COMPARE_WITH_TIMEOUT(updates(after).size(), 1, 5000);
    QVERIFY2(isSubmission(updates(after).first(), "gpi1=1&gpi2=0&gpo1=1&gpo2=1&"), qPrintable(updates(after).first()));
    QVERIFY(updates(before).isEmpty());
}

int runHttpEventsTest(int argc, char **argv)
{
    HttpEventsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "HttpEventsTest.moc"
