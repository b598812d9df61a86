#include "CommandManager.h"

#include "Config.h"
#include "ConfigSync.h"
#include "QDaemonApplication.h"
#include "QDaemonLog.h"
#include "Settings.h"
#include "Utils.h"
#include "ZeroMQ.h"
#include "proto/svc.pb.h"

#include <QCoreApplication>
#include <QDir>
#include <QHostInfo>

#include <cstdlib>

namespace {

// Names come from Central and become path components below the layout
// directory; none of them may lead out of it.
bool isSafeName(const QString &name)
{
    return !name.contains(QChar(0))
        && !QDir::isAbsolutePath(name)
        && !name.split(QLatin1Char('/')).contains(QStringLiteral(".."));
}

QString printable(QString path)
{
    return path.replace(QChar(0), QStringLiteral("\\0"));
}

} // namespace

CommandManager::CommandManager(QObject *parent)
    : QObject(parent)
    , m_zmq(new ZeroMQ)
    , m_sessionNumber(std::rand())
{
    m_zmq->moveToThread(&m_thread);
    connect(this, &CommandManager::startZmqEventLoop, m_zmq, &ZeroMQ::start);
    connect(m_zmq, &ZeroMQ::started, this, &CommandManager::handleStarted);
    connect(m_zmq, &ZeroMQ::topicMsgReceived, this, &CommandManager::handleTopicMessage);
    connect(m_zmq, &ZeroMQ::error, this, &CommandManager::onTransportError);
}

CommandManager::~CommandManager()
{
    stop();
    delete m_zmq;
}

void CommandManager::start()
{
    const Config *config = Config::instance();
    m_zmq->setSubscriber(config->subEndpoint, QStringLiteral("services"));
    m_zmq->setPushEndpoint(config->pushEndpoint);
    m_thread.start();
    emit startZmqEventLoop();
}

void CommandManager::stop()
{
    // Directly: the worker thread is inside the receive loop.
    m_zmq->stop();
    m_thread.quit();
    if (!m_thread.wait(1000)) {
        m_thread.terminate();
        m_thread.wait();
    }
}

void CommandManager::registerService()
{
    const Config *config = Config::instance();
    Packet packet;
    packet.set_client_type(SERVICE);
    packet.set_client_id(config->id.toStdString());
    Hello *hello = packet.mutable_hello();
    hello->set_from_id(config->id.toStdString());
    hello->add_str_data(QHostInfo::localHostName().toStdString());
    hello->add_str_data(config->ioPath.toStdString());
    hello->add_str_data(QString::number(config->eventPort).toStdString());
    sendPacket(packet);
}

void CommandManager::sendPong()
{
    Packet packet;
    packet.set_client_type(SERVICE);
    packet.set_client_id(Config::instance()->id.toStdString());
    packet.mutable_pong()->set_number(m_sessionNumber);
    sendPacket(packet);
}

void CommandManager::sendPacket(const Packet &packet)
{
    m_zmq->send(QByteArray::fromStdString(packet.SerializeAsString()));
}

void CommandManager::handleStarted()
{
}

void CommandManager::handleTopicMessage(const QByteArray &topic, const QByteArray &data)
{
    Q_UNUSED(topic)
    m_zmq->messageHandled();

    Packet packet;
    if (!packet.ParseFromArray(data.constData(), data.size())) {
        qDaemonLog() << QString("void CommandManager::handleTopicMessage(QByteArray, QByteArray)");
        qDaemonLog() << QString("  Can't parse buffer");
        return;
    }
    if (packet.client_type() != SERVICE)
        return;

    const QString clientId = QString::fromStdString(packet.client_id());
    const bool forUs = clientId == Config::instance()->id;
    switch (packet.oneof_data_case()) {
    case Packet::kHello:
        if (forUs)
            qDaemonLog() << QString("  Registered id: %1").arg(clientId);
        break;
    case Packet::kData:
        if (forUs) {
            ConfigSync::apply(packet.data(), *Settings::instance());
            emit configUpdated();
        }
        break;
    case Packet::kCommand:
        if (forUs) {
            qDaemonLog() << QString("kCommand, type: %1").arg(int(packet.command().type()));
            if (packet.command().type() == GENERATE_IO)
                generateLayoutPages(packet.command());
        }
        break;
    case Packet::kPing:
        handlePing(packet.ping());
        break;
    default:
        qDaemonLog() << QString("  unhandled type: %1").arg(int(packet.oneof_data_case()));
        break;
    }
}

void CommandManager::onTransportError(const QString &operation, const QString &message)
{
    qDaemonLog() << operation;
    qDaemonLog() << QString("  Failed: %1").arg(message);
}

// The same number as last time is a pong; a new one means Central lost
// track of us, so the orchestrator has us register instead.
void CommandManager::handlePing(const Ping &ping)
{
    if (ping.number() == m_lastPingNumber) {
        sendPong();
        return;
    }
    m_lastPingNumber = ping.number();
    emit pingError();
}

// Stores the page Central composed for an IO module twice, under the
// module's id and under its name, in the directory of its DVR.
void CommandManager::generateLayoutPages(const CommandRequest &command)
{
    if (command.str_rs_size() != 2) {
        qDaemonLog() << QString("Incorrect parameter of GENERATE_IO cmd");
        return;
    }
    const int ioId = QString::fromStdString(command.str_rs(0)).toInt();
    const QString content = QString::fromStdString(command.str_rs(1));

    const Config *config = Config::instance();
    const auto io = config->ios.constFind(ioId);
    if (io == config->ios.cend()) {
        qDaemonLog() << QString("GENERATE_IO - ioId invalid: %1").arg(ioId);
        return;
    }
    const auto dvr = config->dvrs.constFind(io->dvrId);
    if (dvr == config->dvrs.cend()) {
        qDaemonLog() << QString("GENERATE_IO - dvrId invalid: %1").arg(io->dvrId);
        return;
    }

    const QString base = QString("%1/%2").arg(QDaemonApplication::dataDirectory(), config->ioPath);
    const QStringList fileNames = {QString::number(io->id), io->name};
    QStringList accepted;
    for (const QString &fileName : fileNames) {
        const QString path = QString("%1/%2/%3.html").arg(base, dvr->name, fileName);
        if (!isSafeName(dvr->name) || !isSafeName(fileName)) {
            qDaemonLog() << QString("  Refused, outside the layout directory: %1").arg(printable(path));
            continue;
        }
        qDaemonLog() << QString("  Generating: %1").arg(path);
        accepted << path;
    }
    for (const QString &path : qAsConst(accepted))
        Utils::writeFile(path, content);
}
