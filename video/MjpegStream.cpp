#include "MjpegStream.h"

#include "QtHttpClientWrapper.h"

#include <QDateTime>

namespace {

// The loading image goes out at these counted failures of a stream's life.
constexpr int FirstLoadingFailure = 5;
constexpr int LastLoadingFailure = 6;

const char StreamHead[] =
    "HTTP/1.1 200 OK\r\n"
    "Cache-Control: no-cache\r\n"
    "Connection: keep-alive\r\n"
    "Content-type: multipart/x-mixed-replace; boundary=endofsection\r\n"
    "\r\n";

QByteArray frameOf(const QByteArray &jpeg)
{
    const QByteArray length = QByteArray::number(jpeg.size());
    QByteArray frame;
    frame.reserve(jpeg.size() + 80);
    frame.append("--endofsection\r\n"
                 "Content-type: image/jpeg\r\n"
                 "Content-Length: ")
        .append(length)
        .append("\r\n\r\n")
        .append(jpeg)
        .append("\r\n");
    return frame;
}

} // namespace

MjpegStream::MjpegStream(const Poller::Source &source, const QByteArray &loadingImage, QObject *parent)
    : QObject(parent)
    , m_poller(source, FrameIntervalMs, RetryIntervalMs)
    , m_loadingImage(loadingImage)
{
    connect(&m_poller, &Poller::polled, this, &MjpegStream::onPolled);
    connect(&m_poller, &Poller::failed, this, &MjpegStream::onFailed);
}

void MjpegStream::addViewer(QtHttpClientWrapper *client)
{
    if (!m_viewers.contains(client)) {
        m_viewers.insert(client);
        // The connection's object goes some time after its socket closed;
        // until then writes to it are dropped.
        connect(client, &QObject::destroyed, this, [this, client] { removeViewer(client); });
        emit viewersChanged();
    }
    client->sendToClient(QByteArray::fromRawData(StreamHead, sizeof(StreamHead) - 1));
    m_poller.start();
}

void MjpegStream::closeViewers()
{
    const QSet<QtHttpClientWrapper *> viewers = m_viewers;
    for (QtHttpClientWrapper *client : viewers)
        client->close();
}

void MjpegStream::removeViewer(QtHttpClientWrapper *client)
{
    if (!m_viewers.remove(client))
        return;
    // A fetch in flight still completes, and then finds nobody to write to.
    if (m_viewers.isEmpty()) {
        m_poller.stop();
        m_lastSnapshot.clear();
    }
    emit viewersChanged();
}

void MjpegStream::onPolled(const QByteArray &jpeg)
{
    m_lastGoodMs = QDateTime::currentMSecsSinceEpoch();
    if (m_viewers.isEmpty()) {
        m_poller.stop();
        return;
    }
    m_lastSnapshot = jpeg;
    send(jpeg);
}

void MjpegStream::onFailed(const QString &msg)
{
    m_lastErrorMs = QDateTime::currentMSecsSinceEpoch();
    m_lastError = msg;
    ++m_failures;
    if (m_viewers.isEmpty()) {
        m_poller.stop();
        return;
    }
    const int failure = m_errorCount++;
    if (failure >= FirstLoadingFailure && failure <= LastLoadingFailure)
        send(m_loadingImage);
}

void MjpegStream::send(const QByteArray &jpeg)
{
    const QByteArray frame = frameOf(jpeg);
    const qint64 backlogLimit = qint64(MaxQueuedFramesPerViewer) * frame.size();
    // A copy: a failed write can end a connection at once.
    const QSet<QtHttpClientWrapper *> viewers = m_viewers;
    for (QtHttpClientWrapper *client : viewers) {
        if (client->getBytesToWrite() <= backlogLimit) {
            client->sendToClient(frame);
            ++m_framesDelivered;
        }
    }
}
