#include "AlarmPage.h"
#include "FrameRenderer.h"
#include "SimDvr.h"
#include "SimDvrOptions.h"
#include "SimIoModule.h"
#include "ToolsTests.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrlQuery>
#include <QtTest>

#include <memory>

namespace {

using IntMap = QMap<int, int>;

SimDvrOptions::Outcome parse(const QStringList &arguments, SimDvrOptions *options, QString *message)
{
    return SimDvrOptions::parse(QStringList{QStringLiteral("tavro-sim-dvr")} + arguments, options, message);
}

// A finished GET, with or without the simulator's default credentials.
std::unique_ptr<QNetworkReply> get(QNetworkAccessManager &network, const QString &url, bool authenticate = true)
{
    QNetworkRequest request{QUrl(url)};
    if (authenticate)
        request.setRawHeader("Authorization", "Basic " + QByteArray("admin:admin").toBase64());
    std::unique_ptr<QNetworkReply> reply(network.get(request));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    finished.wait(5000);
    return reply;
}

} // namespace

class SimDvrTest : public QObject
{
    Q_OBJECT

private slots:
    void optionsDefaultsAndValues()
    {
        SimDvrOptions options;
        QString message;
        QCOMPARE(parse({}, &options, &message), SimDvrOptions::Outcome::Run);
        QCOMPARE(options.channels, 4);
        QCOMPARE(options.follows, (IntMap{{1, 1}}));

        QCOMPARE(parse({"--port", "9000", "--io-port", "9001", "--channels", "2", "--follow", "2:3",
                        "--follow", "4:1", "--size", "320x240", "--user", "u", "--password", ""},
                       &options, &message),
                 SimDvrOptions::Outcome::Run);
        QCOMPARE(options.port, quint16(9000));
        QCOMPARE(options.ioPort, quint16(9001));
        QCOMPARE(options.channels, 2);
        QCOMPARE(options.follows, (IntMap{{2, 3}, {4, 1}}));
        QCOMPARE(options.size, QSize(320, 240));
        QCOMPARE(options.user, QStringLiteral("u"));
        QCOMPARE(options.password, QString());

        QCOMPARE(parse({"--follow", "none"}, &options, &message), SimDvrOptions::Outcome::Run);
        QVERIFY(options.follows.isEmpty());
        QCOMPARE(parse({"--help"}, &options, &message), SimDvrOptions::Outcome::Help);
        QVERIFY(message.contains(QLatin1String("--io-port")));
    }

