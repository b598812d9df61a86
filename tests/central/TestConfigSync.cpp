#include "CentralTests.h"
#include "ConfigCheck.h"
#include "Config.h"
#include "ConfigSync.h"
#include "Settings.h"

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

#include <tuple>

namespace {

const int rows = 2000;

// The generation tag every table holds, or an explanation of why the
// tables do not hold exactly one whole generation.
QString storedGeneration(const QString &databasePath)
{
    QString result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(databasePath);
        if (!db.open())
            return QStringLiteral("cannot open");
        QStringList tags;
        for (const char *table : {"dvrs", "streams", "ios", "ioDoors"}) {
            QSqlQuery query(db);
            query.exec(QStringLiteral("SELECT COUNT(*), MIN(substr(name, 1, 1)), MAX(substr(name, 1, 1)) FROM %1")
                           .arg(QLatin1String(table)));
            if (!query.next() || query.value(0).toInt() != rows || query.value(1) != query.value(2))
                tags << QStringLiteral("%1: %2 rows").arg(QLatin1String(table), query.value(0).toString());
            else
                tags << query.value(1).toString();
        }
        tags.removeDuplicates();
        result = tags.join(QStringLiteral(", "));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    return result;
}

} // namespace

class TestConfigSync : public QObject
{
    Q_OBJECT

private slots:
    void channelsFromJson_data()
    {
        QTest::addColumn<QString>("json");
        QTest::addColumn<QList<int>>("channels");
        QTest::newRow("decimal strings") << "[\"1\",\"2\"]" << QList<int>{1, 2};
        QTest::newRow("numbers") << "[1,2]" << QList<int>{0, 0};
        QTest::newRow("mixed") << "[\"3\",\"x\",true]" << QList<int>{3, 0, 0};
        QTest::newRow("object") << "{\"a\":\"1\"}" << QList<int>{};
        QTest::newRow("not json") << "1,2" << QList<int>{};
        QTest::newRow("empty") << "" << QList<int>{};
    }

    void channelsFromJson()
    {
        QFETCH(QString, json);
        QFETCH(QList<int>, channels);
        QCOMPARE(ConfigSync::parseChannels(json.toStdString()), channels);
    }

