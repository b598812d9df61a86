#ifndef STREAMINFO_H
#define STREAMINFO_H

#include <QList>
#include <QString>

// One video stream of a DVR: the DVR channels served on a local port.
struct StreamInfo
{
    int id = 0;
    QString name;
    int dvrId = 0;
    int inPort = 0;
    int outPort = 0;
    QList<int> channels;
};

inline bool operator==(const StreamInfo &a, const StreamInfo &b)
{
    return a.id == b.id
        && a.name == b.name
        && a.dvrId == b.dvrId
        && a.inPort == b.inPort
        && a.outPort == b.outPort
        && a.channels == b.channels;
}

#endif // STREAMINFO_H
