#include "Config.h"
#include "LogCapture.h"
#include "Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostInfo>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

class tst_Config : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void unopenableDatabaseLogsEveryFailure();
    void firstRunCreatesTablesAndSeedsIni();
    void notFoundValuesAreReseeded();
    void recordsRoundTrip();
    void channelText_data();
    void channelText();
    void duplicateIdIsRefusedAndLogged();
    void cleanDataEmptiesEveryTable();
    void rollbackKeepsTheOldConfiguration();
    void loadDefaults();
    void loadBuildsIndexes();
    void loadWithNonNumericPort();
    void reloadKeepsNothingOfThePrevious();
    void allowedNetworks_data();
    void allowedNetworks();

private:
    static void removeFiles();
    static void writeIni(const QString &key, const QString &value);
    static DVRInfo dvr(int id, const QString &name);
    static StreamInfo stream(int id, const QString &name, int dvrId, const QList<int> &channels);
};

void tst_Config::removeFiles()
{
    QFile::remove(Settings::databaseFilePath());
    QFile::remove(Settings::iniFilePath());
}

void tst_Config::writeIni(const QString &key, const QString &value)
{
    QSettings ini(Settings::iniFilePath(), QSettings::IniFormat);
    ini.setValue(key, value);
}

DVRInfo tst_Config::dvr(int id, const QString &name)
{
    return {id, name, QStringLiteral("10.0.0.%1").arg(id), QStringLiteral("admin"), QStringLiteral("pa:ss")};
}

StreamInfo tst_Config::stream(int id, const QString &name, int dvrId, const QList<int> &channels)
{
    return {id, name, dvrId, 80, 8000 + id, channels};
}

void tst_Config::initTestCase()
{
    removeFiles();
}

// Runs before the process-wide instance exists: it owns the default connection.
void tst_Config::unopenableDatabaseLogsEveryFailure()
{
    LogCapture log;
    {
        Settings broken(QDir::tempPath() + QStringLiteral("/no-such-dir-tavro/settings.db"));
        QCOMPARE(log.lines().mid(0, 2), QStringList({QStringLiteral("bool Settings::createTables()"), QStringLiteral("  Failed at:")}));
        QVERIFY(log.lines().at(2).startsWith(QStringLiteral("  CREATE TABLE IF NOT EXISTS `dvrs`")));
        QCOMPARE(log.lines().size(), 3);
        QVERIFY(!QFile::exists(Settings::iniFilePath()));

        log.clear();
        QVERIFY(broken.dvrs().isEmpty());
        QCOMPARE(log.lines().size(), 2);
        QCOMPARE(log.lines().at(0), QStringLiteral("QList<DVRInfo> Settings::dvrs()"));
        QVERIFY(log.lines().at(1).startsWith(QStringLiteral("  Failed: ")));

        log.clear();
        QVERIFY(!broken.insertDVR(dvr(1, QStringLiteral("North"))));
        QCOMPARE(log.lines().mid(0, 2), QStringList({QStringLiteral("bool Settings::insertDVR(const DVRInfo&)"), QStringLiteral("  Failed: ")}));
        QCOMPARE(log.lines().size(), 3);

        log.clear();
        broken.cleanData();
        QCOMPARE(log.lines().size(), 12);
        QCOMPARE(log.lines().at(2), QStringLiteral("  DELETE FROM `ioDoors`"));
        QCOMPARE(log.lines().at(11), QStringLiteral("  DELETE FROM `dvrs`"));
    }
    QCOMPARE(Settings::iniSettings().value(QStringLiteral("eventPort")), QStringLiteral("8087"));
}

