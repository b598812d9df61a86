#ifndef VIDEOSERVER_H
#define VIDEOSERVER_H

#include "QtHttpServerSettings.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>

struct DVRInfo;
class HTTPFetcher;
class QTimer;
class QtHttpAccessGate;
class QtHttpClientWrapper;
class QtHttpReply;
class QtHttpRequest;
class QtHttpServer;
struct StreamInfo;

// Serves the configured DVR channels as live MJPEG streams, with index pages
// of DVRs, streams and channels for shorter paths. Each DVR channel is
// polled for snapshots only while someone watches it; every snapshot becomes
// one multipart frame written to all its viewers.
class VideoServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(VideoServer)

public:
    // A viewer whose socket still holds more than this many frames' worth of
    // unsent bytes skips frames until it drains.
    static constexpr int MaxQueuedFramesPerViewer = 3;
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

    void start();
    void stop();

signals:
    void serverStarted(quint16 port);
    void serverStopped();
    void error(QString msg);

protected slots:
    void onServerStarted(quint16 port);
    void onServerStopped();
    void onServerError(QString msg);
    void onClientConnected(QString guid);
    void onClientDisconnected(QString guid);
    void onRequestNeedsReply(QtHttpRequest *request, QtHttpReply *reply);

private:
    using ChannelKey = QPair<int, int>; // (DVR id, channel number)

    struct DvrChannel
    {
        // Where the snapshots come from. The timer and the fetcher are made
        // when the first viewer comes: most channels of a site are never watched.
        QString url;
        QString user;
        QString password;
        QTimer *timer = nullptr;
        HTTPFetcher *fetcher = nullptr;
        QSet<QtHttpClientWrapper *> clients;
        bool active = false;
        int errorCount = 0;
    };

    void addChannel(const DVRInfo &dvr, const StreamInfo &stream, int channel);
    void createServer(quint16 port);
    void attachViewer(QtHttpRequest *request, QtHttpReply *reply, const ChannelKey &key);
    void createPoller(DvrChannel &entry, const ChannelKey &key);
    void onTimeout(const ChannelKey &key);
    void onFetchCompleted(const ChannelKey &key);
    void onFetchError(const ChannelKey &key);
    void idle(DvrChannel &entry);
    void sendFrame(const DvrChannel &entry, const QByteArray &jpeg);

    QByteArray m_loadingImage;
    QHash<quint16, QtHttpServer *> m_servers;
    // Every channel a connection watches: one connection may ask for several.
    QHash<QString, QSet<ChannelKey>> m_clientChannels;
    QHash<QString, QtHttpClientWrapper *> m_clients;
    QHash<ChannelKey, DvrChannel> m_dvrChannels;
    int m_fetchTimeoutMs;
    QtHttpServerSettings m_serverSettings;
    QtHttpAccessGate *m_accessGate = nullptr;
};

#endif // VIDEOSERVER_H
