#ifndef EVENTSCONFIG_H
#define EVENTSCONFIG_H

#include "Poller.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>

class Config;

// What the events server serves, as a value: its port and, per IO module,
// where the module's alarm.htm page is (at its DVR's address, on the
// module's own port) with the DVR's credentials.
struct EventsConfig
{
    struct Module
    {
        Poller::Source page;
        QString name; // for the log
    };

    quint16 eventPort = 0;
    QHash<int, Module> modules;
    // The networks whose peers are served; empty: everyone.
    QList<QPair<QHostAddress, int>> allowedNetworks;

    static EventsConfig fromConfig(const Config &config);
};

bool operator==(const EventsConfig::Module &a, const EventsConfig::Module &b);
bool operator==(const EventsConfig &a, const EventsConfig &b);
bool operator!=(const EventsConfig &a, const EventsConfig &b);

#endif // EVENTSCONFIG_H
