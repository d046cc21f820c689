#pragma once

// Write requests against the Immich double: templates and changed items as the framework
// builds them, photo fixtures with EXIF dates, and the notices the requests leave.

#include "ExtensionTestSupport.h"

#include "PedagogicalNoticeQueue.h"
#include "UserNoticeQueue.h"

#include <QImage>

#include <exiv2/exiv2.hpp>

namespace pixavella::testing {

using namespace Qt::StringLiterals;

inline FileProviderItemRef itemWith(const QString& identifier, const QString& parent,
                                    const QString& name, const ContentType& type)
{
    FileProviderItemProperties p;
    p.itemIdentifier = identifier;
    p.parentItemIdentifier = parent;
    p.filename = name;
    p.contentType = type;
    return FileProviderItemSnapshot::make(std::move(p));
}

// A small JPEG, with the EXIF dates given (empty: the tag is left out).
inline bool writeJpeg(const QString& path, const char* original = "", const char* digitized = "")
{
    QImage image(16, 16, QImage::Format_RGB32);
    image.fill(QColor(200, 80, 40));
    if (!image.save(path, "JPEG"))
        return false;
    if (!*original && !*digitized)
        return true;
    auto file = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    file->readMetadata();
    Exiv2::ExifData exif = file->exifData();
    if (*original)
        exif["Exif.Photo.DateTimeOriginal"] = std::string(original);
    if (*digitized)
        exif["Exif.Photo.DateTimeDigitized"] = std::string(digitized);
    file->setExifData(exif);
    file->writeMetadata();
    return true;
}

// The journal's word that a quarantine entry, gone from the queue, became `assetId`.
inline void recordUploaded(const QString& entryId, const QString& assetId)
{
    UploadJournal::Event uploaded;
    uploaded.id = entryId;
    uploaded.resolvedAt = Clock::now();
    uploaded.assetId = assetId;
    driveStores().journal.record(uploaded);
}

inline QStringList drainedNotices()
{
    QStringList keys;
    for (PedagogicalNotice notice : driveStores().notices.drain())
        keys.append(noticeKey(notice));
    return keys;
}

inline QString identifierOf(const Result<FileProviderItemChange>& change)
{
    if (!change)
        return u"error "_s + QString::number(change.error().code);
    return change.value().item ? change.value().item->itemIdentifier() : u"none"_s;
}

} // namespace pixavella::testing
