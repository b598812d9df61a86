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

#endif // IOINFO_H
