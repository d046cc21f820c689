#pragma once

#include "JsonWriter.h"
#include "LibraryState.h"

#include <QJsonObject>

#include <optional>

namespace immichdouble {

// The two album dialects of the server (see README.md).
enum class Dialect { V3, Classic };

enum class AssetView {
    SearchItem, // items of POST search/metadata, exifInfo only when asked for
    SearchItemWithExif,
    Detail, // GET assets/{id}: exifInfo, owner, tags and stack
};

enum class AlbumView {
    Listed,  // GET albums, POST albums
    Detail,  // GET albums/{id}: the classic dialect adds "assets"
    Updated, // PATCH albums/{id}: exact date range, no lastModifiedAssetTimestamp
};

const char* visibilityName(Visibility visibility); // "timeline", "archive", …
std::optional<Visibility> visibilityNamed(const QString& name);

QJsonObject userSummaryJson(const User& user);
QJsonObject userMeJson(const User& user);
void writeAsset(JsonWriter& out, const LibraryState& state, int index, AssetView view);
QJsonObject assetJson(const LibraryState& state, int index, AssetView view);
QJsonObject albumJson(const LibraryState& state, const Album& album, Dialect dialect,
                      AlbumView view, bool withAssets = true);

} // namespace immichdouble