void tst_Config::firstRunCreatesTablesAndSeedsIni()
{
    removeFiles();
    LogCapture log;
    Settings::instance();
    QVERIFY(log.lines().isEmpty());
    QVERIFY(QFile::exists(Settings::databaseFilePath()));
    QStringList tables = QSqlDatabase::database().tables();
    tables.sort();
    QCOMPARE(tables, QStringList({QStringLiteral("dvrs"), QStringLiteral("ioDoors"), QStringLiteral("ios"), QStringLiteral("streams")}));

    QSettings ini(Settings::iniFilePath(), QSettings::IniFormat);
    QStringList keys = ini.allKeys();
    keys.sort();
    QCOMPARE(keys, QStringList({QStringLiteral("eventPort"), QStringLiteral("id"), QStringLiteral("ioPath"), QStringLiteral("serverAddress"),
                                QStringLiteral("serverRecvPort"), QStringLiteral("serverSendPort")}));
    QCOMPARE(ini.value(QStringLiteral("serverAddress")).toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(ini.value(QStringLiteral("serverSendPort")).toString(), QStringLiteral("5001"));
    QCOMPARE(ini.value(QStringLiteral("serverRecvPort")).toString(), QStringLiteral("5002"));
    QCOMPARE(ini.value(QStringLiteral("eventPort")).toString(), QStringLiteral("8087"));
    QCOMPARE(ini.value(QStringLiteral("ioPath")).toString(), QStringLiteral("html"));
    QCOMPARE(ini.value(QStringLiteral("id")).toString(),
             QStringLiteral("%1_%2").arg(QHostInfo::localHostName(), QDir(QDir::homePath()).dirName()));
}

void tst_Config::notFoundValuesAreReseeded()
{
    writeIni(QStringLiteral("serverAddress"), QStringLiteral("NOT_FOUND"));
    writeIni(QStringLiteral("ioPath"), QString());
    writeIni(QStringLiteral("eventPort"), QStringLiteral("not_found"));
    QVERIFY(Settings::instance()->createTables());

    const QHash<QString, QString> ini = Settings::iniSettings();
    QCOMPARE(ini.value(QStringLiteral("serverAddress")), QStringLiteral("127.0.0.1"));
    QCOMPARE(ini.value(QStringLiteral("ioPath")), QString());
    QCOMPARE(ini.value(QStringLiteral("eventPort")), QStringLiteral("not_found"));

    writeIni(QStringLiteral("ioPath"), QStringLiteral("html"));
    writeIni(QStringLiteral("eventPort"), QStringLiteral("8087"));
}

void tst_Config::recordsRoundTrip()
{
    Settings *settings = Settings::instance();
    settings->cleanData();

    QVERIFY(settings->insertDVR(dvr(4, QStringLiteral("Nörth DVR"))));
    QVERIFY(settings->insertIO({9, QStringLiteral("Gate"), 4, -3, 8080, true, false}));
    // Module 77 does not exist: references are not enforced.
    QVERIFY(settings->insertDoor({2, QStringLiteral("Front"), 77, 1, 2, 30, 1}));

    const QList<DVRInfo> dvrs = settings->dvrs();
    QCOMPARE(dvrs.size(), 1);
    QCOMPARE(dvrs[0].id, 4);
    QCOMPARE(dvrs[0].name, QStringLiteral("Nörth DVR"));
    QCOMPARE(dvrs[0].ip, QStringLiteral("10.0.0.4"));
    QCOMPARE(dvrs[0].user, QStringLiteral("admin"));
    QCOMPARE(dvrs[0].pass, QStringLiteral("pa:ss"));

    const QList<IOInfo> ios = settings->ios();
    QCOMPARE(ios.size(), 1);
    QCOMPARE(ios[0].name, QStringLiteral("Gate"));
    QCOMPARE(ios[0].dvrId, 4);
    QCOMPARE(ios[0].state, -3);
    QCOMPARE(ios[0].port, 8080);
    QCOMPARE(ios[0].enabled, true);
    QCOMPARE(ios[0].eventsEnabled, false);

    const QList<DoorInfo> doors = settings->doors();
    QCOMPARE(doors.size(), 1);
    QCOMPARE(doors[0].ioId, 77);
    QCOMPARE(doors[0].inPin, 1);
    QCOMPARE(doors[0].outPin, 2);
    QCOMPARE(doors[0].delay, 30);
    QCOMPARE(doors[0].ncno, 1);
}

void tst_Config::channelText_data()
{
    QTest::addColumn<QList<int>>("stored");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<int>>("read");
    QTest::newRow("empty reads as channel 0") << QList<int>() << QString() << QList<int>({0});
    QTest::newRow("order kept") << QList<int>({3, 1, 2}) << QStringLiteral("3,1,2") << QList<int>({3, 1, 2});
    QTest::newRow("one channel") << QList<int>({16}) << QStringLiteral("16") << QList<int>({16});
}

void tst_Config::channelText()
{
    QFETCH(QList<int>, stored);
    QFETCH(QString, text);
    QFETCH(QList<int>, read);
    Settings *settings = Settings::instance();
    settings->cleanData();
    QVERIFY(settings->insertStream(stream(1, QStringLiteral("Main"), 4, stored)));

    QSqlQuery query(QStringLiteral("SELECT `channels` FROM `streams`"));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toString(), text);
    QCOMPARE(settings->streams().value(0).channels, read);
}

void tst_Config::duplicateIdIsRefusedAndLogged()
{
    Settings *settings = Settings::instance();
    settings->cleanData();
    QVERIFY(settings->insertDVR(dvr(1, QStringLiteral("First"))));
    LogCapture log;
    QVERIFY(!settings->insertDVR(dvr(1, QStringLiteral("Second"))));
    QCOMPARE(log.lines().size(), 3);
    QCOMPARE(log.lines().at(0), QStringLiteral("bool Settings::insertDVR(const DVRInfo&)"));
    QCOMPARE(log.lines().at(1), QStringLiteral("  Failed: "));
    QVERIFY(log.lines().at(2).startsWith(QStringLiteral("  ")));
    QCOMPARE(settings->dvrs().value(0).name, QStringLiteral("First"));
}

