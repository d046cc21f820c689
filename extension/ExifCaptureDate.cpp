#include "ExifCaptureDate.h"

#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

#include <exiv2/exiv2.hpp>

#include <mutex>

namespace pixavella {

namespace {

std::optional<QDateTime> parseExifDate(const std::string& text)
{
    QDateTime date = QDateTime::fromString(QString::fromStdString(text).trimmed(),
                                           QStringLiteral("yyyy:MM:dd HH:mm:ss"));
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

} // namespace

std::optional<QDateTime> exifCaptureDate(const QString& path)
{
    setUpExiv2();
    try {
        Exiv2::Image::AutoPtr image =
            Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
        if (!image.get())
            return std::nullopt;
        image->readMetadata();
        const Exiv2::ExifData& exif = image->exifData();
        for (const char* key : {"Exif.Photo.DateTimeOriginal", "Exif.Photo.DateTimeDigitized"}) {
            const auto found = exif.findKey(Exiv2::ExifKey(key));
            if (found != exif.end())
                return parseExifDate(found->toString());
        }
    } catch (const Exiv2::AnyError&) {
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::optional<QDateTime> dropCaptureDate(const QString& path)
{
    if (std::optional<QDateTime> exif = exifCaptureDate(path))
        return exif;
    const QDateTime modified = QFileInfo(path).lastModified();
    if (!modified.isValid())
        return std::nullopt;
    return modified.toUTC();
}

} // namespace pixavella
