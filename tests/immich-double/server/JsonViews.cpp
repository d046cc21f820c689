#include "JsonViews.h"

#include "DateText.h"
#include "MediaBytes.h"

#include <QFileInfo>
#include <QJsonArray>

#include <algorithm>

namespace immichdouble {

namespace {

constexpr qint64 kVideoDurationMs = 2000;

QString mimeTypeOf(const Asset& asset)
{
    const auto kind = mediaKindForFileName(asset.originalFileName);
    if (kind)
        return kind->mimeType;
    return asset.type == AssetType::Video ? QStringLiteral("video/mp4")
                                          : QStringLiteral("image/jpeg");
}

QJsonValue nullValue()
{
    return QJsonValue(QJsonValue::Null);
}

QJsonObject exifJson(const Asset& asset)
{
    const bool video = asset.type == AssetType::Video;
    QJsonObject exif;
    for (const char* key :
         {"make", "model", "lensModel", "fNumber", "focalLength", "iso", "exposureTime", "latitude",
          "longitude", "city", "state", "country", "projectionType", "rating"})
        exif.insert(QLatin1String(key), nullValue());
    exif.insert(QStringLiteral("exifImageWidth"), asset.width);
    exif.insert(QStringLiteral("exifImageHeight"), asset.height);
    exif.insert(QStringLiteral("fileSizeInByte"), asset.size);
    exif.insert(QStringLiteral("orientation"),
                video ? QJsonValue(QStringLiteral("1")) : nullValue());
    exif.insert(QStringLiteral("dateTimeOriginal"), isoOffset(asset.dateTimeOriginal));
    exif.insert(QStringLiteral("modifyDate"), isoOffset(asset.fileModifiedAt));
    exif.insert(QStringLiteral("timeZone"),
                video ? QJsonValue(QStringLiteral("UTC")) : nullValue());
    exif.insert(QStringLiteral("description"), QString());
    return exif;
}

QString originalPath(const Asset& asset, const QString& ownerId, const QString& id)
{
    const QString suffix = QFileInfo(asset.originalFileName).suffix();
    return QStringLiteral("/data/library/upload/%1/%2/%3/%4%5")
        .arg(ownerId, id.left(2), id.mid(2, 2), id,
             suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
}

// A placeholder hash for formats the server can make a preview of.
QJsonValue thumbhash(const Asset& asset, const QString& mimeType)
{
    if (mimeType == QLatin1String("image/heic") || mimeType == QLatin1String("image/heif"))
        return nullValue();
    return QString::fromLatin1(checksumText(asset.checksum).left(28));
}

} // namespace

QJsonObject userSummaryJson(const User& user)
{
    return QJsonObject{
        {QStringLiteral("id"), user.id},
        {QStringLiteral("email"), user.email},
        {QStringLiteral("name"), user.name},
        {QStringLiteral("profileImagePath"), QString()},
        {QStringLiteral("avatarColor"), user.avatarColor},
        {QStringLiteral("profileChangedAt"), isoMicrosOffset(user.createdAt)},
    };
}

QJsonObject userMeJson(const User& user)
{
    return QJsonObject{
        {QStringLiteral("id"), user.id},
        {QStringLiteral("email"), user.email},
        {QStringLiteral("name"), user.name},
        {QStringLiteral("profileImagePath"), QString()},
        {QStringLiteral("avatarColor"), user.avatarColor},
        {QStringLiteral("profileChangedAt"), isoMillis(user.createdAt)},
        {QStringLiteral("storageLabel"),
         user.isAdmin ? QJsonValue(QStringLiteral("admin")) : nullValue()},
        {QStringLiteral("shouldChangePassword"), false},
        {QStringLiteral("isAdmin"), user.isAdmin},
        {QStringLiteral("createdAt"), isoMillis(user.createdAt)},
        {QStringLiteral("deletedAt"), nullValue()},
        {QStringLiteral("updatedAt"), isoMillis(user.createdAt)},
        {QStringLiteral("oauthId"), QString()},
        {QStringLiteral("quotaSizeInBytes"), nullValue()},
        {QStringLiteral("quotaUsageInBytes"), 0},
        {QStringLiteral("status"), QStringLiteral("active")},
        {QStringLiteral("license"), nullValue()},
    };
}

QJsonObject assetJson(const LibraryState& state, int index, AssetView view)
{
    const Asset& asset = state.asset(index);
    const User& owner = state.user(asset.owner);
    const QString id = LibraryState::uuidText(asset.id);
    const QString mimeType = mimeTypeOf(asset);
    const bool video = asset.type == AssetType::Video;

    QJsonObject json{
        {QStringLiteral("id"), id},
        {QStringLiteral("createdAt"), isoMillis(asset.createdAt)},
        {QStringLiteral("ownerId"), owner.id},
        {QStringLiteral("libraryId"), nullValue()},
        {QStringLiteral("type"), video ? QStringLiteral("VIDEO") : QStringLiteral("IMAGE")},
        {QStringLiteral("originalPath"), originalPath(asset, owner.id, id)},
        {QStringLiteral("originalFileName"), asset.originalFileName},
        {QStringLiteral("originalMimeType"), mimeType},
        {QStringLiteral("thumbhash"), thumbhash(asset, mimeType)},
        {QStringLiteral("fileCreatedAt"), isoMillis(asset.fileCreatedAt)},
        {QStringLiteral("fileModifiedAt"), isoMillis(asset.fileModifiedAt)},
        {QStringLiteral("localDateTime"), isoMillis(asset.fileCreatedAt)},
        {QStringLiteral("updatedAt"), isoMillis(asset.updatedAt)},
        {QStringLiteral("isFavorite"), false},
        {QStringLiteral("isArchived"), false},
        {QStringLiteral("isTrashed"), asset.trashed},
        {QStringLiteral("visibility"), QStringLiteral("timeline")},
        {QStringLiteral("duration"), video ? QJsonValue(kVideoDurationMs) : nullValue()},
        {QStringLiteral("livePhotoVideoId"), nullValue()},
        {QStringLiteral("people"), QJsonArray()},
        {QStringLiteral("checksum"), QString::fromLatin1(checksumText(asset.checksum))},
        {QStringLiteral("isOffline"), false},
        {QStringLiteral("hasMetadata"), true},
        {QStringLiteral("duplicateId"), nullValue()},
        {QStringLiteral("resized"), true},
        {QStringLiteral("width"), asset.width},
        {QStringLiteral("height"), asset.height},
        {QStringLiteral("isEdited"), false},
    };
    if (view != AssetView::SearchItem)
        json.insert(QStringLiteral("exifInfo"), exifJson(asset));
    if (view == AssetView::Detail) {
        json.insert(QStringLiteral("owner"), userSummaryJson(owner));
        json.insert(QStringLiteral("tags"), QJsonArray());
        json.insert(QStringLiteral("stack"), nullValue());
    }
    return json;
}

QJsonObject albumJson(const LibraryState& state, const Album& album, Dialect dialect,
                      AlbumView view, bool withAssets)
{
    const std::vector<int> assets = state.albumAssets(album);
    QJsonArray users;
    if (dialect == Dialect::V3)
        users.append(QJsonObject{{QStringLiteral("user"), userSummaryJson(state.user(album.owner))},
                                 {QStringLiteral("role"), QStringLiteral("owner")}});
    for (const AlbumMember& member : album.members) {
        users.append(QJsonObject{{QStringLiteral("user"), userSummaryJson(state.user(member.user))},
                                 {QStringLiteral("role"), member.role == AlbumRole::Editor
                                                              ? QStringLiteral("editor")
                                                              : QStringLiteral("viewer")}});
    }

    QJsonValue thumbnail = nullValue();
    for (int index : album.assets) {
        if (!state.asset(index).trashed) {
            thumbnail = LibraryState::uuidText(state.asset(index).id);
            break;
        }
    }

    QJsonObject json{
        {QStringLiteral("id"), LibraryState::uuidText(album.id)},
        {QStringLiteral("albumName"), album.name},
        {QStringLiteral("description"), album.description},
        {QStringLiteral("albumThumbnailAssetId"), thumbnail},
        {QStringLiteral("createdAt"), isoMillis(album.createdAt)},
        {QStringLiteral("updatedAt"), isoMillis(album.updatedAt)},
        {QStringLiteral("albumUsers"), users},
        {QStringLiteral("shared"), !album.members.empty()},
        {QStringLiteral("hasSharedLink"), false},
        {QStringLiteral("assetCount"), qint64(assets.size())},
        {QStringLiteral("isActivityEnabled"), true},
        {QStringLiteral("order"), QStringLiteral("desc")},
    };
    if (!assets.empty()) {
        // assets are newest first
        const qint64 start = state.asset(assets.back()).fileCreatedAt;
        const qint64 end = state.asset(assets.front()).fileCreatedAt;
        if (view == AlbumView::Updated) {
            json.insert(QStringLiteral("startDate"), isoOffset(start));
            json.insert(QStringLiteral("endDate"), isoOffset(end));
        } else {
            json.insert(QStringLiteral("startDate"), isoDayStart(start));
            json.insert(QStringLiteral("endDate"), isoDayStart(end));
            qint64 lastModified = 0;
            for (int index : assets)
                lastModified = std::max(lastModified, state.asset(index).updatedAt);
            json.insert(QStringLiteral("lastModifiedAssetTimestamp"), isoMillis(lastModified));
        }
    }
    if (dialect == Dialect::Classic) {
        const User& owner = state.user(album.owner);
        json.insert(QStringLiteral("ownerId"), owner.id);
        json.insert(QStringLiteral("owner"), userSummaryJson(owner));
        if (view == AlbumView::Detail && withAssets) {
            QJsonArray items;
            for (int index : assets)
                items.append(assetJson(state, index, AssetView::SearchItemWithExif));
            json.insert(QStringLiteral("assets"), items);
        }
    }
    return json;
}

} // namespace immichdouble