void tst_Config::cleanDataEmptiesEveryTable()
{
    Settings *settings = Settings::instance();
    settings->insertDVR(dvr(5, QStringLiteral("A")));
    settings->insertStream(stream(5, QStringLiteral("S"), 5, {1}));
    LogCapture log;
    settings->cleanData();
    QVERIFY(settings->dvrs().isEmpty());
    QVERIFY(settings->streams().isEmpty());
    QVERIFY(settings->ios().isEmpty());
    QVERIFY(settings->doors().isEmpty());
    QVERIFY(log.lines().isEmpty());
}

void tst_Config::rollbackKeepsTheOldConfiguration()
{
    Settings *settings = Settings::instance();
    settings->cleanData();
    settings->insertDVR(dvr(1, QStringLiteral("Old")));

    QVERIFY(settings->beginTransaction());
    settings->cleanData();
    settings->insertDVR(dvr(2, QStringLiteral("New")));
    QVERIFY(settings->rollbackTransaction());
    QCOMPARE(settings->dvrs().value(0).name, QStringLiteral("Old"));

    QVERIFY(settings->beginTransaction());
    settings->cleanData();
    settings->insertDVR(dvr(2, QStringLiteral("New")));
    QVERIFY(settings->commitTransaction());
    QCOMPARE(settings->dvrs().size(), 1);
    QCOMPARE(settings->dvrs().value(0).name, QStringLiteral("New"));
}

void tst_Config::loadDefaults()
{
    Settings::instance()->cleanData();
    QFile::remove(Settings::iniFilePath());
    LogCapture log;
    Config *config = Config::instance();
    config->load();
    QCOMPARE(log.lines(), QStringList({
        QStringLiteral("void Config::load()"),
        QStringLiteral("  Loaded 0 DVRs"),
        QStringLiteral("  Loaded 0 Streams"),
        QStringLiteral("  Loaded 0 IOs"),
        QStringLiteral("  Loaded 0 Doors"),
        QStringLiteral("  Sub: tcp://127.0.0.1:5001"),
        QStringLiteral("  Push: tcp://127.0.0.1:5002"),
    }));
    QCOMPARE(config->eventPort, 8087);
    QCOMPARE(config->ioPath, QStringLiteral("html"));
    QCOMPARE(config->serverAddress, QStringLiteral("127.0.0.1"));
    QCOMPARE(config->id, QStringLiteral("%1_%2").arg(QHostInfo::localHostName(), QDir(QDir::homePath()).dirName()));
    QVERIFY(config->dvrs.isEmpty());
    QVERIFY(config->streams.isEmpty());
    QVERIFY(config->ios.isEmpty());
    QVERIFY(config->ioIds.isEmpty());
}

void tst_Config::loadBuildsIndexes()
{
    Settings *settings = Settings::instance();
    settings->cleanData();
    settings->insertDVR(dvr(1, QStringLiteral("Twin")));
    settings->insertDVR(dvr(2, QStringLiteral("Twin")));
    settings->insertDVR(dvr(3, QStringLiteral("Lonely")));
    settings->insertStream(stream(10, QStringLiteral("Main"), 1, {1, 2}));
    settings->insertStream(stream(11, QStringLiteral("Main"), 1, {3}));
    settings->insertStream(stream(12, QStringLiteral("Orphan"), 99, {1}));
    settings->insertIO({7, {}, 1, 0, 0, false, false});
    settings->insertIO({5, {}, 1, 0, 0, false, false});
    settings->insertDoor({1, {}, 7, 0, 0, 0, 0});
    settings->insertDoor({2, {}, 7, 0, 0, 0, 0});

    LogCapture log;
    Config *config = Config::instance();
    config->load();
    QCOMPARE(log.lines().mid(1, 4), QStringList({QStringLiteral("  Loaded 3 DVRs"), QStringLiteral("  Loaded 3 Streams"),
                                                 QStringLiteral("  Loaded 2 IOs"), QStringLiteral("  Loaded 2 Doors")}));
    QCOMPARE(config->dvrs.size(), 3);
    QCOMPARE(config->dvrIdsByName.value(QStringLiteral("Twin")), 2);
    QVERIFY(!config->dvrStreamIds.contains(3));
    QVERIFY(!config->dvrStreamNames.contains(3));
    QVERIFY(!config->dvrStreamIdsByName.contains(3));
    QCOMPARE(config->dvrStreamIds.value(1), QList<int>({10, 11}));
    QCOMPARE(config->dvrStreamNames.value(1), QStringList({QStringLiteral("Main"), QStringLiteral("Main")}));
    QCOMPARE(config->dvrStreamIdsByName.value(1).value(QStringLiteral("Main")), 11);
    QCOMPARE(config->dvrStreamIds.value(99), QList<int>({12}));
    QCOMPARE(config->streams.value(12).name, QStringLiteral("Orphan"));
    QCOMPARE(config->ioIds, QList<int>({5, 7}));
    QCOMPARE(config->ioDoors.value(7).size(), 2);
    QVERIFY(!config->ioDoors.contains(5));
}

