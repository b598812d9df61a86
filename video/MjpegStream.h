#ifndef MJPEGSTREAM_H
#define MJPEGSTREAM_H

#include "Poller.h"

#include <QByteArray>
#include <QObject>
#include <QSet>

class QtHttpClientWrapper;

// One DVR channel served as MJPEG: its snapshot poller and the connections
// that watch it. The channel is polled only while someone watches; every
// snapshot becomes one multipart frame written to every viewer. A viewer
// leaves when its connection goes.
class MjpegStream : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MjpegStream)

public:
    static constexpr int FrameIntervalMs = 200;
    static constexpr int RetryIntervalMs = 1000;
    // A viewer whose socket still holds more than this many frames' worth of
    // unsent bytes skips frames until it drains.
    static constexpr int MaxQueuedFramesPerViewer = 3;

    MjpegStream(const Poller::Source &source, const QByteArray &loadingImage, QObject *parent = nullptr);

    // Polling moves to the new source; the viewers stay connected.
    void setSource(const Poller::Source &source) { m_poller.setSource(source); }
    void setFetchTimeout(int milliseconds) { m_poller.setTransferTimeout(milliseconds); }

    // Writes the multipart head to the connection, which from now on gets
    // every frame, and starts polling if nobody watched.
    void addViewer(QtHttpClientWrapper *client);
    // Ends every viewer's connection: the channel is no longer served.
    void closeViewers();

private:
    void removeViewer(QtHttpClientWrapper *client);
    void onPolled(const QByteArray &jpeg);
    void onFailed();
    void send(const QByteArray &jpeg);

    Poller m_poller;
    const QByteArray m_loadingImage;
    QSet<QtHttpClientWrapper *> m_viewers;
    // Failures counted while someone watched, over the stream's whole life.
    int m_errorCount = 0;
};

#endif // MJPEGSTREAM_H
