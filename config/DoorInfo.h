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

#endif // DOORINFO_H
