#include "VideoConfig.h"

#include "Config.h"

// The snapshot index in the URL counts from 0, channels from 1.
Poller::Source VideoConfig::Snapshot::source() const
{
    return Poller::Source::onDevice(ip, port, QStringLiteral("/snapshot%1.jpg").arg(channel - 1), user, password);
}

VideoConfig VideoConfig::fromConfig(const Config &config)
{
    VideoConfig video;
    video.allowedNetworks = config.allowedNetworks;
    video.streamCount = config.streams.size();
    video.ports.reserve(config.streams.size());
    video.channels.reserve(config.streams.size() * 4);
    for (const StreamInfo &stream : config.streams) {
        video.ports.insert(quint16(stream.outPort));
        const DVRInfo dvr = config.dvrs.value(stream.dvrId);
        for (int channel : stream.channels) {
            const ChannelKey key(stream.dvrId, channel);
            if (video.channels.contains(key))
                continue;
            video.channels.insert(key, {dvr.ip, stream.inPort, channel, dvr.user, dvr.pass});
        }
    }
    return video;
}

bool operator==(const VideoConfig::Snapshot &a, const VideoConfig::Snapshot &b)
{
    return a.ip == b.ip && a.port == b.port && a.channel == b.channel && a.user == b.user && a.password == b.password;
}

bool operator!=(const VideoConfig::Snapshot &a, const VideoConfig::Snapshot &b)
{
    return !(a == b);
}

bool operator==(const VideoConfig &a, const VideoConfig &b)
{
    return a.ports == b.ports && a.channels == b.channels && a.streamCount == b.streamCount
        && a.allowedNetworks == b.allowedNetworks;
}

bool operator!=(const VideoConfig &a, const VideoConfig &b)
{
    return !(a == b);
}
