#include "FrameRenderer.h"

#include <QBuffer>
#include <QColor>
#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPointF>
#include <QRectF>
#include <QtMath>

namespace {

constexpr int JpegQuality = 75;
// One trip of the ball across the picture and back.
constexpr qint64 BallPeriodMs = 4000;

// Each channel gets its own hue so that two cameras never look alike.
QColor channelColour(int channel, int lightness)
{
    return QColor::fromHsl((channel * 67) % 360, 110, lightness);
}

// A triangle wave in [0, 1] over the ball's period.
qreal ballPhase(const QDateTime &time)
{
    const qreal t = qreal(time.toMSecsSinceEpoch() % BallPeriodMs) / BallPeriodMs;
    return t < 0.5 ? 2 * t : 2 - 2 * t;
}

void drawBackground(QPainter &painter, const QRectF &area, int channel)
{
    QLinearGradient gradient(area.topLeft(), area.bottomRight());
    gradient.setColorAt(0, channelColour(channel, 60));
    gradient.setColorAt(1, channelColour(channel, 20));
    painter.fillRect(area, gradient);

    painter.setPen(QColor(255, 255, 255, 40));
    const qreal step = area.height() / 6;
    for (qreal x = step; x < area.width(); x += step)
        painter.drawLine(QPointF(x, 0), QPointF(x, area.height()));
    for (qreal y = step; y < area.height(); y += step)
        painter.drawLine(QPointF(0, y), QPointF(area.width(), y));
}

void drawBall(QPainter &painter, const QRectF &area, const QDateTime &time)
{
    const qreal radius = area.height() / 12;
    const qreal x = radius + ballPhase(time) * (area.width() - 2 * radius);
    const qreal y = area.height() * 0.62 + qSin(ballPhase(time) * M_PI) * -area.height() * 0.2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xff, 0xc1, 0x07));
    painter.drawEllipse(QPointF(x, y), radius, radius);
}

void drawText(QPainter &painter, const QRectF &area, int pixelSize, int flags, const QString &text)
{
    QFont font(QStringLiteral("DejaVu Sans Mono"));
    font.setPixelSize(pixelSize);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(QColor(0, 0, 0, 160));
    painter.drawText(area.translated(2, 2), flags, text);
    painter.setPen(Qt::white);
    painter.drawText(area, flags, text);
}

} // namespace

FrameRenderer::FrameRenderer(const QSize &size)
    : m_size(size)
{
}

QImage FrameRenderer::draw(int channel, quint64 frame, const QDateTime &time) const
{
    QImage image(m_size, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area(QPointF(0, 0), QSizeF(m_size));
    drawBackground(painter, area, channel);
    drawBall(painter, area, time);

    const qreal margin = area.height() / 24;
    const QRectF inner = area.adjusted(margin, margin, -margin, -margin);
    const int large = qMax(8, m_size.height() / 8);
    const int small = qMax(6, m_size.height() / 16);
    drawText(painter, inner, large, Qt::AlignLeft | Qt::AlignTop, QStringLiteral("CH %1").arg(channel));
    drawText(painter, inner, small, Qt::AlignRight | Qt::AlignTop, QStringLiteral("frame %1").arg(frame));
    drawText(painter, inner, small, Qt::AlignLeft | Qt::AlignBottom,
             time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")));
    return image;
}

QByteArray FrameRenderer::jpeg(int channel, quint64 frame, const QDateTime &time) const
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!draw(channel, frame, time).save(&buffer, "JPEG", JpegQuality))
        return QByteArray();
    return bytes;
}
