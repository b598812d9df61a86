#include "ConfigCheck.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QSet>

namespace {

QString tooMany(const char *what, int count, int limit)
{
    return QStringLiteral("%1 %2, at most %3 allowed").arg(count).arg(QLatin1String(what)).arg(limit);
}

QString countRefusal(const SiteConfig &site)
{
    if (site.dvrs.size() > ConfigCheck::MaxDvrs)
        return tooMany("DVRs", site.dvrs.size(), ConfigCheck::MaxDvrs);
    if (site.streams.size() > ConfigCheck::MaxStreams)
        return tooMany("streams", site.streams.size(), ConfigCheck::MaxStreams);
    if (site.ios.size() > ConfigCheck::MaxIoModules)
        return tooMany("IO modules", site.ios.size(), ConfigCheck::MaxIoModules);
    if (site.doors.size() > ConfigCheck::MaxDoors)
        return tooMany("doors", site.doors.size(), ConfigCheck::MaxDoors);
    int channels = 0;
    for (const StreamInfo &stream : site.streams)
        channels += stream.channels.size();
    if (channels > ConfigCheck::MaxChannels)
        return tooMany("channels", channels, ConfigCheck::MaxChannels);
    return QString();
}

QString portRefusal(const char *record, int id, const char *field, int port)
{
    return QStringLiteral("%1 %2: %3 %4 is not a port from 1 to 65535")
        .arg(QLatin1String(record)).arg(id).arg(QLatin1String(field)).arg(port);
}

QString streamRefusal(const StreamInfo &stream, int eventPort)
{
    if (!ConfigCheck::isPort(stream.inPort))
        return portRefusal("stream", stream.id, "in_port", stream.inPort);
    if (!ConfigCheck::isPort(stream.outPort))
        return portRefusal("stream", stream.id, "out_port", stream.outPort);
    if (stream.outPort == eventPort)
        return QStringLiteral("stream %1: out_port %2 is the events server's port").arg(stream.id).arg(stream.outPort);
    return QString();
}

} // namespace

QString ConfigCheck::refusal(const SiteConfig &site, int eventPort)
{
    QString reason = countRefusal(site);
    if (!reason.isEmpty())
        return reason;
    for (const DVRInfo &dvr : site.dvrs) {
        if (!isHost(dvr.ip))
            return QStringLiteral("DVR %1: ip \"%2\" is not a host name or an IP address").arg(dvr.id).arg(dvr.ip.left(80));
    }
    QSet<int> listening;
    for (const StreamInfo &stream : site.streams) {
        reason = streamRefusal(stream, eventPort);
        if (!reason.isEmpty())
            return reason;
        listening.insert(stream.outPort);
    }
    if (listening.size() > MaxListeningPorts)
        return tooMany("listening ports", listening.size(), MaxListeningPorts);
    for (const IOInfo &io : site.ios) {
        if (!isPort(io.port))
            return portRefusal("IO module", io.id, "port", io.port);
    }
    return QString();
}

bool ConfigCheck::isPort(int port)
{
    return port >= 1 && port <= 65535;
}

bool ConfigCheck::isHost(const QString &host)
{
    // Labels of letters, digits and inner hyphens, joined by dots.
    static const QRegularExpression hostName(QStringLiteral(
        "^(?=.{1,253}$)[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?"
        "(?:\\.[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*\\.?$"));
    if (host.size() > MaxHostNameLength)
        return false;
    // An IPv6 address with a zone ("fe80::1%eth0") is no bare host either.
    if (host.contains(QLatin1Char(':')))
        return !host.contains(QLatin1Char('%')) && QHostAddress(host).protocol() == QAbstractSocket::IPv6Protocol;
    return hostName.match(host).hasMatch();
}
