#include "CentralTests.h"
#include "CommandManager.h"
#include "Config.h"
#include "LogCapture.h"
#include "Settings.h"
#include "proto/svc.pb.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QString ourId = QStringLiteral("site-7");

QByteArray generateIO(const QStringList &parameters)
{
    Packet packet;
    packet.set_client_id(ourId.toStdString());
    CommandRequest *command = packet.mutable_command();
    command->set_type(GENERATE_IO);
    for (const QString &parameter : parameters)
        command->add_str_rs(parameter.toStdString());
    return QByteArray::fromStdString(packet.SerializeAsString());
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QStringList filesBelow(const QString &dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(dir).relativeFilePath(it.next());
    files.sort();
    return files;
}

} // namespace

// The command handler is driven directly, as the transport would call it.
class TestLayoutPages : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_appDir = QCoreApplication::applicationDirPath();
        m_layout = m_appDir + "/html";
    }

    void init()
    {
        QDir(m_layout).removeRecursively();

        Config *config = Config::instance();
        config->id = ourId;
        config->ioPath = QStringLiteral("html");
        config->dvrs.clear();
        config->ios.clear();
        addDVR(1, QStringLiteral("North"));
        addIO(5, QStringLiteral("Lobby"), 1);
    }

    void cleanup()
    {
        QDir(m_layout).removeRecursively();
    }

    void storesThePageByIdAndByName()
    {
        LogCapture log;
        const QString page = QStringLiteral("<html>Вход — Zürich</html>");
        handle(generateIO({"5", page}));

        const QString byId = m_layout + "/North/5.html";
        const QString byName = m_layout + "/North/Lobby.html";
        QCOMPARE(log.lines(), QStringList({"kCommand, type: 3", "  Generating: " + byId,
                                           "  Generating: " + byName}));
        QCOMPARE(contentOf(byId), page.toUtf8());
        QCOMPARE(contentOf(byName), page.toUtf8());

        handle(generateIO({"5", "new"}));
        QCOMPARE(contentOf(byId), QByteArray("new"));
        QCOMPARE(contentOf(byName), QByteArray("new"));
        QCOMPARE(filesBelow(m_layout), QStringList({"North/5.html", "North/Lobby.html"}));
    }

    void refusedCommandsWriteNothing_data()
    {
        QTest::addColumn<QStringList>("parameters");
        QTest::addColumn<QString>("line");
        QTest::newRow("one parameter") << QStringList{"5"} << "Incorrect parameter of GENERATE_IO cmd";
        QTest::newRow("three parameters") << QStringList{"5", "page", "more"}
                                          << "Incorrect parameter of GENERATE_IO cmd";
        QTest::newRow("not a number") << QStringList{"five", "page"} << "GENERATE_IO - ioId invalid: 0";
        QTest::newRow("unknown module") << QStringList{"6", "page"} << "GENERATE_IO - ioId invalid: 6";
        QTest::newRow("unknown DVR") << QStringList{"7", "page"} << "GENERATE_IO - dvrId invalid: 9";
    }

    void refusedCommandsWriteNothing()
    {
        QFETCH(QStringList, parameters);
        QFETCH(QString, line);
        addIO(7, QStringLiteral("Orphan"), 9);
        LogCapture log;
        handle(generateIO(parameters));
        QCOMPARE(log.lines(), QStringList({"kCommand, type: 3", line}));
        QVERIFY(!QFileInfo::exists(m_layout));
    }

    void moduleNamedAfterItsIdGetsOneFile()
    {
        addIO(8, QStringLiteral("8"), 1);
        handle(generateIO({"8", "page"}));
        QCOMPARE(filesBelow(m_layout), QStringList("North/8.html"));
    }

    void namesLeadingOutOfTheLayoutDirectoryAreRefused_data()
    {
        QTest::addColumn<QString>("dvrName");
        QTest::addColumn<QString>("ioName");
        QTest::addColumn<QStringList>("written");
        QTest::newRow("module ..") << "North" << "../../escaped" << QStringList("North/5.html");
        QTest::newRow("module absolute") << "North" << "/tmp/escaped" << QStringList("North/5.html");
        QTest::newRow("module NUL") << "North" << QString::fromLatin1("Lob\0by", 6) << QStringList("North/5.html");
        QTest::newRow("DVR ..") << ".." << "Lobby" << QStringList();
        QTest::newRow("DVR inner ..") << "a/../../.." << "Lobby" << QStringList();
        QTest::newRow("DVR absolute") << "/tmp/escaped" << "Lobby" << QStringList();
    }

    void namesLeadingOutOfTheLayoutDirectoryAreRefused()
    {
        QFETCH(QString, dvrName);
        QFETCH(QString, ioName);
        QFETCH(QStringList, written);
        addDVR(1, dvrName);
        addIO(5, ioName, 1);
        LogCapture log;
        const QStringList before = filesBelow(m_appDir);
        handle(generateIO({"5", "page"}));

        QCOMPARE(log.lines().filter(QStringLiteral("Refused")).size(), 2 - written.size());
        QStringList after = filesBelow(m_appDir);
        for (const QString &file : before)
            after.removeOne(file);
        QStringList expected;
        for (const QString &file : written)
            expected << "html/" + file;
        QCOMPARE(after, expected);
    }

    void ordinaryNamesWithSpacesAndLettersWork()
    {
        addDVR(1, QStringLiteral("Nord Ost"));
        addIO(5, QStringLiteral("Büro 2"), 1);
        handle(generateIO({"5", "page"}));
        QCOMPARE(filesBelow(m_layout), QStringList({"Nord Ost/5.html", "Nord Ost/Büro 2.html"}));
    }

    // Right after a data packet, the orchestrator has reloaded the
    // configuration and the command sees the new modules.
    void followsTheConfigurationOfTheLastDataPacket()
    {
        QSettings ini(Settings::iniFilePath(), QSettings::IniFormat);
        ini.setValue(QStringLiteral("id"), ourId);
        ini.setValue(QStringLiteral("ioPath"), QStringLiteral("html"));
        ini.sync();
        QObject::connect(&m_manager, &CommandManager::configUpdated, this,
                         [] { Config::instance()->load(); });

        Packet packet;
        packet.set_client_id(ourId.toStdString());
        DVR *dvr = packet.mutable_data()->add_dvrs();
        dvr->set_id(3);
        dvr->set_name("West");
        dvr->set_ip("10.0.0.3");
        IO *io = packet.mutable_data()->add_ios();
        io->set_id(12);
        io->set_name("Gate");
        io->set_dvr_id(3);
        io->set_port(81);
        handle(QByteArray::fromStdString(packet.SerializeAsString()));
        handle(generateIO({"12", "page"}));
        QCOMPARE(filesBelow(m_layout), QStringList({"West/12.html", "West/Gate.html"}));
    }

private:
    void handle(const QByteArray &data)
    {
        QMetaObject::invokeMethod(&m_manager, "handleTopicMessage", Qt::DirectConnection,
                                  Q_ARG(QByteArray, "services"), Q_ARG(QByteArray, data));
    }

    static void addDVR(int id, const QString &name)
    {
        DVRInfo dvr;
        dvr.id = id;
        dvr.name = name;
        Config::instance()->dvrs.insert(id, dvr);
    }

    static void addIO(int id, const QString &name, int dvrId)
    {
        IOInfo io;
        io.id = id;
        io.name = name;
        io.dvrId = dvrId;
        Config::instance()->ios.insert(id, io);
    }

    CommandManager m_manager;
    QString m_appDir;
    QString m_layout;
};

int runLayoutPagesTests(int argc, char **argv)
{
    TestLayoutPages test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestLayoutPages.moc"
