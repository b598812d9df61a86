#ifndef SITECONFIG_H
#define SITECONFIG_H

#include "DVRInfo.h"
#include "DoorInfo.h"
#include "IOInfo.h"
#include "StreamInfo.h"

#include <QList>

// A whole site configuration as Central sends it: the four lists of records
// in message order, before anything is stored.
struct SiteConfig
{
    QList<DVRInfo> dvrs;
    QList<StreamInfo> streams;
    QList<IOInfo> ios;
    QList<DoorInfo> doors;
};

#endif // SITECONFIG_H