    void optionsRefused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no channels") << QStringList{"--channels", "0"} << "--channels";
        QTest::newRow("too many channels") << QStringList{"--channels", "65"} << "--channels";
        QTest::newRow("port not a number") << QStringList{"--port", "80a"} << "--port";
        QTest::newRow("port out of range") << QStringList{"--io-port", "70000"} << "--io-port";
        QTest::newRow("same ports") << QStringList{"--port", "9000", "--io-port", "9000"} << "must differ";
        QTest::newRow("follow form") << QStringList{"--follow", "1-1"} << "--follow";
        QTest::newRow("follow past the pins") << QStringList{"--outputs", "2", "--follow", "1:3"} << "1:3";
        QTest::newRow("size form") << QStringList{"--size", "640"} << "--size";
        QTest::newRow("unknown option") << QStringList{"--cameras", "3"} << "cameras";
        QTest::newRow("stray argument") << QStringList{"extra"} << "extra";
    }

    void optionsRefused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, reason);
        SimDvrOptions options;
        options.channels = 7;
        QString message;
        QCOMPARE(parse(arguments, &options, &message), SimDvrOptions::Outcome::Error);
        QVERIFY2(message.contains(reason), qPrintable(message));
        QCOMPARE(options.channels, 7);
    }

    // The page must read back, by the events server's own rules, as the
    // state the module holds.
    void pageReadsAsTheModuleState()
    {
        SimIoModule module(3, 2, {{2, 1}, {9, 1}});
        AlarmPage page = AlarmPage::parse(module.page());
        QCOMPARE(page.inputs, (IntMap{{1, 0}, {2, 0}, {3, 0}}));
        QCOMPARE(page.outputs, (IntMap{{1, 0}, {2, 0}}));
        QCOMPARE(page.states, (IntMap{{1, 0}, {2, 0}, {3, 0}}));

        QCOMPARE(module.applyQuery(QUrlQuery("gpi1=0&gpi2=0&gpi3=0&gpo1=1&gpo2=1&rdm=4711")), (QList<int>{1, 2}));
        page = AlarmPage::parse(module.page());
        QCOMPARE(page.outputs, (IntMap{{1, 1}, {2, 1}}));
        QCOMPARE(page.inputs, (IntMap{{1, 0}, {2, 1}, {3, 0}}));
        QCOMPARE(page.states, (IntMap{{1, 0}, {2, 1}, {3, 0}}));

        QCOMPARE(module.applyQuery(QUrlQuery("gpo1=0&gpo2=1&rdm=1")), QList<int>{1});
        QCOMPARE(AlarmPage::parse(module.page()).outputs, (IntMap{{1, 0}, {2, 1}}));
    }

    void queryItemsThatChangeNothing()
    {
        SimIoModule module(1, 2, {});
        QVERIFY(module.applyQuery(QUrlQuery("gpo3=1&gpo0=1&gpox=1&gpo1=on&gpi1=1&gpo2=0")).isEmpty());
        QCOMPARE(module.output(1), 0);
        QCOMPARE(module.input(1), 0);
        QCOMPARE(module.applyQuery(QUrlQuery("gpo2=5")), QList<int>{2});
        QCOMPARE(module.output(2), 1);
    }

    void framesShowTimeAndCounter()
    {
        const FrameRenderer renderer(QSize(320, 180));
        const QDateTime now = QDateTime::currentDateTime();
        const QImage first = renderer.draw(1, 1, now);
        QCOMPARE(first.size(), QSize(320, 180));
        QVERIFY(first != renderer.draw(1, 2, now));
        QVERIFY(first != renderer.draw(1, 1, now.addMSecs(500)));
        QVERIFY(first != renderer.draw(2, 1, now));

        const QImage decoded = QImage::fromData(renderer.jpeg(3, 9, now), "JPEG");
        QCOMPARE(decoded.size(), QSize(320, 180));
    }

    void servesSnapshotsAndModuleOverLoopback()
    {
        SimDvrOptions options;
        options.channels = 2;
        options.size = QSize(160, 90);
        SimDvr dvr(options);
        QVERIFY2(dvr.start(0, 0), qPrintable(dvr.errorString()));
        const QString base = QStringLiteral("http://127.0.0.1:%1").arg(dvr.port());
        const QString io = QStringLiteral("http://127.0.0.1:%1").arg(dvr.ioPort());
        QNetworkAccessManager network;

        // Snapshots count from 0: channel 2 of 2 is the last.
        auto reply = get(network, base + "/snapshot1.jpg");
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QCOMPARE(reply->header(QNetworkRequest::ContentTypeHeader).toString(), QStringLiteral("image/jpeg"));
        const QByteArray first = reply->readAll();
        QCOMPARE(QImage::fromData(first, "JPEG").size(), QSize(160, 90));
        QVERIFY(get(network, base + "/snapshot1.jpg")->readAll() != first);

        QCOMPARE(get(network, base + "/snapshot0.jpg")->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        for (const char *path : {"/snapshot2.jpg", "/snapshot01.jpg", "/snapshot-1.jpg", "/snapshot.jpg"})
            QCOMPARE(get(network, base + path)->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);
        reply = get(network, base + "/snapshot0.jpg", false);
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 401);
        QVERIFY(reply->rawHeader("WWW-Authenticate").startsWith("Basic"));
        QCOMPARE(get(network, io + "/alarm.htm", false)->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 401);

        QSignalSpy changed(&dvr, &SimDvr::outputChanged);
        reply = get(network, io + "/alarm.htm?gpi1=0&gpo1=1&gpo2=0&rdm=17");
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        const AlarmPage page = AlarmPage::parse(reply->readAll());
        QCOMPARE(page.outputs.value(1), 1);
        QCOMPARE(page.inputs.value(1), 1);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.first(), (QVariantList{1, 1}));
    }

    void portInUseIsReported()
    {
        SimDvr first{SimDvrOptions()};
        QVERIFY(first.start(0, 0));
        SimDvr second{SimDvrOptions()};
        QVERIFY(!second.start(0, first.ioPort()));
        QVERIFY2(second.errorString().contains(QString::number(first.ioPort())), qPrintable(second.errorString()));
    }
};

int runSimDvrTest(int argc, char **argv)
{
    SimDvrTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "SimDvrTest.moc"
