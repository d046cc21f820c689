#pragma once

#include "AssetBasics.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace immichdouble {

struct MediaKind {
    AssetType type = AssetType::Image;
    QString mimeType;
};

// From the file name's extension; empty for files the server does not take.
std::optional<MediaKind> mediaKindForFileName(const QString& fileName);

Sha1 sha1Of(const QByteArray& bytes);
QByteArray checksumText(const Sha1& sha1); // Base64, as the server writes it

// Deterministic small bytes of a generated asset (a bare JPEG or MP4 header and a number).
QByteArray generatedPayload(int seedIndex, AssetType type);

struct JpegFacts {
    std::optional<qint64> dateTimeOriginal; // ms since epoch, from EXIF DateTimeOriginal
    int width = 0;
    int height = 0;
};
// What the server's metadata extraction would find in a JPEG; nothing for other bytes.
JpegFacts readJpegFacts(const QByteArray& bytes);

} // namespace immichdouble
