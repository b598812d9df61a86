#ifndef FRAMERENDERER_H
#define FRAMERENDERER_H

#include <QByteArray>
#include <QDateTime>
#include <QImage>
#include <QSize>

// Draws the pictures of the simulated cameras: the channel number, a frame
// counter, the time of day and a ball that crosses the picture, so that a
// viewer sees at a glance which camera it is and that the picture is live.
// Needs a QGuiApplication for its fonts.
class FrameRenderer
{
public:
    explicit FrameRenderer(const QSize &size);

    QSize size() const { return m_size; }

    QImage draw(int channel, quint64 frame, const QDateTime &time) const;
    // The frame as a JPEG; empty only if encoding failed.
    QByteArray jpeg(int channel, quint64 frame, const QDateTime &time) const;

private:
    QSize m_size;
};

#endif // FRAMERENDERER_H
