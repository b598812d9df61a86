#include "Config.h"

#include "QDaemonLog.h"
#include "Settings.h"

#include <QSet>
#include <QSettings>

Config *Config::instance()
{
    static Config config;
    return &config;
}

void Config::load()
{
    Settings *settings = Settings::instance();
    SiteConfig site;
    site.dvrs = settings->dvrs();
    site.streams = settings->streams();
    site.ios = settings->ios();
    site.doors = settings->doors();
    loadSite(site);
}

void Config::load(const SiteConfig &inserted)
{
    loadSite(Settings::asStored(inserted));
}

// Logs the counts of the records as read, not of the table entries they made.
void Config::loadSite(const SiteConfig &stored)
{
    buildTables(stored);
    // Read once: every key comes from the same state of the file.
    const QSettings ini(Settings::iniFilePath(), QSettings::IniFormat);
    loadIni(ini);
    qDaemonLog() << QStringLiteral("void Config::load()");
    qDaemonLog() << QStringLiteral("  Loaded %1 DVRs").arg(stored.dvrs.size());
    qDaemonLog() << QStringLiteral("  Loaded %1 Streams").arg(stored.streams.size());
    qDaemonLog() << QStringLiteral("  Loaded %1 IOs").arg(stored.ios.size());
    qDaemonLog() << QStringLiteral("  Loaded %1 Doors").arg(stored.doors.size());
    qDaemonLog() << QStringLiteral("  Sub: %1").arg(subEndpoint);
    qDaemonLog() << QStringLiteral("  Push: %1").arg(pushEndpoint);
    loadAllowedNetworks(ini);
    loadAllowedHosts(ini);
    // Optional and never seeded, like allowedNetworks.
    serverPublicKey = ini.value(QStringLiteral("serverPublicKey")).toString().trimmed();
    loadTrustedProxies(ini);
    tlsCertificate = ini.value(QStringLiteral("tlsCertificate")).toString().trimmed();
    tlsKey = ini.value(QStringLiteral("tlsKey")).toString().trimmed();
}

namespace {

// Whether the table holds exactly these records, under their ids. The
// records come in id order with each id once, as the database keeps them,
// so the same records are the same list and give the same tables.
template<typename Record>
bool holdsExactly(const QHash<int, Record> &table, const QList<Record> &records)
{
    if (table.size() != records.size())
        return false;
    for (const Record &record : records) {
        const auto held = table.constFind(record.id);
        if (held == table.cend() || !(*held == record))
            return false;
    }
    return true;
}

bool holdsExactly(const QHash<int, QList<DoorInfo>> &ioDoors, const QList<DoorInfo> &doors)
{
    int held = 0;
    for (const QList<DoorInfo> &list : ioDoors)
        held += list.size();
    if (held != doors.size())
        return false;
    QHash<int, int> next;
    for (const DoorInfo &door : doors) {
        const auto list = ioDoors.constFind(door.ioId);
        int &position = next[door.ioId];
        if (list == ioDoors.cend() || position >= list->size() || !(list->at(position) == door))
            return false;
        ++position;
    }
    return true;
}

} // namespace

// A group of tables is kept when it holds the records already and nobody
// has written to it since the last load (a write detaches it from the copy
// kept here): an update pays only for the records it changes. Changed
// streams are updated in place, since an update changes some of them far
// more often than the others. Tables that are built are made anew rather
// than cleared, each sized once.
void Config::buildTables(const SiteConfig &site)
{
    const bool dvrsKept = dvrs.isSharedWith(m_built.dvrs) && dvrIdsByName.isSharedWith(m_built.dvrIdsByName);
    const bool streamsKept = streams.isSharedWith(m_built.streams) && dvrStreamIds.isSharedWith(m_built.dvrStreamIds)
        && dvrStreamNames.isSharedWith(m_built.dvrStreamNames) && dvrStreamIdsByName.isSharedWith(m_built.dvrStreamIdsByName);
    const bool iosKept = ios.isSharedWith(m_built.ios) && ioIds.isSharedWith(m_built.ioIds);
    const bool doorsKept = ioDoors.isSharedWith(m_built.ioDoors);
    // Let go of the copies first: a table changed in place is then not copied.
    m_built = Built();

    if (!dvrsKept || !holdsExactly(dvrs, site.dvrs))
        buildDvrs(site.dvrs);
    if (streamsKept && !streams.isEmpty())
        updateStreams(site.streams);
    else
        buildStreams(site.streams, site.dvrs.size());
    if (!iosKept || !holdsExactly(ios, site.ios))
        buildIos(site.ios);
    if (!doorsKept || !holdsExactly(ioDoors, site.doors))
        buildDoors(site.doors, site.ios.size());
    m_built = {dvrs, dvrIdsByName, streams, dvrStreamIds, dvrStreamNames, dvrStreamIdsByName, ios, ioIds, ioDoors};
}

