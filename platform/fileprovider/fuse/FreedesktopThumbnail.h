#pragma once

#include "Result.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

namespace pixavella {

// The freedesktop thumbnail cache ($XDG_CACHE_HOME/thumbnails), written the way GLib reads it,
// so file managers show previews of the drive without opening (and downloading) originals.
namespace FreedesktopThumbnail {

inline constexpr int kNormalSize = 128;
inline constexpr int kLargeSize = 256;

// "file://" + the path escaped exactly as GLib's g_filename_to_uri does: bytes outside
// letters, digits and "!$&'()*+,-./:=@_~" become %XX in upper-case hex.
QByteArray fileUri(const QByteArray& absolutePath);

// <root>/<flavor>/<md5 of uri>.png, flavor "normal" or "large".
QString pathFor(const QString& thumbnailRoot, const QString& flavor, const QByteArray& uri);

// `png` with uncompressed tEXt chunks added after its header. GLib's validity check reads only
// tEXt chunks, which is why QImage's text (compressed above 40 characters) is not used.
QByteArray withTextChunks(const QByteArray& png, const QList<QPair<QByteArray, QByteArray>>& texts);
// The tEXt chunks of a PNG; empty when the bytes are not a PNG.
QMap<QByteArray, QByteArray> textChunks(const QByteArray& png);

// True when a thumbnail at `path` exists and names `uri` with modification time `mtime`.
bool isValid(const QString& path, const QByteArray& uri, qint64 mtime);

enum class Flavor : quint8 { Normal, Large };

// Writes the normal (128 px) and large (256 px) thumbnails of `image` for `uri`: scaled to fit
// (never enlarged), 0600 files replaced atomically.
Result<void> write(const QString& thumbnailRoot, const QByteArray& uri, qint64 mtime,
                   const QImage& image);
// One of them: GLib's lookup takes the large one when the normal one is missing.
Result<void> write(const QString& thumbnailRoot, const QByteArray& uri, qint64 mtime,
                   const QImage& image, Flavor flavor);

} // namespace FreedesktopThumbnail
} // namespace pixavella
