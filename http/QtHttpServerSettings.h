#ifndef QTHTTPSERVERSETTINGS_H
#define QTHTTPSERVERSETTINGS_H

#include "QtHttpCertificate.h"

#include <QHostAddress>
#include <QList>
#include <QPair>

class QtHttpAddressCounts;
class QtHttpMemoryBudget;

// What the owner of several servers gives each of them alike.
struct QtHttpServerSettings
{
    // TLS only, with this identity; plain HTTP when it is null.
    QtHttpCertificate tls;
    // Peers whose forwarding headers are believed (address, prefix length).
    QList<QPair<QHostAddress, int>> trustedProxies;
    // Shared by the servers, owned by their owner's owner; each server keeps
    // one of its own when this is null.
    QtHttpMemoryBudget *memoryBudget = nullptr;
    // Connections per client address, likewise shared and owned.
    QtHttpAddressCounts *addressCounts = nullptr;
};

#endif // QTHTTPSERVERSETTINGS_H
