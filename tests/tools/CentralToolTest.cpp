#include "CentralLink.h"
#include "CentralOptions.h"
#include "CentralSession.h"
#include "CurveKeyPair.h"
#include "LayoutPage.h"
#include "SiteConfigReader.h"
#include "ToolsTests.h"

#include "proto/svc.pb.h"

#include <QTemporaryDir>
#include <QtTest>

#include <zmq.hpp>

namespace {

CentralOptions::Outcome parse(const QStringList &arguments, CentralOptions *options, QString *message)
{
    return CentralOptions::parse(QStringList{QStringLiteral("tavro-central")} + arguments, options, message);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Plays a service: subscribes to the tool's publications and pushes to it.
struct ServicePeer
{
    zmq::context_t context{1};
    zmq::socket_t subscriber{context, zmq::socket_type::sub};
    zmq::socket_t pusher{context, zmq::socket_type::push};

    ServicePeer(const CentralLink &link)
    {
        subscriber.set(zmq::sockopt::linger, 0);
        pusher.set(zmq::sockopt::linger, 0);
        subscriber.set(zmq::sockopt::subscribe, "services");
        subscriber.connect(link.publishEndpoint().toStdString());
        pusher.connect(link.pullEndpoint().toStdString());
    }

    // The next publication, or the next other than a ping; false if none
    // came in time. The topic of each is checked on the way.
    bool next(Packet *packet, bool skipPings = true, int timeoutMs = 5000)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            zmq::message_t topic;
            zmq::message_t frame;
            if (subscriber.recv(topic, zmq::recv_flags::dontwait)) {
                if (topic.to_string() != "services" || !subscriber.recv(frame)
                    || !packet->ParseFromArray(frame.data(), int(frame.size())))
                    return false;
                if (!skipPings || !packet->has_ping())
                    return true;
                continue;
            }
            QTest::qWait(10);
        }
        return false;
    }

    void push(const QByteArray &bytes)
    {
        pusher.send(zmq::const_buffer(bytes.constData(), size_t(bytes.size())));
    }
};

} // namespace

class CentralToolTest : public QObject
{
    Q_OBJECT

private slots:
    void exampleSiteReadsWithChannelsAsText()
    {
        SystemData site;
        QString error;
        QVERIFY2(SiteConfigReader::readFile(QStringLiteral(TAVRO_EXAMPLES_DIR "/demo-site.json"), &site, &error),
                 qPrintable(error));
        QCOMPARE(site.dvrs_size(), 1);
        QCOMPARE(site.dvrs(0).password(), std::string("admin"));
        QCOMPARE(site.streams(0).channels(), std::string(R"(["1","2","3","4"])"));
        QCOMPARE(site.ios(0).port(), 8081);
        QVERIFY(site.ios(0).events_enabled());
        QCOMPARE(site.doors(0).out_pin(), 1);

        QVERIFY(SiteConfigReader::readJson(R"({"streams": [{"channels": ["2", 10]}]})", &site, &error));
        QCOMPARE(site.dvrs_size(), 0);
        QCOMPARE(site.streams(0).channels(), std::string(R"(["2","10"])"));
        QVERIFY(SiteConfigReader::readJson("{}", &site, &error));
        QCOMPARE(site.streams_size(), 0);
    }

