#include "Symbols.h"

#include <QApplication>
#include <QPainter>
#include <QPalette>

namespace pixavella {

QString symbolPath(const QString& name)
{
    return QStringLiteral(":/icons/%1.svg").arg(name);
}

QPixmap symbolPixmap(const QString& name, const QColor& color, int size, qreal devicePixelRatio)
{
    const int pixels = qRound(size * devicePixelRatio);
    QPixmap pixmap = QIcon(symbolPath(name)).pixmap(pixels, pixels);
    if (pixmap.isNull()) {
        QPixmap empty(pixels, pixels);
        empty.fill(Qt::transparent);
        empty.setDevicePixelRatio(devicePixelRatio);
        return empty;
    }
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), color);
    painter.end();
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

QIcon symbolIcon(const QString& name, const QColor& color)
{
    const QColor disabled = QApplication::palette().color(QPalette::Disabled, QPalette::Text);
    QIcon icon;
    for (int size : {16, 18, 22, 24}) {
        icon.addPixmap(symbolPixmap(name, color, size, 1.0), QIcon::Normal);
        icon.addPixmap(symbolPixmap(name, color, size, 1.0), QIcon::Active);
        icon.addPixmap(symbolPixmap(name, disabled, size, 1.0), QIcon::Disabled);
    }
    return icon;
}

} // namespace pixavella
