#include "CommandManager.h"

#include "Config.h"
#include "ConfigSync.h"
#include "CurveKeyPair.h"
#include "PublicKeyCommand.h"
#include "QDaemonApplication.h"
#include "QDaemonLog.h"
#include "Settings.h"
#include "ZeroMQ.h"
#include "proto/svc.pb.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QHostInfo>

#include <cstdlib>
#include <utility>

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
    , m_layouts(QDaemonApplication::dataDirectory() + QStringLiteral("/layout-pages.json"))
{
    m_zmq->moveToThread(&m_thread);
    connect(this, &CommandManager::startZmqEventLoop, m_zmq, &ZeroMQ::start);
    connect(m_zmq, &ZeroMQ::started, this, &CommandManager::handleStarted);
    connect(m_zmq, &ZeroMQ::topicMsgReceived, this, &CommandManager::handleTopicMessage);
    connect(m_zmq, &ZeroMQ::error, this, &CommandManager::onTransportError);
    connect(m_zmq, &ZeroMQ::linkStateChanged, this, &CommandManager::onLinkStateChanged);
    m_applyTimer.setSingleShot(true);
    connect(&m_applyTimer, &QTimer::timeout, this, &CommandManager::applyQueuedConfiguration);
}

CommandManager::~CommandManager()
{
    stop();
    delete m_zmq;
}

void CommandManager::start()
{
    // Fails closed: a key that is configured but cannot be used leaves the
    // link down rather than plain.
    if (!configureEncryption())
        return;
    const Config *config = Config::instance();
    m_zmq->setSubscriber(config->subEndpoint, QStringLiteral("services"));
    m_zmq->setPushEndpoint(config->pushEndpoint);
    m_thread.start();
    emit startZmqEventLoop();
}

bool CommandManager::configureEncryption()
{
    const QByteArray serverKey = Config::instance()->serverPublicKey.toLatin1();
    if (serverKey.isEmpty()) {
        qDaemonLog(QDaemonLog::Priority::Warning) << QStringLiteral("The link to Central is not encrypted (no serverPublicKey in settings.ini)");
        return true;
    }
    QString failure;
    CurveKeyPair keys;
    if (!CurveKeyPair::isAvailable())
        failure = QStringLiteral("this ZeroMQ library cannot encrypt");
    else if (!CurveKeyPair::isKey(serverKey))
        failure = QStringLiteral("serverPublicKey is not a key of 40 characters of Z85 text");
    else
        CurveKeyPair::readOrCreate(PublicKeyCommand::keyFilePath(), &keys, &failure);
    if (!failure.isEmpty()) {
        qDaemonLog(QDaemonLog::Priority::Error) << QStringLiteral("The link to Central stays down: %1").arg(failure);
        return false;
    }
    m_zmq->setCurve(serverKey, keys.publicKey, keys.secretKey);
    m_link.encrypted = true;
    qDaemonLog(QDaemonLog::Priority::Notice) << QStringLiteral("The link to Central is encrypted, this service's public key is %1").arg(QString::fromLatin1(keys.publicKey));
    return true;
}

void CommandManager::stop()
{
    // Stored, not applied: the servers are going too, and the next start
    // loads it.
    m_applyTimer.stop();
    SiteConfig inserted;
    if (m_queuedConfiguration && storeConfiguration(*std::exchange(m_queuedConfiguration, nullptr), &inserted))
        removeStalePages(inserted);
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
    m_link.lastMessageMs = QDateTime::currentMSecsSinceEpoch();
    ++m_link.messages;
    setLinkUp(true);

    Packet packet;
    if (!packet.ParseFromArray(data.constData(), data.size())) {
        qDaemonLog(QDaemonLog::Priority::Error) << QString("void CommandManager::handleTopicMessage(QByteArray, QByteArray)")
                                                << QString("  Can't parse buffer");
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
        if (forUs)
            queueConfiguration(packet.mutable_data());
        break;
    case Packet::kCommand:
        if (forUs) {
            // A command refers to the configuration sent before it.
            applyQueuedConfiguration();
            qDaemonLog() << QString("kCommand, type: %1").arg(int(packet.command().type()));
            if (packet.command().type() == GENERATE_IO)
                generateLayoutPages(packet.command());
        }
        break;
    case Packet::kPing:
        handlePing(packet.ping());
        break;
    default:
        qDaemonLog(QDaemonLog::Priority::Warning) << QString("  unhandled type: %1").arg(int(packet.oneof_data_case()));
        break;
    }
}

void CommandManager::onTransportError(const QString &operation, const QString &message)
{
    qDaemonLog(QDaemonLog::Priority::Error) << operation << QString("  Failed: %1").arg(message);
}

// False when the configuration was refused and the stored one kept.
bool CommandManager::storeConfiguration(const SystemData &data, SiteConfig *inserted)
{
    return ConfigSync::apply(ConfigSync::records(data), *Settings::instance(), Config::instance()->eventPort, inserted);
}

// Pages of modules and DVRs the new configuration no longer has go with it.
void CommandManager::removeStalePages(const SiteConfig &site)
{
    const QString base = QString("%1/%2").arg(QDaemonApplication::dataDirectory(), Config::instance()->ioPath);
    m_layouts.keepOnly(base, LayoutStore::pagePaths(base, site));
}

