#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace pixavella {

// The TIFF-structured Exif block of an ISO media file (HEIC, HEIF, AVIF): the item of type
// "Exif" found through the file's "meta" box, its data in the file or in the "idat" box.
// Nothing for another kind of file, a file without Exif item or a malformed one.
std::optional<QByteArray> bmffExifBlock(const QString& path);

} // namespace pixavella
