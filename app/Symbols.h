#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace pixavella {

// The bundled monochrome symbols (":/icons/<name>.svg"), tinted at draw time so that they
// follow the desktop's colours.
QString symbolPath(const QString& name);
QPixmap symbolPixmap(const QString& name, const QColor& color, int size, qreal devicePixelRatio);
// Normal state in `color`, disabled state in the palette's disabled text colour; rendered at
// 16, 18, 22 and 24 pixels.
QIcon symbolIcon(const QString& name, const QColor& color);

} // namespace pixavella