void tst_Config::loadWithNonNumericPort()
{
    writeIni(QStringLiteral("serverSendPort"), QStringLiteral("fifty"));
    writeIni(QStringLiteral("serverAddress"), QStringLiteral("central.site"));
    Config *config = Config::instance();
    config->load();
    QCOMPARE(config->serverSendPort, 0);
    QCOMPARE(config->subEndpoint, QStringLiteral("tcp://central.site:0"));
    QCOMPARE(config->pushEndpoint, QStringLiteral("tcp://central.site:5002"));
    QFile::remove(Settings::iniFilePath());
}

void tst_Config::reloadKeepsNothingOfThePrevious()
{
    Config *config = Config::instance();
    QVERIFY(!config->dvrs.isEmpty());
    Settings::instance()->cleanData();
    config->load();
    QVERIFY(config->dvrs.isEmpty());
    QVERIFY(config->dvrIdsByName.isEmpty());
    QVERIFY(config->streams.isEmpty());
    QVERIFY(config->dvrStreamIds.isEmpty());
    QVERIFY(config->dvrStreamNames.isEmpty());
    QVERIFY(config->dvrStreamIdsByName.isEmpty());
    QVERIFY(config->ios.isEmpty());
    QVERIFY(config->ioDoors.isEmpty());
    QVERIFY(config->ioIds.isEmpty());
}

void tst_Config::allowedNetworks_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QStringList>("networks");
    QTest::addColumn<bool>("closed");
    QTest::addColumn<QStringList>("logged");
    QTest::newRow("absent") << QByteArray() << QStringList() << false << QStringList();
    QTest::newRow("empty") << QByteArray("allowedNetworks=") << QStringList() << false << QStringList();
    QTest::newRow("one host") << QByteArray("allowedNetworks=192.168.1.7") << QStringList({"192.168.1.7/32"}) << false
                              << QStringList({"  Allowed networks: 192.168.1.7/32"});
    // Unquoted, the commas make the INI reader return a list.
    QTest::newRow("unquoted list") << QByteArray("allowedNetworks=10.0.0.0/8, fd00::/8,bogus ,,192.168.1.0/255.255.255.0")
                                   << QStringList({"10.0.0.0/8", "fd00::/8", "192.168.1.0/24"}) << false
                                   << QStringList({"  Ignored allowed network: bogus", "  Allowed networks: 10.0.0.0/8, fd00::/8, 192.168.1.0/24"});
    QTest::newRow("quoted list") << QByteArray("allowedNetworks=\"10.0.0.0/8, 10.1.0.0/33\"") << QStringList({"10.0.0.0/8"}) << false
                                 << QStringList({"  Ignored allowed network: 10.1.0.0/33", "  Allowed networks: 10.0.0.0/8"});
    QTest::newRow("nothing valid") << QByteArray("allowedNetworks=127.0.0.2/33") << QStringList() << true
                                   << QStringList({"  Ignored allowed network: 127.0.0.2/33", "  No valid allowed network: no client is served"});
    QTest::newRow("allowed hosts") << QByteArray("allowedHosts=tavro.site, Cams.Local") << QStringList() << false
                                   << QStringList({"  Allowed hosts: tavro.site, Cams.Local"});
}

// The keys are never seeded; the servers get what parses, in order.
void tst_Config::allowedNetworks()
{
    QFETCH(QByteArray, line);
    QFETCH(QStringList, networks);
    QFETCH(bool, closed);
    QFETCH(QStringList, logged);
    QFile::remove(Settings::iniFilePath());
    Settings::instance();
    if (!line.isEmpty()) {
        QFile ini(Settings::iniFilePath());
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[General]\n" + line + "\n");
    }
    LogCapture log;
    Config *config = Config::instance();
    config->load();
    QStringList loaded;
    for (const auto &network : qAsConst(config->allowedNetworks))
        loaded.append(QStringLiteral("%1/%2").arg(network.first.toString()).arg(network.second));
    QCOMPARE(loaded, networks);
    QCOMPARE(config->noAllowedNetworkApplies, closed);
    QCOMPARE(log.lines().mid(7), logged);
    QCOMPARE(config->eventPort, 8087);
}

QTEST_GUILESS_MAIN(tst_Config)
#include "tst_config.moc"
