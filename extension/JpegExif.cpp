#include "JpegExif.h"

#include "FileBytes.h"

#include <cstring>

namespace pixavella {

namespace {

constexpr quint8 kStartOfScan = 0xDA;
constexpr quint8 kEndOfImage = 0xD9;
constexpr quint8 kApp1 = 0xE1;
// Exif comes first among the segments of a photo; a file of countless empty segments in front
// of it would otherwise cost two reads each.
constexpr int kMaxSegments = 1024;

// Reads exactly `size` bytes at `offset`; false at the end of the file or on an error.
bool readAt(const FileBytes& file, char* into, qint64 size, qint64 offset)
{
    const QByteArray bytes = file.at(offset, size);
    if (bytes.size() != size)
        return false;
    std::memcpy(into, bytes.constData(), size_t(size));
    return true;
}

// Markers without a length: the restart markers and TEM.
bool standsAlone(quint8 marker)
{
    return (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01;
}

} // namespace

JpegExif jpegExif(const QString& path)
{
    return jpegExif(FileBytes(path, 0));
}

JpegExif jpegExif(const FileBytes& file)
{
    JpegExif found;
    if (!file.isOpen())
        return found;
    unsigned char head[4];
    qint64 at = 2;
    found.isJpeg =
        readAt(file, reinterpret_cast<char*>(head), 2, 0) && head[0] == 0xFF && head[1] == 0xD8;
    for (int segments = 0; found.isJpeg && segments < kMaxSegments &&
                           readAt(file, reinterpret_cast<char*>(head), 2, at);
         ++segments) {
        // Any number of 0xFF fill bytes may stand before a marker.
        if (head[0] != 0xFF)
            break;
        if (head[1] == 0xFF) {
            at += 1;
            continue;
        }
        const quint8 marker = head[1];
        at += 2;
        if (marker == kStartOfScan || marker == kEndOfImage || marker == 0x00)
            break;
        if (standsAlone(marker))
            continue;
        if (!readAt(file, reinterpret_cast<char*>(head), 2, at))
            break;
        const qint64 length = (qint64(head[0]) << 8) | head[1];
        if (length < 2)
            break;
        static constexpr char kExifHeader[] = {'E', 'x', 'i', 'f', 0, 0};
        if (marker == kApp1 && length > 2 + qint64(sizeof kExifHeader)) {
            QByteArray payload(length - 2, Qt::Uninitialized);
            if (!readAt(file, payload.data(), payload.size(), at + 2))
                break;
            if (payload.startsWith(QByteArray::fromRawData(kExifHeader, sizeof kExifHeader))) {
                found.block = payload.mid(sizeof kExifHeader);
                break;
            }
        }
        at += length;
    }
    return found;
}

} // namespace pixavella
