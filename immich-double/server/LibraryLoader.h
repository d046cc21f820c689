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

// File in a demo folder that describes more than one user's photos:
//   {"users": [{"email", "password", "name", "folder"}],
//    "albums": [{"albumName", "description", "owner", "assets": [path…],
//                "members": [{"email", "role": "editor"|"viewer"}]}]}
// A user's files are those under their "folder"; every other file is `owner`'s. Users are added
// unless one with the e-mail exists; album owners (default: the main user) and members are
// e-mails, assets are paths relative to the demo folder.
inline constexpr const char* kDemoManifestName = "library.json";

// Loads the photos and videos found in `folder` (and below) and its manifest, when there is one.
// Returns the number of files loaded, or -1 (and *error) when the folder or manifest cannot be
// read or names something unknown.
int loadDemoFolder(LibraryState& state, int owner, const QString& folder, QString* error = nullptr);

} // namespace immichdouble
