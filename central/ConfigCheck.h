#ifndef CONFIGCHECK_H
#define CONFIGCHECK_H

#include "SiteConfig.h"

#include <QString>

// Decides whether a configuration from Central may replace the stored one.
// Whatever passes can be stored and served without harming the site: every
// port is a real port, no stream takes the events server's port, every DVR
// address is a bare host, and the whole fits what one site can hold.
class ConfigCheck
{
public:
    ConfigCheck() = delete;

    static constexpr int MaxListeningPorts = 2000;
    static constexpr int MaxDvrs = 10000;
    static constexpr int MaxStreams = 10000;
    static constexpr int MaxChannels = 10000;
    static constexpr int MaxIoModules = 10000;
    static constexpr int MaxDoors = 10000;
    static constexpr int MaxHostNameLength = 253;

    // Empty when the configuration may be stored; otherwise the first reason
    // to refuse it, naming the record ("stream 7: out_port 70000 is not a port").
    static QString refusal(const SiteConfig &site, int eventPort);

    static bool isPort(int port);
    // A host name or an IPv4 or IPv6 address, and nothing more: no user, port,
    // path or query can ride along into a URL built from it.
    static bool isHost(const QString &host);
};

#endif // CONFIGCHECK_H