void Config::buildDvrs(const QList<DVRInfo> &records)
{
    dvrs = QHash<int, DVRInfo>();
    dvrIdsByName = QHash<QString, int>();
    dvrs.reserve(records.size());
    dvrIdsByName.reserve(records.size());
    for (const DVRInfo &dvr : records) {
        dvrs.insert(dvr.id, dvr);
        dvrIdsByName.insert(dvr.name, dvr.id);
    }
}

void Config::buildStreams(const QList<StreamInfo> &records, int dvrCount)
{
    streams = QHash<int, StreamInfo>();
    dvrStreamIds = QHash<int, QList<int>>();
    dvrStreamNames = QHash<int, QStringList>();
    dvrStreamIdsByName = QHash<int, QHash<QString, int>>();
    streams.reserve(records.size());
    dvrStreamIds.reserve(dvrCount);
    dvrStreamNames.reserve(dvrCount);
    dvrStreamIdsByName.reserve(dvrCount);
    for (const StreamInfo &stream : records) {
        streams.insert(stream.id, stream);
        dvrStreamIds[stream.dvrId].append(stream.id);
        dvrStreamNames[stream.dvrId].append(stream.name);
        dvrStreamIdsByName[stream.dvrId].insert(stream.name, stream.id);
    }
}

// Replaces the streams that changed and removes those that went; the three
// per-DVR tables are rebuilt, in record order, for the DVRs whose streams
// changed, before or after. Ids are unique, as the database keeps them.
void Config::updateStreams(const QList<StreamInfo> &records)
{
    QSet<int> touched;
    for (const StreamInfo &stream : records) {
        const auto old = streams.constFind(stream.id);
        if (old != streams.cend()) {
            if (*old == stream)
                continue;
            touched.insert(old->dvrId);
        }
        touched.insert(stream.dvrId);
        streams.insert(stream.id, stream);
    }
    if (streams.size() > records.size()) {
        QSet<int> kept;
        kept.reserve(records.size());
        for (const StreamInfo &stream : records)
            kept.insert(stream.id);
        for (auto it = streams.begin(); it != streams.end();) {
            if (kept.contains(it.key())) {
                ++it;
                continue;
            }
            touched.insert(it->dvrId);
            it = streams.erase(it);
        }
    }
    for (int dvrId : qAsConst(touched)) {
        dvrStreamIds.remove(dvrId);
        dvrStreamNames.remove(dvrId);
        dvrStreamIdsByName.remove(dvrId);
    }
    for (const StreamInfo &stream : records) {
        if (!touched.contains(stream.dvrId))
            continue;
        dvrStreamIds[stream.dvrId].append(stream.id);
        dvrStreamNames[stream.dvrId].append(stream.name);
        dvrStreamIdsByName[stream.dvrId].insert(stream.name, stream.id);
    }
}

void Config::buildIos(const QList<IOInfo> &records)
{
    ios = QHash<int, IOInfo>();
    ioIds = QList<int>();
    ios.reserve(records.size());
    ioIds.reserve(records.size());
    for (const IOInfo &io : records) {
        ios.insert(io.id, io);
        ioIds.append(io.id);
    }
}

void Config::buildDoors(const QList<DoorInfo> &records, int ioCount)
{
    ioDoors = QHash<int, QList<DoorInfo>>();
    ioDoors.reserve(ioCount);
    for (const DoorInfo &door : records)
        ioDoors[door.ioId].append(door);
}

