#include "TestSite.h"

#include "Settings.h"
#include "proto/svc.pb.h"

#include <QStringList>

namespace TestSite {

bool store(const QString &directory, const SiteConfig &site)
{
    Settings settings(directory + QStringLiteral("/settings.db"));
    bool stored = true;
    for (const DVRInfo &dvr : site.dvrs)
        stored = settings.insertDVR(dvr) && stored;
    for (const StreamInfo &stream : site.streams)
        stored = settings.insertStream(stream) && stored;
    for (const IOInfo &io : site.ios)
        stored = settings.insertIO(io) && stored;
    for (const DoorInfo &door : site.doors)
        stored = settings.insertDoor(door) && stored;
    return stored;
}

Packet packet(const SiteConfig &site, const std::string &clientId)
{
    Packet packet;
    packet.set_client_id(clientId);
    SystemData *data = packet.mutable_data();
    for (const DVRInfo &from : site.dvrs) {
        DVR *dvr = data->add_dvrs();
        dvr->set_id(from.id);
        dvr->set_name(from.name.toStdString());
        dvr->set_ip(from.ip.toStdString());
        dvr->set_user(from.user.toStdString());
        dvr->set_password(from.pass.toStdString());
    }
    for (const StreamInfo &from : site.streams) {
        Stream *stream = data->add_streams();
        stream->set_id(from.id);
        stream->set_name(from.name.toStdString());
        stream->set_dvr_id(from.dvrId);
        stream->set_in_port(from.inPort);
        stream->set_out_port(from.outPort);
        QStringList channels;
        for (int channel : from.channels)
            channels << QStringLiteral("\"%1\"").arg(channel);
        stream->set_channels(QStringLiteral("[%1]").arg(channels.join(QLatin1Char(','))).toStdString());
    }
    for (const IOInfo &from : site.ios) {
        IO *io = data->add_ios();
        io->set_id(from.id);
        io->set_name(from.name.toStdString());
        io->set_dvr_id(from.dvrId);
        io->set_port(from.port);
        io->set_state(from.state);
        io->set_enabled(from.enabled);
        io->set_events_enabled(from.eventsEnabled);
    }
    for (const DoorInfo &from : site.doors) {
        Door *door = data->add_doors();
        door->set_id(from.id);
        door->set_name(from.name.toStdString());
        door->set_io_id(from.ioId);
        door->set_in_pin(from.inPin);
        door->set_out_pin(from.outPin);
        door->set_delay(from.delay);
        door->set_nonc(from.ncno);
    }
    return packet;
}

} // namespace TestSite
