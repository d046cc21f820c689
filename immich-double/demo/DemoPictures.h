#pragma once

#include <QImage>
#include <QSize>
#include <QString>

namespace demolibrary {

// A landscape that differs with `seed` (sky, hills, water, sun or moon) and `month` (season
// colours), with `caption` written in its lower left corner.
QImage drawLandscape(QSize size, quint32 seed, int month, const QString& caption);

// Frame `frame` of `frames` of a short clip: a ball crossing a landscape.
QImage drawClipFrame(QSize size, int frame, int frames, const QString& caption);

} // namespace demolibrary
