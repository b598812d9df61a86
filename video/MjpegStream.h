#ifndef MJPEGSTREAM_H
#define MJPEGSTREAM_H

#include "Poller.h"

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>

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

    int viewerCount() const { return m_viewers.size(); }
    quint64 framesDelivered() const { return m_framesDelivered; }
    quint64 failures() const { return m_failures; }
    // When the last good snapshot came and what it was; the picture is kept
    // only while someone watches. Times in ms since the epoch, 0 for never.
    qint64 lastGoodMs() const { return m_lastGoodMs; }
    const QByteArray &lastSnapshot() const { return m_lastSnapshot; }
    qint64 lastErrorMs() const { return m_lastErrorMs; }
    const QString &lastError() const { return m_lastError; }

signals:
    // A viewer came or went.
    void viewersChanged();

private:
    void removeViewer(QtHttpClientWrapper *client);
    void onPolled(const QByteArray &jpeg);
    void onFailed(const QString &msg);
    void send(const QByteArray &jpeg);

    Poller m_poller;
    const QByteArray m_loadingImage;
    QSet<QtHttpClientWrapper *> m_viewers;
    // Failures counted while someone watched, over the stream's whole life.
    int m_errorCount = 0;
    quint64 m_failures = 0;
    quint64 m_framesDelivered = 0;
    qint64 m_lastGoodMs = 0;
    qint64 m_lastErrorMs = 0;
    QByteArray m_lastSnapshot;
    QString m_lastError;
};

#endif // MJPEGSTREAM_H
