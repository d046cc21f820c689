#pragma once

#include "LibraryState.h"

#include <QString>

#include <optional>

namespace immichdouble {

struct AssetInput {
    int owner = -1;
    QString fileName;
    QByteArray bytes;
    qint64 fileCreatedAt = 0;
    qint64 fileModifiedAt = 0;
    std::optional<qint64> dateTimeOriginal; // when absent: EXIF of a JPEG, else fileCreatedAt
    std::optional<AssetType> type;          // when absent: from the file name
    bool trashed = false;
    // What the server's metadata extraction does: an EXIF capture date replaces fileCreatedAt.
    bool exifReplacesCreationDate = false;
};

// A new asset record for these bytes (checksum, size, type, dimensions, capture date).
Asset makeAsset(const AssetInput& input);

// Gives `owner` `count` generated assets, one every few hours back from mid-2025, newest
// first by index. Ids, names, bytes and dates depend only on the owner's e-mail and the index.
void seedAssets(LibraryState& state, int owner, int count);

// Loads the photos and videos found in `folder` (and below) as `owner`'s assets.
// Returns the number loaded, or -1 when the folder cannot be read.
int loadDemoFolder(LibraryState& state, int owner, const QString& folder);

} // namespace immichdouble
