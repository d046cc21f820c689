#include "DemoPictures.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRandomGenerator>

#include <cmath>

namespace demolibrary {

namespace {

// Greens in spring and summer, browns in autumn, white in winter.
QColor groundColour(int month, int shade)
{
    static const QColor seasons[] = {QColor(235, 240, 245), QColor(120, 170, 70),
                                     QColor(70, 140, 60), QColor(170, 110, 50)};
    const int season = month == 12 || month <= 2 ? 0 : month <= 5 ? 1 : month <= 8 ? 2 : 3;
    return seasons[season].darker(100 + shade);
}

void drawHills(QPainter& painter, QSize size, QRandomGenerator& random, int month)
{
    const int w = size.width();
    const int h = size.height();
    for (int layer = 0; layer < 3; ++layer) {
        QPainterPath hills;
        const double base = h * (0.55 + 0.12 * layer);
        hills.moveTo(0, h);
        hills.lineTo(0, base);
        const int bumps = 3 + int(random.bounded(4));
        const double amplitude = h * (0.18 - 0.04 * layer);
        const double phase = random.bounded(6.28);
        for (int x = 0; x <= w; x += 8) {
            const double t = double(x) / w;
            hills.lineTo(x, base - amplitude * (0.5 + 0.5 * std::sin(phase + t * bumps * 3.14)));
        }
        hills.lineTo(w, h);
        hills.closeSubpath();
        painter.setPen(Qt::NoPen);
        painter.setBrush(groundColour(month, 60 - 25 * layer));
        painter.drawPath(hills);
    }
}

void drawCaption(QPainter& painter, QSize size, const QString& caption)
{
    QFont font = painter.font();
    font.setPixelSize(std::max(14, size.height() / 18));
    font.setBold(true);
    painter.setFont(font);
    const QPoint at(size.width() / 30, size.height() - size.height() / 20);
    painter.setPen(QColor(0, 0, 0, 160));
    painter.drawText(at + QPoint(2, 2), caption);
    painter.setPen(Qt::white);
    painter.drawText(at, caption);
}

} // namespace

QImage drawLandscape(QSize size, quint32 seed, int month, const QString& caption)
{
    QRandomGenerator random(seed);
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const int w = size.width();
    const int h = size.height();

    const bool night = random.bounded(5) == 0;
    const int hue = int(random.bounded(360));
    QLinearGradient sky(0, 0, 0, h * 0.7);
    sky.setColorAt(0, night ? QColor::fromHsv(230, 180, 40) : QColor::fromHsv(hue, 120, 240));
    sky.setColorAt(1, night ? QColor::fromHsv(250, 120, 90)
                            : QColor::fromHsv((hue + 40) % 360, 60, 255));
    painter.fillRect(image.rect(), sky);

    const QPointF star(w * (0.15 + random.bounded(0.7)), h * (0.12 + random.bounded(0.25)));
    const double radius = h * (0.05 + random.bounded(0.06));
    painter.setPen(Qt::NoPen);
    painter.setBrush(night ? QColor(245, 245, 220) : QColor(255, 215, 90));
    painter.drawEllipse(star, radius, radius);

    drawHills(painter, size, random, month);
    if (random.bounded(2) == 0) {
        QLinearGradient water(0, h * 0.8, 0, h);
        water.setColorAt(0, QColor::fromHsv(200, 150, night ? 80 : 200));
        water.setColorAt(1, QColor::fromHsv(210, 200, night ? 40 : 120));
        painter.fillRect(QRectF(0, h * 0.82, w, h * 0.18), water);
    }
    const int trees = int(random.bounded(6));
    for (int i = 0; i < trees; ++i) {
        const double x = random.bounded(double(w));
        const double y = h * (0.7 + random.bounded(0.1));
        const double s = h * (0.06 + random.bounded(0.05));
        painter.setBrush(QColor(40, 90 + int(random.bounded(40)), 45));
        painter.drawPolygon(
            QPolygonF({QPointF(x, y - 2 * s), QPointF(x - s * 0.6, y), QPointF(x + s * 0.6, y)}));
    }
    drawCaption(painter, size, caption);
    return image;
}

QImage drawClipFrame(QSize size, int frame, int frames, const QString& caption)
{
    QImage image = drawLandscape(size, 7, 7, caption);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const double t = frames > 1 ? double(frame) / (frames - 1) : 0;
    const double x = size.width() * (0.1 + 0.8 * t);
    const double y = size.height() * (0.6 - 0.35 * std::abs(std::sin(t * 3 * 3.14159)));
    const double r = size.height() * 0.06;
    painter.setPen(QPen(Qt::black, 2));
    painter.setBrush(QColor(220, 40, 60));
    painter.drawEllipse(QPointF(x, y), r, r);
    return image;
}

} // namespace demolibrary
