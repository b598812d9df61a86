#ifndef SITECONFIG_H
#define SITECONFIG_H

#include "DVRInfo.h"
#include "DoorInfo.h"
#include "IOInfo.h"
#include "StreamInfo.h"

#include <QList>
#include <QMetaType>

// A whole site configuration as Central sends it: the four lists of records
// in message order, before anything is stored.
struct SiteConfig
{
    QList<DVRInfo> dvrs;
    QList<StreamInfo> streams;
    QList<IOInfo> ios;
    QList<DoorInfo> doors;
};

inline bool operator==(const SiteConfig &a, const SiteConfig &b)
{
    return a.dvrs == b.dvrs && a.streams == b.streams && a.ios == b.ios && a.doors == b.doors;
}

Q_DECLARE_METATYPE(SiteConfig)

#endif // SITECONFIG_H
