#include "CentralSession.h"

#include "CentralLink.h"

#include <QRandomGenerator>
#include <QStringList>

#include <limits>

namespace {

QString text(const std::string &utf8)
{
    return QString::fromStdString(utf8);
}

QString describeHello(const Hello &hello)
{
    QStringList facts;
    for (const std::string &item : hello.str_data())
        facts << text(item);
    return QStringLiteral("host %1, layout directory %2, events port %3")
        .arg(facts.value(0), facts.value(1), facts.value(2));
}

} // namespace

CentralSession::CentralSession(CentralLink *link, const SystemData &site, const QList<LayoutPage> &layouts, QObject *parent)
    : QObject(parent)
    , m_link(link)
    , m_site(site)
    , m_layouts(layouts)
    // Never 0: a service that has just started has seen 0, and must see a
    // new number to register.
    , m_pingNumber(QRandomGenerator::global()->bounded(1, std::numeric_limits<qint32>::max()))
{
    connect(m_link, &CentralLink::frameReceived, this, &CentralSession::onFrameReceived);
    connect(&m_pingTimer, &QTimer::timeout, this, &CentralSession::sendPing);
}

void CentralSession::start(int intervalMs)
{
    m_pingTimer.start(intervalMs);
    sendPing();
}

void CentralSession::sendPing()
{
    Packet packet;
    packet.set_client_id("central");
    packet.mutable_ping()->set_number(m_pingNumber);
    if (!m_link->publish(Topic, QByteArray::fromStdString(packet.SerializeAsString())))
        emit report(QStringLiteral("could not publish a ping"));
}

void CentralSession::send(const Packet &packet, const QString &what)
{
    const bool sent = m_link->publish(Topic, QByteArray::fromStdString(packet.SerializeAsString()));
    emit report(sent ? QStringLiteral("sent %1").arg(what) : QStringLiteral("could not send %1").arg(what));
}

void CentralSession::onFrameReceived(const QByteArray &frame)
{
    Packet packet;
    if (!packet.ParseFromArray(frame.constData(), frame.size())) {
        emit report(QStringLiteral("received %1 bytes that are not a packet").arg(frame.size()));
        return;
    }
    const QString from = text(packet.client_id());
    switch (packet.oneof_data_case()) {
    case Packet::kHello:
        emit report(QStringLiteral("registration from %1: %2").arg(from, describeHello(packet.hello())));
        answerRegistration(packet);
        break;
    case Packet::kPong:
        emit report(QStringLiteral("pong from %1: session %2").arg(from).arg(packet.pong().number()));
        break;
    default:
        emit report(QStringLiteral("packet from %1 with member %2, not expected from a service")
                        .arg(from).arg(int(packet.oneof_data_case())));
        break;
    }
}

void CentralSession::answerRegistration(const Packet &registration)
{
    const std::string &id = registration.client_id();
    const QString to = text(id);

    Packet hello;
    hello.set_client_id(id);
    hello.mutable_hello()->set_to_id(id);
    send(hello, QStringLiteral("hello to %1").arg(to));

    Packet data;
    data.set_client_id(id);
    *data.mutable_data() = m_site;
    send(data, QStringLiteral("configuration to %1: %2 DVRs, %3 streams, %4 IO modules, %5 doors")
                   .arg(to).arg(m_site.dvrs_size()).arg(m_site.streams_size()).arg(m_site.ios_size()).arg(m_site.doors_size()));

    for (const LayoutPage &layout : qAsConst(m_layouts)) {
        Packet command;
        command.set_client_id(id);
        CommandRequest *request = command.mutable_command();
        request->set_type(GENERATE_IO);
        request->add_str_rs(std::to_string(layout.ioId));
        request->add_str_rs(layout.content.toStdString());
        send(command, QStringLiteral("layout of IO module %1 to %2 (%3, %4 bytes)")
                          .arg(layout.ioId).arg(to, layout.path).arg(layout.content.size()));
    }
}