void Config::loadIni(const QSettings &file)
{
    const QHash<QString, QString> ini = Settings::iniSettings(file);
    id = ini.value(QStringLiteral("id"));
    ioPath = ini.value(QStringLiteral("ioPath"));
    eventPort = ini.value(QStringLiteral("eventPort")).toInt();
    serverAddress = ini.value(QStringLiteral("serverAddress"));
    serverSendPort = ini.value(QStringLiteral("serverSendPort")).toInt();
    serverRecvPort = ini.value(QStringLiteral("serverRecvPort")).toInt();
    subEndpoint = QStringLiteral("tcp://%1:%2").arg(serverAddress).arg(serverSendPort);
    pushEndpoint = QStringLiteral("tcp://%1:%2").arg(serverAddress).arg(serverRecvPort);
}

namespace {

// A comma-separated list of networks in CIDR form under the INI key; an
// unquoted list with commas reads back as a string list. Entries that do not
// parse are logged with the label and skipped.
QList<QPair<QHostAddress, int>> readNetworks(const QSettings &ini, const QString &key, const QString &ignoredLabel, bool *named)
{
    const QStringList entries = ini.value(key).toStringList().join(QLatin1Char(',')).split(QLatin1Char(','));
    QList<QPair<QHostAddress, int>> networks;
    *named = false;
    for (const QString &entry : entries) {
        const QString text = entry.trimmed();
        if (text.isEmpty())
            continue;
        *named = true;
        const QPair<QHostAddress, int> network = QHostAddress::parseSubnet(text);
        if (network.first.isNull())
            qDaemonLog(QDaemonLog::Priority::Warning) << QStringLiteral("  %1: %2").arg(ignoredLabel, text);
        else
            networks.append(network);
    }
    return networks;
}

QString describe(const QList<QPair<QHostAddress, int>> &networks)
{
    QStringList texts;
    for (const auto &network : networks)
        texts.append(QStringLiteral("%1/%2").arg(network.first.toString()).arg(network.second));
    return texts.join(QStringLiteral(", "));
}

} // namespace

// Optional and never seeded. An entry that does not parse is only not
// trusted, which is the safe way to be wrong.
void Config::loadTrustedProxies(const QSettings &ini)
{
    bool named = false;
    trustedProxies = readNetworks(ini, QStringLiteral("trustedProxies"), QStringLiteral("Ignored trusted proxy"), &named);
    if (!trustedProxies.isEmpty())
        qDaemonLog() << QStringLiteral("  Trusted proxies: %1").arg(describe(trustedProxies));
}

// Optional, and never seeded: without the key every peer is served, as
// always. An entry that does not parse is logged and skipped; when none
// parses, nobody is served: a restriction that cannot apply fails closed.
void Config::loadAllowedNetworks(const QSettings &ini)
{
    allowedNetworks.clear();
    noAllowedNetworkApplies = false;
    // An unquoted list with commas reads back as a string list.
    const QStringList entries = ini.value(QStringLiteral("allowedNetworks")).toStringList().join(QLatin1Char(',')).split(QLatin1Char(','));
    QStringList accepted;
    bool named = false;
    for (const QString &entry : entries) {
        const QString text = entry.trimmed();
        if (text.isEmpty())
            continue;
        named = true;
        const QPair<QHostAddress, int> network = QHostAddress::parseSubnet(text);
        if (network.first.isNull()) {
            qDaemonLog(QDaemonLog::Priority::Warning) << QStringLiteral("  Ignored allowed network: %1").arg(text);
            continue;
        }
        allowedNetworks.append(network);
        accepted.append(QStringLiteral("%1/%2").arg(network.first.toString()).arg(network.second));
    }
    if (!accepted.isEmpty())
        qDaemonLog() << QStringLiteral("  Allowed networks: %1").arg(accepted.join(QStringLiteral(", ")));
    else if (named)
        qDaemonLog(QDaemonLog::Priority::Warning) << QStringLiteral("  No valid allowed network: no client is served");
    noAllowedNetworkApplies = named && accepted.isEmpty();
}

void Config::loadAllowedHosts(const QSettings &ini)
{
    allowedHosts.clear();
    const QStringList entries = ini.value(QStringLiteral("allowedHosts")).toStringList().join(QLatin1Char(',')).split(QLatin1Char(','));
    for (const QString &entry : entries) {
        if (!entry.trimmed().isEmpty())
            allowedHosts.append(entry.trimmed());
    }
    if (!allowedHosts.isEmpty())
        qDaemonLog() << QStringLiteral("  Allowed hosts: %1").arg(allowedHosts.join(QStringLiteral(", ")));
}
