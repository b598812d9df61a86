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

#endif // DVRINFO_H
