#ifndef DOORINFO_H
#define DOORINFO_H

#include <QString>

// One door wired to an IO module.
struct DoorInfo
{
    int id = 0;
    QString name;
    int ioId = 0;
    int inPin = 0;
    int outPin = 0;
    int delay = 0;
    int ncno = 0;
};

inline bool operator==(const DoorInfo &a, const DoorInfo &b)
{
    return a.id == b.id
        && a.name == b.name
        && a.ioId == b.ioId
        && a.inPin == b.inPin
        && a.outPin == b.outPin
        && a.delay == b.delay
        && a.ncno == b.ncno;
}

#endif // DOORINFO_H
