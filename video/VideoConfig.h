#ifndef VIDEOCONFIG_H
#define VIDEOCONFIG_H

#include "Poller.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QSet>

class Config;

// What the video server serves, as a value: the ports it listens on and
// where each DVR channel's snapshots come from. Two of them are equal when
// serving either would make the same requests and listen on the same ports.
struct VideoConfig
{
    using ChannelKey = QPair<int, int>; // (DVR id, channel number)

    // Where a channel's snapshots come from. Kept in parts rather than as a
    // URL, so that building and comparing thousands of them stays cheap.
    struct Snapshot
    {
        QString ip;
        int port = 0;
        int channel = 0;
        QString user;
        QString password;

        Poller::Source source() const;
    };

    QSet<quint16> ports;
    QHash<ChannelKey, Snapshot> channels;
    int streamCount = 0;
    // The networks whose peers are served; empty: everyone.
    QList<QPair<QHostAddress, int>> allowedNetworks;

    // A channel listed by several streams of a DVR is fetched through the
    // input port of the first of them in the stream table.
    static VideoConfig fromConfig(const Config &config);
};

bool operator==(const VideoConfig::Snapshot &a, const VideoConfig::Snapshot &b);
bool operator!=(const VideoConfig::Snapshot &a, const VideoConfig::Snapshot &b);
bool operator==(const VideoConfig &a, const VideoConfig &b);
bool operator!=(const VideoConfig &a, const VideoConfig &b);

#endif // VIDEOCONFIG_H
