#include "CentralPeer.h"
#include "CentralTests.h"
#include "ZeroMQ.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

// A transport on a worker thread of its own, as the command session runs it.
struct Link
{
    Link()
    {
        zmq.moveToThread(&thread);
        thread.start();
    }

    ~Link()
    {
        zmq.stop();
        thread.quit();
        thread.wait();
    }

    void start(const QString &subEndpoint, const QString &pushEndpoint)
    {
        zmq.setSubscriber(subEndpoint, QStringLiteral("services"));
        zmq.setPushEndpoint(pushEndpoint);
        QMetaObject::invokeMethod(&zmq, &ZeroMQ::start, Qt::QueuedConnection);
    }

    // Stops the loop and tells whether the worker thread could end.
    bool stop()
    {
        zmq.stop();
        thread.quit();
        return thread.wait(5000);
    }

    ZeroMQ zmq;
    QThread thread;
};

using Message = QPair<QByteArray, QByteArray>;

} // namespace

class TestZeroMQ : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_peer = std::make_unique<CentralPeer>();
        m_link = std::make_unique<Link>();
        m_received.clear();
        connect(&m_link->zmq, &ZeroMQ::topicMsgReceived, this,
                [this](const QByteArray &topic, const QByteArray &msg) {
                    m_received.append({topic, msg});
                    m_link->zmq.messageHandled();
                });
    }

    void cleanup()
    {
        m_link.reset();
        m_peer.reset();
    }

    void everyFrameAfterTheTopicGoesUp()
    {
        QSignalSpy started(&m_link->zmq, &ZeroMQ::started);
        m_link->start(m_peer->publishEndpoint(), m_peer->pullEndpoint());
        QVERIFY(m_peer->waitForSubscriber());
        QTRY_COMPARE(started.count(), 1);

        m_peer->publishFrames({"services"});
        m_peer->publishFrames({"other", "filtered"});
        m_peer->publishFrames({"services", "a", "b"});
        m_peer->publishFrames({"servicesX", ""});
        QTRY_COMPARE(m_received.size(), 3);
        const QList<Message> expected = {{"services", "a"}, {"services", "b"}, {"servicesX", ""}};
        QCOMPARE(m_received, expected);
    }

    void stopEndsTheLoopWaitingInReceive()
    {
        m_link->start(m_peer->publishEndpoint(), m_peer->pullEndpoint());
        QVERIFY(m_peer->waitForSubscriber());
        QVERIFY(m_link->stop());
        m_link->zmq.stop();
    }

    void stopOvertakingTheQueuedStartWins()
    {
        m_link->start(m_peer->publishEndpoint(), m_peer->pullEndpoint());
        m_link->zmq.stop();
        QVERIFY(m_link->stop());

        // Configured again, the transport starts as new.
        m_link->thread.start();
        QSignalSpy started(&m_link->zmq, &ZeroMQ::started);
        m_link->start(m_peer->publishEndpoint(), m_peer->pullEndpoint());
        QTRY_COMPARE(started.count(), 1);
    }

    void sendsSingleFramesWithoutWaitingForCentral()
    {
        m_link->start(m_peer->publishEndpoint(), m_peer->pullEndpoint());
        QVERIFY(m_peer->waitForSubscriber());
        m_link->zmq.send(QByteArray());
        m_link->zmq.send("packet");
        QByteArray frame = "unset";
        QVERIFY(m_peer->waitForFrame(&frame));
        QCOMPARE(frame, QByteArray());
        QVERIFY(m_peer->waitForFrame(&frame));
        QCOMPARE(frame, QByteArray("packet"));

        // Far more than the queues hold, and nobody reads: every call returns.
        const QByteArray packet(1024, 'x');
        for (int i = 0; i < 5000; ++i)
            m_link->zmq.send(packet);
    }

    void sendWithNoPeerDropsInsteadOfBlocking()
    {
        m_link->start(m_peer->publishEndpoint(), QStringLiteral("tcp://127.0.0.1:1"));
        QVERIFY(m_peer->waitForSubscriber());
        for (int i = 0; i < 3000; ++i)
            m_link->zmq.send("ping answer");
    }

    void transportErrorLeavesTheLinkStopped()
    {
        QSignalSpy started(&m_link->zmq, &ZeroMQ::started);
        QSignalSpy errors(&m_link->zmq, &ZeroMQ::error);
        m_link->start(QStringLiteral("tcp://bad address:5001"), m_peer->pullEndpoint());
        QTRY_COMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("void ZeroMQ::start()"));
        QCOMPARE(errors.at(0).at(1).toString(), QStringLiteral("Invalid argument"));
        m_link->zmq.send("dropped");
        QVERIFY(m_link->stop());
        QCOMPARE(started.count(), 0);
        QCOMPARE(errors.count(), 1);
    }

    void oversizedPublicationIsRefused()
    {
        m_link->start(m_peer->publishEndpoint(), m_peer->pullEndpoint());
        QVERIFY(m_peer->waitForSubscriber());
        m_peer->publishFrames({"services", QByteArray(int(ZeroMQ::MaxMessageSize) + 1, 'x')});
        // The library drops the connection that carried it and comes back.
        QVERIFY(m_peer->waitForSubscriber());
        m_peer->publishFrames({"services", "small"});
        QTRY_COMPARE(m_received.size(), 1);
        QCOMPARE(m_received.at(0).second, QByteArray("small"));
    }

    // One report for the outage, however many retries it takes, and one
    // when the link is back; the subscriber is made anew and hears again.
    void linkOutageIsReportedOnceEachWay()
    {
        QSignalSpy states(&m_link->zmq, &ZeroMQ::linkStateChanged);
        const QString publish = m_peer->publishEndpoint();
        const QString pull = m_peer->pullEndpoint();
        m_link->start(publish, pull);
        QVERIFY(m_peer->waitForSubscriber());
        m_peer.reset();
        QTRY_COMPARE(states.count(), 1);
        QTest::qWait(1000);
        m_peer = std::make_unique<CentralPeer>(publish, pull);
        QVERIFY(m_peer->waitForSubscriber(10000));
        QTRY_COMPARE(states.count(), 2);
        QCOMPARE(states.at(0).at(0).value<ZeroMQ::LinkState>(), ZeroMQ::LinkState::Lost);
        QCOMPARE(states.at(1).at(0).value<ZeroMQ::LinkState>(), ZeroMQ::LinkState::Up);
        m_peer->publishFrames({"services", "again"});
        QTRY_COMPARE(m_received.size(), 1);
    }

private:
    std::unique_ptr<CentralPeer> m_peer;
    std::unique_ptr<Link> m_link;
    QList<Message> m_received;
};

int runZeroMQTests(int argc, char **argv)
{
    TestZeroMQ test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestZeroMQ.moc"
