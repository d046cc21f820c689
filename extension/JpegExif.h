#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace pixavella {

class FileBytes;

// What the segments of a file before its image data say about Exif.
struct JpegExif {
    bool isJpeg = false;             // starts with a JPEG start-of-image marker
    std::optional<QByteArray> block; // the TIFF-structured block of its "Exif" APP1 segment
};

// Reads only the segments in front of the image data (a few small reads, whatever the size of
// the file): the Exif block of the first APP1 segment that holds one. No block for a file whose
// segments end (image data, a damaged marker, the end of the file) before one.
JpegExif jpegExif(const QString& path);
JpegExif jpegExif(const FileBytes& file);

} // namespace pixavella
