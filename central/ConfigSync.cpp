#include "ConfigSync.h"

#include "ConfigCheck.h"

#include "QDaemonLog.h"
#include "Settings.h"
#include "proto/svc.pb.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <utility>

namespace {

QString text(const std::string &utf8)
{
    return QString::fromStdString(utf8);
}

DVRInfo toDVRInfo(const DVR &dvr)
{
    DVRInfo info;
    info.id = dvr.id();
    info.name = text(dvr.name());
    info.ip = text(dvr.ip());
    info.user = text(dvr.user());
    info.pass = text(dvr.password());
    return info;
}

StreamInfo toStreamInfo(const Stream &stream)
{
    StreamInfo info;
    info.id = stream.id();
    info.name = text(stream.name());
    info.dvrId = stream.dvr_id();
    info.inPort = stream.in_port();
    info.outPort = stream.out_port();
    info.channels = ConfigSync::parseChannels(stream.channels());
    return info;
}

IOInfo toIOInfo(const IO &io)
{
    IOInfo info;
    info.id = io.id();
    info.name = text(io.name());
    info.dvrId = io.dvr_id();
    info.state = io.state();
    info.port = io.port();
    info.enabled = io.enabled();
    info.eventsEnabled = io.events_enabled();
    return info;
}

DoorInfo toDoorInfo(const Door &door)
{
    DoorInfo info;
    info.id = door.id();
    info.name = text(door.name());
    info.ioId = door.io_id();
    info.inPin = door.in_pin();
    info.outPin = door.out_pin();
    info.delay = door.delay();
    info.ncno = door.nonc();
    return info;
}

// Inserts every record and returns those the database took: the list
// itself, shared, unless one was refused.
template<typename Record>
QList<Record> insertAll(const QList<Record> &records, Settings &settings, bool (Settings::*insert)(const Record &))
{
    QList<Record> taken = records;
    int refused = 0;
    for (int i = 0; i < records.size(); ++i) {
        if (!(settings.*insert)(records.at(i)))
            taken.removeAt(i - refused++);
    }
    return taken;
}

void logFailure(const QString &detail)
{
    qDaemonLog(QDaemonLog::Priority::Error) << QString("bool ConfigSync::store(const SiteConfig&, Settings&)") << detail;
}

} // namespace

bool ConfigSync::apply(const SiteConfig &site, Settings &settings, int eventPort, SiteConfig *inserted)
{
    const QString refusal = ConfigCheck::refusal(site, eventPort);
    if (!refusal.isEmpty()) {
        qDaemonLog(QDaemonLog::Priority::Error) << QStringLiteral("Refused the configuration from Central, keeping the stored one: %1").arg(refusal);
        return false;
    }
    return store(site, settings, inserted);
}

SiteConfig ConfigSync::records(const SystemData &data)
{
    SiteConfig site;
    site.dvrs.reserve(data.dvrs_size());
    for (const DVR &dvr : data.dvrs())
        site.dvrs.append(toDVRInfo(dvr));
    site.streams.reserve(data.streams_size());
    for (const Stream &stream : data.streams())
        site.streams.append(toStreamInfo(stream));
    site.ios.reserve(data.ios_size());
    for (const IO &io : data.ios())
        site.ios.append(toIOInfo(io));
    site.doors.reserve(data.doors_size());
    for (const Door &door : data.doors())
        site.doors.append(toDoorInfo(door));
    return site;
}

bool ConfigSync::store(const SiteConfig &site, Settings &settings, SiteConfig *inserted)
{
    // Without a transaction a crash could leave a half-filled database, so
    // the old configuration stays when none can be opened.
    if (!settings.beginTransaction()) {
        logFailure(QStringLiteral("  Can't begin a transaction, the stored configuration is kept"));
        return false;
    }

    // Rows left beside the new ones would mix two configurations.
    if (!settings.cleanData()) {
        logFailure(QStringLiteral("  Can't empty the tables, the stored configuration is kept"));
        settings.rollbackTransaction();
        return false;
    }
    SiteConfig taken;
    taken.dvrs = insertAll(site.dvrs, settings, &Settings::insertDVR);
    taken.streams = insertAll(site.streams, settings, &Settings::insertStream);
    taken.ios = insertAll(site.ios, settings, &Settings::insertIO);
    taken.doors = insertAll(site.doors, settings, &Settings::insertDoor);

    if (!settings.commitTransaction()) {
        logFailure(QStringLiteral("  Can't commit, the stored configuration is kept"));
        settings.rollbackTransaction();
        return false;
    }
    if (inserted)
        *inserted = std::move(taken);
    return true;
}

QList<int> ConfigSync::parseChannels(const std::string &json)
{
    QList<int> channels;
    const QJsonArray array = QJsonDocument::fromJson(QByteArray::fromStdString(json)).array();
    for (const QJsonValue &value : array)
        channels.append(value.toString().toInt());
    return channels;
}