    void badSitesNameThePlace_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("expected");
        QTest::newRow("syntax") << QByteArray("{\n  \"dvrs\": [\n    {\"id\": 1,}\n  ]\n}") << "line 3, column";
        QTest::newRow("not an object") << QByteArray("[]") << "must be an object";
        QTest::newRow("unknown list") << QByteArray(R"({"cameras": []})") << "cameras: unknown field";
        QTest::newRow("list not an array") << QByteArray(R"({"ios": {}})") << "ios: expected an array";
        QTest::newRow("record not an object") << QByteArray(R"({"doors": [1]})") << "doors[0]: expected an object";
        QTest::newRow("unknown field") << QByteArray(R"({"dvrs": [{"pasword": "x"}]})") << "dvrs[0].pasword: unknown field";
        QTest::newRow("string for integer") << QByteArray(R"({"dvrs": [{}, {"id": "2"}]})") << "dvrs[1].id: expected an integer";
        QTest::newRow("fraction") << QByteArray(R"({"doors": [{"delay": 1.5}]})") << "doors[0].delay: expected an integer";
        QTest::newRow("beyond int32") << QByteArray(R"({"doors": [{"delay": 3000000000}]})") << "doors[0].delay: expected an integer from";
        QTest::newRow("port range") << QByteArray(R"({"streams": [{"out_port": 0}]})") << "streams[0].out_port: expected an integer from 1 to 65535";
        QTest::newRow("integer for string") << QByteArray(R"({"dvrs": [{"ip": 127}]})") << "dvrs[0].ip: expected a string";
        QTest::newRow("number for bool") << QByteArray(R"({"ios": [{"enabled": 1}]})") << "ios[0].enabled: expected true or false";
        QTest::newRow("channels as text") << QByteArray(R"({"streams": [{"channels": "[1]"}]})") << "streams[0].channels: expected an array";
        QTest::newRow("bad channel") << QByteArray(R"({"streams": [{"channels": [1, "two"]}]})") << "streams[0].channels[1]";
    }

    void badSitesNameThePlace()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, expected);
        SystemData site;
        site.add_dvrs()->set_id(5);
        QString error;
        QVERIFY(!SiteConfigReader::readJson(json, &site, &error));
        QVERIFY2(error.contains(expected), qPrintable(error));
        QCOMPARE(site.dvrs_size(), 1);
    }

    void fileErrorsNameTheFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("site.json");
        SystemData site;
        QString error;
        QVERIFY(!SiteConfigReader::readFile(path, &site, &error));
        QVERIFY2(error.startsWith(path + ": "), qPrintable(error));
        QVERIFY(writeFile(path, R"({"ios": [{"port": "8081"}]})"));
        QVERIFY(!SiteConfigReader::readFile(path, &site, &error));
        QCOMPARE(error, path + ": ios[0].port: expected an integer");

        LayoutPage page;
        page.path = dir.filePath("page.html");
        QVERIFY(!page.load(&error));
        QVERIFY(error.startsWith(page.path));
        QVERIFY(writeFile(page.path, "<p>caf\xe9</p>"));
        QVERIFY(!page.load(&error));
        QCOMPARE(error, page.path + ": not UTF-8 text");
        QVERIFY(writeFile(page.path, "<p>caf\xc3\xa9</p>"));
        QVERIFY(page.load(&error));
        QCOMPARE(page.content, QByteArray("<p>caf\xc3\xa9</p>"));
    }

    void options()
    {
        CentralOptions options;
        QString message;
        QCOMPARE(parse({"--site", "s.json"}, &options, &message), CentralOptions::Outcome::Run);
        QCOMPARE(options.publishEndpoint(), QStringLiteral("tcp://127.0.0.1:5001"));
        QCOMPARE(options.pullEndpoint(), QStringLiteral("tcp://127.0.0.1:5002"));
        QCOMPARE(parse({"--site", "s.json", "--address", "0.0.0.0", "--publish-port", "6001", "--pull-port", "6002",
                        "--ping-interval", "500", "--layout", "3=a=b.html", "--layout", "12=x.html"},
                       &options, &message),
                 CentralOptions::Outcome::Run);
        QCOMPARE(options.publishEndpoint(), QStringLiteral("tcp://0.0.0.0:6001"));
        QCOMPARE(options.pingIntervalMs, 500);
        QCOMPARE(options.layouts.size(), 2);
        QCOMPARE(options.layouts[0].ioId, 3);
        QCOMPARE(options.layouts[0].path, QStringLiteral("a=b.html"));
        QCOMPARE(options.layouts[1].ioId, 12);
        QCOMPARE(parse({"-h"}, &options, &message), CentralOptions::Outcome::Help);
        const QString key = QString::fromLatin1(CurveKeyPair::generate().publicKey);
        QCOMPARE(parse({"--site", "s.json", "--secret-key", "c.key", "--allow-client", key, "--allow-clients", "k.txt"},
                       &options, &message),
                 CentralOptions::Outcome::Run);
        QCOMPARE(options.secretKeyPath, QStringLiteral("c.key"));
        QCOMPARE(options.allowedClients, QList<QByteArray>{key.toLatin1()});
        QCOMPARE(options.allowedClientsPath, QStringLiteral("k.txt"));
        QCOMPARE(parse({"--make-key", "new.key"}, &options, &message), CentralOptions::Outcome::Run);
        QCOMPARE(options.makeKeyPath, QStringLiteral("new.key"));

        const QList<QStringList> refused = {
            {},
            {"--site", "s.json", "--layout", "x.html"},
            {"--site", "s.json", "--layout", "1="},
            {"--site", "s.json", "--ping-interval", "10"},
            {"--site", "s.json", "--pull-port", "5001"},
            {"--site", "s.json", "--address", "localhost"},
            {"--site", "s.json", "more"},
            {"--site", "s.json", "--allow-client", key},
            {"--site", "s.json", "--secret-key", "c.key", "--allow-client", "short"},
        };
        for (const QStringList &arguments : refused)
            QVERIFY2(parse(arguments, &options, &message) == CentralOptions::Outcome::Error, qPrintable(arguments.join(' ')));
    }

    void answersRegistrationWithSiteAndLayout()
    {
        CentralLink link;
        QString error;
        QVERIFY2(link.bind("tcp://127.0.0.1:*", "tcp://127.0.0.1:*", &error), qPrintable(error));
        SystemData site;
        QVERIFY(SiteConfigReader::readJson(R"({"dvrs": [{"id": 1, "name": "North"}], "ios": [{"id": 4}]})", &site, &error));
        LayoutPage layout;
        layout.ioId = 4;
        layout.path = QStringLiteral("gate.html");
        layout.content = "<html>gate</html>";
        CentralSession session(&link, site, {layout});
        QSignalSpy reports(&session, &CentralSession::report);
        ServicePeer service(link);
        session.start(100);

        // Pings arrive with the session's number, never 0.
        Packet packet;
        QVERIFY(service.next(&packet, false));
        QVERIFY(packet.has_ping());
        QCOMPARE(packet.ping().number(), session.pingNumber());
        QVERIFY(session.pingNumber() != 0);

        Packet hello;
        hello.set_client_id("site_1");
        hello.mutable_hello()->set_from_id("site_1");
        for (const char *fact : {"host-a", "html", "8087"})
            hello.mutable_hello()->add_str_data(fact);
        service.push(QByteArray::fromStdString(hello.SerializeAsString()));

        QVERIFY(service.next(&packet));
        QVERIFY(packet.has_hello());
        QCOMPARE(packet.client_id(), std::string("site_1"));
        QVERIFY(service.next(&packet));
        QVERIFY(packet.has_data());
        QCOMPARE(packet.client_id(), std::string("site_1"));
        QCOMPARE(packet.data().dvrs(0).name(), std::string("North"));
        QVERIFY(service.next(&packet));
        QCOMPARE(packet.command().type(), GENERATE_IO);
        QCOMPARE(packet.command().str_rs_size(), 2);
        QCOMPARE(packet.command().str_rs(0), std::string("4"));
        QCOMPARE(packet.command().str_rs(1), std::string("<html>gate</html>"));
        QCOMPARE(packet.client_type(), SERVICE);
        QVERIFY(reports.first().first().toString().contains("site_1: host host-a, layout directory html, events port 8087"));

        Packet pong;
        pong.set_client_id("site_1");
        pong.mutable_pong()->set_number(77);
        service.push(QByteArray::fromStdString(pong.SerializeAsString()));
        service.push("\xff\xff\xff");
        QTRY_VERIFY_WITH_TIMEOUT(reports.size() >= 6, 5000);
        QCOMPARE(reports.at(4).first().toString(), QStringLiteral("pong from site_1: session 77"));
        QCOMPARE(reports.at(5).first().toString(), QStringLiteral("received 3 bytes that are not a packet"));
    }

    void bindFailureIsReported()
    {
        CentralLink first;
        QString error;
        QVERIFY(first.bind("tcp://127.0.0.1:*", "tcp://127.0.0.1:*", &error));
        CentralLink second;
        QVERIFY(!second.bind(first.publishEndpoint(), "tcp://127.0.0.1:*", &error));
        QVERIFY(!error.isEmpty());
    }
};

int runCentralToolTest(int argc, char **argv)
{
    CentralToolTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "CentralToolTest.moc"