// Once per change: a Central that keeps refusing the handshake is
// reported when it starts, not at every retry.
void CommandManager::onLinkStateChanged(ZeroMQ::LinkState state)
{
    const QString endpoint = Config::instance()->subEndpoint;
    setLinkUp(state == ZeroMQ::LinkState::Up);
    switch (state) {
    case ZeroMQ::LinkState::Up:
        qDaemonLog(QDaemonLog::Priority::Notice) << QStringLiteral("Link to Central up again at %1").arg(endpoint);
        break;
    case ZeroMQ::LinkState::Unreachable:
        qDaemonLog(QDaemonLog::Priority::Notice) << QStringLiteral("Central not reachable at %1; retrying").arg(endpoint);
        break;
    case ZeroMQ::LinkState::HandshakeFailed:
        qDaemonLog(QDaemonLog::Priority::Error) << QStringLiteral("No handshake with Central at %1 (not Central, or the keys do not match); retrying").arg(endpoint);
        break;
    case ZeroMQ::LinkState::Lost:
        qDaemonLog(QDaemonLog::Priority::Notice) << QStringLiteral("Link to Central lost at %1; retrying").arg(endpoint);
        break;
    }
}

// Up once Central is heard from: a link whose sockets connected but that
// never brought a message proves nothing.
void CommandManager::setLinkUp(bool up)
{
    if (up == m_link.connected)
        return;
    m_link.connected = up;
    emit linkChanged(up);
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

// Applied from the event loop, once the packets already received are
// handled, and no sooner after the one before than the spacing above: of
// configurations that arrive faster than that, only the last is written.
void CommandManager::queueConfiguration(SystemData *data)
{
    if (!m_queuedConfiguration)
        m_queuedConfiguration = std::make_unique<SystemData>();
    m_queuedConfiguration->Swap(data);
    if (m_applyTimer.isActive())
        return;
    const qint64 since = m_sinceApplied.isValid() ? m_sinceApplied.elapsed() : m_applySpacingMs;
    m_applyTimer.start(int(qMax<qint64>(0, m_applySpacingMs - since)));
}

void CommandManager::applyQueuedConfiguration()
{
    m_applyTimer.stop();
    if (!m_queuedConfiguration)
        return;
    const std::unique_ptr<SystemData> data = std::move(m_queuedConfiguration);
    QElapsedTimer applying;
    applying.start();
    // The servers follow before the stale pages go, so that the time from
    // the commit to the servers updated is the update's alone.
    SiteConfig inserted;
    if (storeConfiguration(*data, &inserted)) {
        m_link.lastConfigurationMs = QDateTime::currentMSecsSinceEpoch();
        ++m_link.configurations;
        emit configUpdated(inserted);
        removeStalePages(inserted);
    }
    m_applySpacingMs = qBound<qint64>(MinApplySpacingMs, applying.elapsed(), MaxApplySpacingMs);
    m_sinceApplied.start();
}

// Stores the page Central composed for an IO module twice, under the
// module's id and under its name, in the directory of its DVR.
void CommandManager::generateLayoutPages(const CommandRequest &command)
{
    if (command.str_rs_size() != 2) {
        qDaemonLog(QDaemonLog::Priority::Error) << QString("Incorrect parameter of GENERATE_IO cmd");
        return;
    }
    const int ioId = QString::fromStdString(command.str_rs(0)).toInt();
    const QString content = QString::fromStdString(command.str_rs(1));

    const Config *config = Config::instance();
    const auto io = config->ios.constFind(ioId);
    if (io == config->ios.cend()) {
        qDaemonLog(QDaemonLog::Priority::Error) << QString("GENERATE_IO - ioId invalid: %1").arg(ioId);
        return;
    }
    const auto dvr = config->dvrs.constFind(io->dvrId);
    if (dvr == config->dvrs.cend()) {
        qDaemonLog(QDaemonLog::Priority::Error) << QString("GENERATE_IO - dvrId invalid: %1").arg(io->dvrId);
        return;
    }

    const QString base = QString("%1/%2").arg(QDaemonApplication::dataDirectory(), config->ioPath);
    // By id, then by name.
    const QStringList paths = LayoutStore::pagePaths(base, dvr->name, *io);
    const QStringList fileNames = {QString::number(io->id), io->name};
    QStringList accepted;
    for (int i = 0; i < paths.size(); ++i) {
        if (!isSafeName(dvr->name) || !isSafeName(fileNames.at(i))) {
            qDaemonLog(QDaemonLog::Priority::Error) << QString("  Refused, outside the layout directory: %1").arg(printable(paths.at(i)));
            continue;
        }
        accepted << paths.at(i);
    }
    if (!m_layouts.write(base, accepted, content)) {
        qDaemonLog(QDaemonLog::Priority::Error) << QString("GENERATE_IO - refused, the layout directory would exceed %1 bytes").arg(LayoutStore::MaxDirectoryBytes);
        return;
    }
    for (const QString &path : qAsConst(accepted))
        qDaemonLog() << QString("  Generating: %1").arg(path);
}
