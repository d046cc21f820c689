#include "ExifCaptureDate.h"

#include "BmffExif.h"
#include "FileBytes.h"
#include "JpegExif.h"

#include <QFile>
#include <QTimeZone>

#include <exiv2/exiv2.hpp>

#include <mutex>

namespace pixavella {

namespace {

// Exif's "YYYY:MM:DD HH:MM:SS", read field by field: parsing with a format string costs more
// than the rest of the Exif reading of a small photo.
std::optional<QDateTime> parseFixedExifDate(const QString& text)
{
    if (text.size() != 19)
        return std::nullopt;
    int fields[6] = {};
    const int starts[6] = {0, 5, 8, 11, 14, 17};
    const int widths[6] = {4, 2, 2, 2, 2, 2};
    for (int f = 0; f < 6; ++f) {
        for (int i = starts[f]; i < starts[f] + widths[f]; ++i) {
            if (text[i] < u'0' || text[i] > u'9')
                return std::nullopt;
            fields[f] = fields[f] * 10 + (text[i].unicode() - '0');
        }
    }
    if (text[4] != u':' || text[7] != u':' || text[10] != u' ' || text[13] != u':' ||
        text[16] != u':')
        return std::nullopt;
    const QDate day(fields[0], fields[1], fields[2]);
    const QTime time(fields[3], fields[4], fields[5]);
    if (!day.isValid() || !time.isValid())
        return std::nullopt;
    return QDateTime(day, time, QTimeZone::utc());
}

std::optional<QDateTime> parseExifDate(const std::string& text)
{
    const QString trimmed = QString::fromStdString(text).trimmed();
    if (std::optional<QDateTime> fixed = parseFixedExifDate(trimmed))
        return fixed;
    QDateTime date = QDateTime::fromString(trimmed, QStringLiteral("yyyy:MM:dd HH:mm:ss"));
    if (!date.isValid())
        return std::nullopt;
    date.setTimeZone(QTimeZone::utc());
    return date;
}

void setUpExiv2()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // HEIC and other ISO media files are off unless asked for.
        Exiv2::enableBMFF(true);
        // exiv2 reports damaged files on stderr by default; a bad drop is not worth a line.
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    });
}

// The first date tag present decides, even when its text does not parse.
std::optional<std::optional<QDateTime>> dateIn(const Exiv2::ExifData& exif)
{
    for (const char* key : {"Exif.Photo.DateTimeOriginal", "Exif.Photo.DateTimeDigitized"}) {
        const auto found = exif.findKey(Exiv2::ExifKey(key));
        if (found != exif.end())
            return parseExifDate(found->toString());
    }
    return std::nullopt;
}

std::optional<std::optional<QDateTime>> dateReadByExiv2(const QString& path)
{
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    if (!image.get())
        return std::nullopt;
    image->readMetadata();
    return dateIn(image->exifData());
}

std::optional<QDateTime> dateInBlock(const std::optional<QByteArray>& block)
{
    if (!block)
        return std::nullopt;
    Exiv2::ExifData exif;
    Exiv2::ExifParser::decode(exif, reinterpret_cast<const Exiv2::byte*>(block->constData()),
                              uint32_t(block->size()));
    return dateIn(exif).value_or(std::nullopt);
}

} // namespace

std::optional<QDateTime> exifCaptureDate(const QString& path)
{
    return exifCaptureDate(FileBytes(path), path);
}

std::optional<QDateTime> exifCaptureDate(const FileBytes& file, const QString& path)
{
    setUpExiv2();
    // exiv2 throws for files it cannot read; those are files without a date here.
    // A JPEG's Exif comes before its image data: only those first segments are read, where
    // exiv2 would read a damaged file to its end looking for markers.
    if (const JpegExif jpeg = jpegExif(file); jpeg.isJpeg) {
        try {
            return dateInBlock(jpeg.block);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    try {
        if (std::optional<std::optional<QDateTime>> date = dateReadByExiv2(path))
            return *date;
    } catch (const std::exception&) {
    }
    // exiv2 0.27 misses the Exif items some HEIC writers store in the "idat" box.
    try {
        return dateInBlock(bmffExifBlock(path));
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::optional<QDateTime> dropCaptureDate(const QString& path)
{
    return dropDate(path).at;
}

DropDate dropDate(const QString& path)
{
    return dropDate(FileBytes(path), path);
}

DropDate dropDate(const FileBytes& file, const QString& path)
{
    if (std::optional<QDateTime> exif = exifCaptureDate(file, path))
        return {exif, false};
    return {file.modified(), true};
}

} // namespace pixavella
