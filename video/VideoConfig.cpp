#include "VideoConfig.h"

#include "Config.h"

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
            const QString url = QStringLiteral("http://%1:%2/snapshot%3.jpg")
                                    .arg(dvr.ip, QString::number(stream.inPort), QString::number(channel - 1));
            video.channels.insert(key, {url, dvr.user, dvr.pass});
        }
    }
    return video;
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
