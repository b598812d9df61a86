#ifndef DVRINFO_H
#define DVRINFO_H

#include <QString>

// One DVR, as Central configures it.
struct DVRInfo
{
    int id = 0;
    QString name;
    QString ip;
    QString user;
    QString pass;
};

inline bool operator==(const DVRInfo &a, const DVRInfo &b)
{
    return a.id == b.id
        && a.name == b.name
        && a.ip == b.ip
        && a.user == b.user
        && a.pass == b.pass;
}

#endif // DVRINFO_H