    void dvrAddressIsABareHost_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("IPv4") << "192.168.1.20" << true;
        QTest::newRow("name") << "dvr-3.site.example" << true;
        QTest::newRow("IPv6") << "fd00::12" << true;
        QTest::newRow("port") << "10.0.0.1:8080" << false;
        QTest::newRow("path") << "10.0.0.1/admin" << false;
        QTest::newRow("user") << "u@10.0.0.1" << false;
        QTest::newRow("query") << "dvr?x=1" << false;
        QTest::newRow("space") << "dvr 1" << false;
        QTest::newRow("IPv6 zone") << "fe80::1%eth0" << false;
        QTest::newRow("hyphen first") << "-dvr" << false;
        QTest::newRow("label too long") << QString(64, 'a') << false;
        QTest::newRow("too long") << QString(254, 'a') << false;
    }

    void dvrAddressIsABareHost()
    {
        QFETCH(QString, host);
        QFETCH(bool, accepted);
        QCOMPARE(ConfigCheck::isHost(host), accepted);
    }

    // The configuration built from the records a sync stored, over the one
    // before, is the one reading the tables back gives: ids out of order, a
    // refused duplicate, a stream without channels, names no plain text
    // would have; then streams renamed, moved to another DVR, gone, added.
    void insertedRecordsBuildWhatTheTablesHold()
    {
        SiteConfig first;
        first.dvrs = {{9, QStringLiteral("Nörth"), "10.0.0.9", "u", "p"}, {2, QStringLiteral("A\0B"), "10.0.0.2", "", ""},
                      {9, QStringLiteral("Twice"), "10.0.0.1", "", ""}, {-4, QStringLiteral("Nörth"), "h", "", ""}};
        first.streams = {{30, "Main", 9, 80, 8030, {3, 1}}, {5, "Main", 9, 81, 8005, {}}, {7, "Side", 2, 80, 8007, {2}}};
        first.ios = {{6, "Gate", 9, -1, 8080, true, false}, {1, "Yard", 2, 0, 8081, false, true}};
        first.doors = {{4, "Front", 6, 1, 2, 30, 1}, {3, "Back", 6, 2, 3, 0, 0}, {8, "Lost", 77, 1, 1, 0, 0}};
        SiteConfig second = first;
        second.streams = {{30, "Renamed", 2, 80, 8030, {3, 1}}, {7, "Side", 2, 80, 8007, {2}}, {12, "New", 9, 80, 8012, {1}}};

        Settings *settings = Settings::instance();
        Config *config = Config::instance();
        const auto tables = [config] {
            return std::make_tuple(config->dvrs, config->dvrIdsByName, config->streams, config->dvrStreamIds, config->dvrStreamNames,
                                   config->dvrStreamIdsByName, config->ios, config->ioIds, config->ioDoors);
        };
        for (const SiteConfig &site : {first, second}) {
            SiteConfig inserted;
            QVERIFY(ConfigSync::store(site, *settings, &inserted));
            QCOMPARE(inserted.dvrs.size(), 3);
            const SiteConfig read = {settings->dvrs(), settings->streams(), settings->ios(), settings->doors()};
            QVERIFY(Settings::asStored(inserted) == read);

            config->load(inserted);
            const auto updated = tables();
            // Tables written since are built anew, here all from the database.
            std::apply([](auto &...table) { (table.clear(), ...); },
                       std::tie(config->dvrs, config->dvrIdsByName, config->streams, config->dvrStreamIds, config->dvrStreamNames,
                                config->dvrStreamIdsByName, config->ios, config->ioIds, config->ioDoors));
            config->load();
            QVERIFY(updated == tables());
        }
    }

    // A table that cannot be emptied would leave its rows beside the new ones.
    void tableThatCannotBeEmptiedKeepsTheStoredConfiguration()
    {
        Settings *settings = Settings::instance();
        SiteConfig old;
        old.dvrs = {{1, "Old", "10.0.0.1", "", ""}};
        old.streams = {{1, "Main", 1, 80, 8001, {1}}};
        QVERIFY(ConfigSync::store(old, *settings));
        QSqlQuery query;
        QVERIFY(query.exec("CREATE TRIGGER keepDvrs BEFORE DELETE ON dvrs BEGIN SELECT RAISE(ABORT, 'kept'); END"));
        SiteConfig next;
        next.dvrs = {{2, "New", "10.0.0.2", "", ""}};
        const bool stored = ConfigSync::store(next, *settings);
        QVERIFY(query.exec("DROP TRIGGER keepDvrs"));
        QVERIFY(!stored);
        QVERIFY(settings->dvrs() == old.dvrs);
        QVERIFY(settings->streams() == old.streams);
    }

    // Killed at any moment, the writer leaves the old configuration or the
    // new one, each whole.
    void killedSyncLeavesOldOrNew()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString database = dir.filePath(QStringLiteral("settings.db"));
        QCOMPARE(QProcess::execute(SYNC_WRITER, {database, QString::number(rows), "once"}), 0);
        QCOMPARE(storedGeneration(database), QStringLiteral("A"));

        for (int delayMs : {0, 5, 15, 30, 60, 100, 150}) {
            QProcess writer;
            writer.start(SYNC_WRITER, {database, QString::number(rows), "forever"});
            QVERIFY(writer.waitForStarted());
            QVERIFY(writer.waitForReadyRead());
            // Nothing to wait on here: the moment of the kill is what varies.
            QTest::qWait(delayMs);
            ::kill(pid_t(writer.processId()), SIGKILL);
            QVERIFY(writer.waitForFinished());
            const QString generation = storedGeneration(database);
            QVERIFY2(generation == "A" || generation == "B", qPrintable(generation));
        }
    }
};

int runConfigSyncTests(int argc, char **argv)
{
    TestConfigSync test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestConfigSync.moc"
