#ifndef VIDEOSERVER_H
#define VIDEOSERVER_H

#include "QtHttpServerSettings.h"
#include "ServiceStatus.h"
#include "VideoConfig.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

class MjpegStream;
class StillSnapshot;
class QtHttpAccessGate;
class QtHttpReply;
class QtHttpRequest;
class QtHttpServer;

// Serves the configured DVR channels as live MJPEG streams, with index pages
// of DVRs, streams and channels for shorter paths, on one HTTP server per
// configured output port. A new configuration is applied as a difference
// from the running one, so that nothing it leaves alone is interrupted.
class VideoServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(VideoServer)

public:
    // File descriptors the video ports leave to the rest of the process
    // (the link to Central, the events server, their connections), so that
    // a configuration with more ports than the process can hold never takes
    // the service down: the ports beyond are not opened.
    static constexpr int DescriptorReserve = 256;

    explicit VideoServer(QObject *parent = nullptr);
    ~VideoServer() override;

    // How long a snapshot fetch may go without data before it fails; applies
    // to the channels that get their first viewer afterwards.
    void setFetchTimeout(int milliseconds);
    // TLS, trusted proxies and the memory budget of the servers started afterwards.
    void setServerSettings(const QtHttpServerSettings &settings);
    // Consulted by every port's server with every request; set before start().
    void setAccessGate(QtHttpAccessGate *gate) { m_accessGate = gate; }

    // Serves the configuration loaded at the time.
    void start();
    // Moves to the given configuration. Ports that stay keep listening and
    // keep their connections; a port no longer used stops listening, and
    // the connections it still has end in their own time. A channel that
    // stays keeps its viewers and follows its new source, if any; the
    // viewers of a channel no longer configured are disconnected.
    void update(const VideoConfig &config);
    void stop();

    // Every configured channel, under the first stream that names it, and
    // every listening port.
    void collectStatus(ServiceStatus *status) const;
    // The channels being watched, and their viewers.
    int watchedChannelCount() const;
    int viewerCount() const;

signals:
    void serverStarted(quint16 port);
    void serverStopped();
    void error(QString msg);
    // A viewer came or went.
    void viewersChanged();

protected slots:
    void onServerStarted(quint16 port);
    void onServerStopped();
    void onServerError(QString msg);
    void onRequestNeedsReply(QtHttpRequest *request, QtHttpReply *reply);

private:
    using ChannelKey = VideoConfig::ChannelKey;

    struct Changes
    {
        int portsOpened = 0;
        int portsClosed = 0;
        int channelsAdded = 0;
        int channelsMoved = 0;
        int channelsRemoved = 0;
    };

    Changes apply(const VideoConfig &config);
    void openPort(quint16 port);
    void closePort(quint16 port);
    void releaseWhenIdle(quint16 port, QtHttpServer *server);
    void logUnopenedPorts() const;
    void attachViewer(QtHttpRequest *request, QtHttpReply *reply, const ChannelKey &key);
    void answerSnapshot(QtHttpRequest *request, QtHttpReply *reply, const QStringList &parts);

    VideoConfig m_config;
    QByteArray m_loadingImage;
    QHash<quint16, QtHttpServer *> m_servers;
    // Ports no longer configured whose servers still have connections.
    QHash<quint16, QtHttpServer *> m_retired;
    // The channels that ever had a viewer; the others cost nothing but
    // their entry in the configuration.
    QHash<ChannelKey, MjpegStream *> m_streams;
    // Single fetches for still pictures of channels nobody watches.
    QHash<ChannelKey, StillSnapshot *> m_stills;
    // Configured ports left closed for want of file descriptors.
    int m_unopenedPorts = 0;
    int m_fetchTimeoutMs;
    QtHttpServerSettings m_serverSettings;
    QtHttpAccessGate *m_accessGate = nullptr;
};

#endif // VIDEOSERVER_H
