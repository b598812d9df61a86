// Draws images/loading.jpg, the picture viewers see while a camera does not
// answer. Run it by hand after changing the drawing:
//   cmake --build <build> --target make_loading_image
//   <build>/bin/make_loading_image resources/images/loading.jpg
#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPointF>
#include <QRectF>
#include <QTextStream>
#include <QtMath>

namespace {

constexpr int Width = 320;
constexpr int Height = 240;
constexpr int SpinnerDots = 8;
constexpr int JpegQuality = 80;

void drawSpinner(QPainter &painter, const QPointF &centre)
{
    constexpr qreal ringRadius = 28;
    constexpr qreal dotRadius = 6;
    painter.setPen(Qt::NoPen);
    for (int i = 0; i < SpinnerDots; ++i) {
        const qreal angle = 2 * M_PI * i / SpinnerDots;
        QColor colour(0x4f, 0xc3, 0xf7);
        colour.setAlphaF(0.2 + 0.8 * i / (SpinnerDots - 1));
        painter.setBrush(colour);
        const QPointF offset(ringRadius * qCos(angle), ringRadius * qSin(angle));
        painter.drawEllipse(centre + offset, dotRadius, dotRadius);
    }
}

QImage drawLoadingImage()
{
    QImage image(Width, Height, QImage::Format_RGB32);
    image.fill(QColor(0x1e, 0x22, 0x28));

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    drawSpinner(painter, QPointF(Width / 2.0, Height / 2.0 - 24));

    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(26);
    painter.setFont(font);
    painter.setPen(QColor(0xe0, 0xe0, 0xe0));
    painter.drawText(QRectF(0, Height / 2.0 + 24, Width, 40), Qt::AlignCenter, QStringLiteral("Loading..."));
    return image;
}

} // namespace

int main(int argc, char *argv[])
{
    // A design-time tool: no display is needed to draw into an image.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    QTextStream err(stderr);
    if (argc != 2) {
        err << "usage: make_loading_image <output.jpg>\n";
        return 2;
    }
    if (!drawLoadingImage().save(QString::fromLocal8Bit(argv[1]), "JPEG", JpegQuality)) {
        err << "cannot write " << argv[1] << '\n';
        return 1;
    }
    return 0;
}
