#include "CentralPeer.h"
#include "CentralTests.h"
#include "CommandManager.h"
#include "Config.h"
#include "LogCapture.h"
#include "Settings.h"
#include "proto/svc.pb.h"

#include <QHostInfo>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

const std::string ourId = "site-7";

Packet ping(int number, const std::string &clientId = ourId)
{
    Packet packet;
    packet.set_client_id(clientId);
    packet.mutable_ping()->set_number(number);
    return packet;
}

Packet hello(const std::string &clientId)
{
    Packet packet;
    packet.set_client_id(clientId);
    packet.mutable_hello()->set_from_id("central");
    return packet;
}

Packet command(CommandType type, const std::string &clientId)
{
    Packet packet;
    packet.set_client_id(clientId);
    packet.mutable_command()->set_type(type);
    return packet;
}

QByteArray varint(quint32 value)
{
    QByteArray bytes;
    for (; value >= 0x80; value >>= 7)
        bytes += char(value | 0x80);
    return bytes + char(value);
}

QString kind(const Packet &packet)
{
    if (packet.has_hello())
        return QStringLiteral("hello");
    if (packet.has_pong())
        return QStringLiteral("pong %1").arg(packet.pong().number());
    return QStringLiteral("other");
}

} // namespace

class TestCommandManager : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_peer = std::make_unique<CentralPeer>();
        Config *config = Config::instance();
        config->id = QString::fromStdString(ourId);
        config->subEndpoint = m_peer->publishEndpoint();
        config->pushEndpoint = m_peer->pullEndpoint();
        config->ioPath = QStringLiteral("html");
        config->eventPort = 8087;
    }

    void cleanup()
    {
        m_manager.reset();
        m_peer.reset();
    }

    void newPingNumberRegistersSameNumberPongs()
    {
        startManager();
        m_peer->publish(ping(7));
        QByteArray frame;
        QVERIFY(m_peer->waitForFrame(&frame));
        QVERIFY2(!frame.startsWith('\x08'), "client_type SERVICE is the default, never written");
        Packet registration;
        QVERIFY(registration.ParseFromArray(frame.constData(), frame.size()));
        QCOMPARE(registration.client_type(), SERVICE);
        QCOMPARE(registration.client_id(), ourId);
        QVERIFY(registration.has_hello());
        QCOMPARE(registration.hello().from_id(), ourId);
        QCOMPARE(registration.hello().str_data_size(), 3);
        QCOMPARE(QString::fromStdString(registration.hello().str_data(0)), QHostInfo::localHostName());
        QCOMPARE(registration.hello().str_data(1), std::string("html"));
        QCOMPARE(registration.hello().str_data(2), std::string("8087"));
        QCOMPARE(registration.hello().int_data_size(), 0);

        m_peer->publish(ping(7));
        QVERIFY(m_peer->waitForFrame(&frame));
        Packet pong;
        QVERIFY(pong.ParseFromArray(frame.constData(), frame.size()));
        QVERIFY(pong.has_pong());
        QCOMPARE(pong.client_id(), ourId);
        const qint32 session = pong.pong().number();
        QVERIFY(session >= 0);
        // Field 16 holding a Pong whose number is field 2.
        const QByteArray number = session ? '\x10' + varint(quint32(session)) : QByteArray();
        QVERIFY(frame.endsWith("\x82\x01" + QByteArray(1, char(number.size())) + number));

        // Handled whatever client id it carries; the session number stays.
        m_peer->publish(ping(7, "another-site"));
        m_peer->publish(ping(8));
        m_peer->publish(ping(8));
        QCOMPARE(nextPackets(3), QStringList({QStringLiteral("pong %1").arg(session), "hello",
                                              QStringLiteral("pong %1").arg(session)}));
    }

    void alternatingNumbersNeverGetAPong()
    {
        startManager();
        for (int number : {3, 4, 3, 4, 4})
            m_peer->publish(ping(number));
        const QStringList packets = nextPackets(5);
        QCOMPARE(packets.mid(0, 4), QStringList({"hello", "hello", "hello", "hello"}));
        QVERIFY(packets.at(4).startsWith("pong"));
    }

    void firstPingWithZeroIsAnsweredAtOnce()
    {
        startManager();
        m_peer->publish(ping(0, "another-site"));
        QVERIFY(nextPackets(1).at(0).startsWith("pong"));
    }

    void dispatchLogsOnlyWhatItDoesNotHandle()
    {
        startManager();
        LogCapture log;
        QSignalSpy updated(m_manager.get(), &CommandManager::configUpdated);

        Packet data;
        data.set_client_id("another-site");
        data.mutable_data()->add_dvrs()->set_id(1);
        Packet create;
        create.set_client_id("another-site");
        create.mutable_create()->mutable_dvr()->set_id(1);
        Packet remove;
        remove.mutable_remove()->mutable_door()->set_id(1);
        Packet monitorHello = hello(ourId);
        monitorHello.set_client_type(MONITOR);
        Packet monitorPing = ping(9);
        monitorPing.set_client_type(MONITOR);
        Packet pong;
        pong.mutable_pong()->set_number(1);

        m_peer->publish(hello(ourId));
        m_peer->publish(hello("another-site"));
        m_peer->publish(data);
        m_peer->publish(command(GENERATE_IO, "another-site"));
        m_peer->publishFrames({"services", QByteArray()});
        m_peer->publish(create);
        m_peer->publish(remove);
        m_peer->publish(monitorHello);
        m_peer->publish(monitorPing);
        m_peer->publish(pong);
        m_peer->publishFrames({"services", "\xff\xff\xff"});
        // A data packet for us whose Stream.name is not UTF-8.
        m_peer->publishFrames({"services", QByteArray("\x12\x06site-7\x32\x05\x1a\x03\x12\x01\xff", 15)});
        m_peer->publish(command(UPDATE_CONFIG, ourId), "services/elsewhere");
        m_peer->publish(hello(ourId));

        const QString parseFailure = "void CommandManager::handleTopicMessage(QByteArray, QByteArray)";
        const QStringList expected = {
            "  Registered id: site-7",
            "  unhandled type: 0",
            "  unhandled type: 7",
            "  unhandled type: 9",
            "  unhandled type: 16",
            parseFailure, "  Can't parse buffer",
            parseFailure, "  Can't parse buffer",
            "kCommand, type: 2",
            "  Registered id: site-7",
        };
        QTRY_COMPARE(log.lines(), expected);
        QCOMPARE(updated.count(), 0);

        // The monitor's ping changed nothing: 9 is still a new number.
        m_peer->publish(ping(9));
        QCOMPARE(nextPackets(1), QStringList("hello"));
    }

    void dataPacketReplacesTheStoredConfiguration()
    {
        Settings *settings = Settings::instance();
        settings->cleanData();
        DVRInfo old;
        old.id = 40;
        old.name = QStringLiteral("Old");
        QVERIFY(settings->insertDVR(old));

        startManager();
        LogCapture log;
        QSignalSpy updated(m_manager.get(), &CommandManager::configUpdated);

        Packet packet;
        packet.set_client_id(ourId);
        SystemData *data = packet.mutable_data();
        addDVR(data, 1, "North");
        addDVR(data, 1, "Again");
        addDVR(data, 2, "Süd");
        Stream *stream = data->add_streams();
        stream->set_id(10);
        stream->set_name("Front");
        stream->set_dvr_id(1);
        stream->set_in_port(80);
        stream->set_out_port(8090);
        stream->set_channels("[\"1\",\"2\"]");
        stream = data->add_streams();
        stream->set_id(11);
        stream->set_in_port(80);
        stream->set_out_port(8091);
        stream->set_channels("[1,2]");
        IO *io = data->add_ios();
        io->set_id(5);
        io->set_name("Lobby");
        io->set_dvr_id(1);
        io->set_port(81);
        io->set_state(3);
        io->set_enabled(true);
        Door *door = data->add_doors();
        door->set_id(3);
        door->set_name("Main");
        door->set_io_id(99);
        door->set_in_pin(1);
        door->set_out_pin(2);
        door->set_delay(5);
        door->set_nonc(1);
        m_peer->publish(packet);
        QVERIFY(updated.wait());

        const QList<DVRInfo> dvrs = settings->dvrs();
        QCOMPARE(dvrs.size(), 2);
        QCOMPARE(dvrs.at(0).name, QStringLiteral("North"));
        QCOMPARE(dvrs.at(0).ip, QStringLiteral("10.0.0.1"));
        QCOMPARE(dvrs.at(0).user, QStringLiteral("admin"));
        QCOMPARE(dvrs.at(0).pass, QStringLiteral("secret"));
        QCOMPARE(dvrs.at(1).name, QStringLiteral("Süd"));
        QVERIFY(log.contains("bool Settings::insertDVR(const DVRInfo&)"));

        const QList<StreamInfo> streams = settings->streams();
        QCOMPARE(streams.size(), 2);
        QCOMPARE(streams.at(0).name, QStringLiteral("Front"));
        QCOMPARE(streams.at(0).dvrId, 1);
        QCOMPARE(streams.at(0).inPort, 80);
        QCOMPARE(streams.at(0).outPort, 8090);
        QCOMPARE(streams.at(0).channels, QList<int>({1, 2}));
        QCOMPARE(streams.at(1).channels, QList<int>({0, 0}));

        const QList<IOInfo> ios = settings->ios();
        QCOMPARE(ios.size(), 1);
        QCOMPARE(ios.at(0).name, QStringLiteral("Lobby"));
        QCOMPARE(ios.at(0).dvrId, 1);
        QCOMPARE(ios.at(0).port, 81);
        QCOMPARE(ios.at(0).state, 3);
        QVERIFY(ios.at(0).enabled);
        QVERIFY(!ios.at(0).eventsEnabled);

        const QList<DoorInfo> doors = settings->doors();
        QCOMPARE(doors.size(), 1);
        QCOMPARE(doors.at(0).ioId, 99);
        QCOMPARE(doors.at(0).inPin, 1);
        QCOMPARE(doors.at(0).outPin, 2);
        QCOMPARE(doors.at(0).delay, 5);
        QCOMPARE(doors.at(0).ncno, 1);

        Packet empty;
        empty.set_client_id(ourId);
        empty.mutable_data();
        m_peer->publish(empty);
        QVERIFY(updated.wait());
        QVERIFY(settings->dvrs().isEmpty());
        QVERIFY(settings->streams().isEmpty());
        QVERIFY(settings->ios().isEmpty());
        QVERIFY(settings->doors().isEmpty());
    }

    void transportErrorIsLoggedOnceAndStopReturns()
    {
        LogCapture log;
        Config::instance()->subEndpoint = QStringLiteral("tcp://bad address:5001");
        m_manager = std::make_unique<CommandManager>();
        m_manager->start();
        QTRY_VERIFY(log.contains("void ZeroMQ::start()"));
        const QStringList expected = {"The link to Central is not encrypted (no serverPublicKey in settings.ini)",
                                      "void ZeroMQ::start()", "  Failed: Invalid argument"};
        QCOMPARE(log.lines(), expected);
        m_manager->sendPong();
        m_manager->stop();
        m_manager->stop();
        QCOMPARE(log.lines().size(), 3);
    }

    void unusableServerKeyKeepsTheLinkDown()
    {
        LogCapture log;
        Config::instance()->serverPublicKey = QStringLiteral("not a key");
        m_manager = std::make_unique<CommandManager>();
        m_manager->start();
        Config::instance()->serverPublicKey.clear();
        QCOMPARE(log.lines(), QStringList("The link to Central stays down: serverPublicKey is not a key of 40 characters of Z85 text"));
        QVERIFY(!m_peer->waitForSubscriber(500));
    }

    void floodOfPingsWhileCentralNeverReads()
    {
        startManager();
        m_peer->publish(ping(1));
        QCOMPARE(nextPackets(1), QStringList("hello"));

        // Each ping is answered into queues that nobody empties; the pongs
        // beyond what they hold are dropped and packets go on being handled.
        LogCapture log;
        for (int i = 0; i < 3000; ++i)
            m_peer->publish(ping(1));
        m_peer->publish(hello(ourId));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("  Registered id: site-7"), 30000);
    }

private:
    void startManager()
    {
        m_manager = std::make_unique<CommandManager>();
        connect(m_manager.get(), &CommandManager::pingError,
                m_manager.get(), &CommandManager::registerService);
        m_manager->start();
        QVERIFY(m_peer->waitForSubscriber());
    }

    QStringList nextPackets(int count)
    {
        QStringList kinds;
        Packet packet;
        while (kinds.size() < count && m_peer->waitForPacket(&packet))
            kinds << kind(packet);
        return kinds;
    }

    static void addDVR(SystemData *data, int id, const std::string &name)
    {
        DVR *dvr = data->add_dvrs();
        dvr->set_id(id);
        dvr->set_name(name);
        dvr->set_ip("10.0.0.1");
        dvr->set_user("admin");
        dvr->set_password("secret");
    }

    std::unique_ptr<CentralPeer> m_peer;
    std::unique_ptr<CommandManager> m_manager;
};

int runCommandManagerTests(int argc, char **argv)
{
    TestCommandManager test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestCommandManager.moc"
