#ifndef IOINFO_H
#define IOINFO_H

#include <QString>

// One IO module, reached on its own port at the address of its DVR.
struct IOInfo
{
    int id = 0;
    QString name;
    int dvrId = 0;
    int state = 0;
    int port = 0;
    bool enabled = false;
    bool eventsEnabled = false;
};

inline bool operator==(const IOInfo &a, const IOInfo &b)
{
    return a.id == b.id
        && a.name == b.name
        && a.dvrId == b.dvrId
        && a.state == b.state
        && a.port == b.port
        && a.enabled == b.enabled
        && a.eventsEnabled == b.eventsEnabled;
}

#endif // IOINFO_H
