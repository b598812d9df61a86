#include "EventsConfig.h"

#include "Config.h"

EventsConfig EventsConfig::fromConfig(const Config &config)
{
    EventsConfig events;
    events.eventPort = quint16(config.eventPort);
    events.allowedNetworks = config.allowedNetworks;
    events.modules.reserve(config.ios.size());
    for (const IOInfo &io : config.ios) {
        const DVRInfo dvr = config.dvrs.value(io.dvrId);
        const auto page = Poller::Source::onDevice(dvr.ip, io.port, QStringLiteral("/alarm.htm"), dvr.user, dvr.pass);
        events.modules.insert(io.id, {page, io.name});
    }
    return events;
}

bool operator==(const EventsConfig::Module &a, const EventsConfig::Module &b)
{
    return a.page == b.page && a.name == b.name;
}

bool operator==(const EventsConfig &a, const EventsConfig &b)
{
    return a.eventPort == b.eventPort && a.modules == b.modules && a.allowedNetworks == b.allowedNetworks;
}

bool operator!=(const EventsConfig &a, const EventsConfig &b)
{
    return !(a == b);
}
