#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

namespace pixavella {

class FileBytes;

// The EXIF "DateTimeOriginal" of an image file, else its "DateTimeDigitized", read as UTC
// ("yyyy:MM:dd HH:mm:ss"). Nothing for a file that is no image exiv2 reads, has neither tag
// or holds an unreadable text.
std::optional<QDateTime> exifCaptureDate(const QString& path);
// The same, with `file` open on `path`.
std::optional<QDateTime> exifCaptureDate(const FileBytes& file, const QString& path);

// The date a dropped file is filed under: its EXIF date, else its content modification time;
// nothing when neither can be read.
std::optional<QDateTime> dropCaptureDate(const QString& path);

struct DropDate {
    std::optional<QDateTime> at;
    bool fromFileTime = false; // no EXIF date: a time set on the file later moves the photo
};
DropDate dropDate(const QString& path);
DropDate dropDate(const FileBytes& file, const QString& path);

} // namespace pixavella
