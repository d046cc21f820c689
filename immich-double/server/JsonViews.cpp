#include "JsonViews.h"

#include "DateText.h"
#include "MediaBytes.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>

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

void writeOptionalNumber(JsonWriter& out, const char* key, double value)
{
    if (qIsNaN(value))
        out.key(key).null();
    else
        out.key(key).number(value);
}

// "UTC", "UTC+2", "UTC-9:30", as the server names the zone of an offset.
QByteArray zoneName(int offsetMinutes)
{
    if (offsetMinutes == 0)
        return "UTC";
    const int minutes = std::abs(offsetMinutes);
    QByteArray name =
        "UTC" + QByteArray(offsetMinutes < 0 ? "-" : "+") + QByteArray::number(minutes / 60);
    if (minutes % 60)
        name += ':' + QByteArray::number(minutes % 60).rightJustified(2, '0');
    return name;
}

void writeExif(JsonWriter& out, const Asset& asset)
{
    const bool video = asset.type == AssetType::Video;
    out.beginObject();
    for (const char* key : {"make", "model", "lensModel", "fNumber", "focalLength", "iso",
                            "exposureTime", "city", "state", "country", "projectionType"})
        out.key(key).null();
    writeOptionalNumber(out, "latitude", asset.latitude);
    writeOptionalNumber(out, "longitude", asset.longitude);
    if (asset.rating > 0)
        out.key("rating").value(asset.rating);
    else
        out.key("rating").null();
    out.key("exifImageWidth").value(asset.width);
    out.key("exifImageHeight").value(asset.height);
    out.key("fileSizeInByte").value(asset.size);
    if (video)
        out.key("orientation").latin1("1");
    else
        out.key("orientation").null();
    out.key("dateTimeOriginal").latin1(dateText(asset.dateTimeOriginal, DateStyle::Offset));
    out.key("modifyDate").latin1(dateText(asset.fileModifiedAt, DateStyle::Offset));
    if (video || asset.utcOffsetMinutes != 0)
        out.key("timeZone").latin1(zoneName(asset.utcOffsetMinutes));
    else
        out.key("timeZone").null();
    out.key("description").value(asset.description);
    out.endObject();
}

QString originalPath(const Asset& asset, const QString& ownerId, const QString& id)
{
    const QString suffix = QFileInfo(asset.originalFileName).suffix();
    return QStringLiteral("/data/library/upload/%1/%2/%3/%4%5")
        .arg(ownerId, id.left(2), id.mid(2, 2), id,
             suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
}

} // namespace

const char* visibilityName(Visibility visibility)
{
    switch (visibility) {
    case Visibility::Archive:
        return "archive";
    case Visibility::Hidden:
        return "hidden";
    case Visibility::Locked:
        return "locked";
    case Visibility::Timeline:
        break;
    }
    return "timeline";
}

std::optional<Visibility> visibilityNamed(const QString& name)
{
    for (const Visibility visibility :
         {Visibility::Timeline, Visibility::Archive, Visibility::Hidden, Visibility::Locked}) {
        if (name == QLatin1String(visibilityName(visibility)))
            return visibility;
    }
    return std::nullopt;
}

QJsonObject userSummaryJson(const User& user)
{
    return QJsonObject{
        {QStringLiteral("id"), user.id},
        {QStringLiteral("email"), user.email},
        {QStringLiteral("name"), user.name},
        {QStringLiteral("profileImagePath"), QString()},
        {QStringLiteral("avatarColor"), user.avatarColor},
        {QStringLiteral("profileChangedAt"),
         QString::fromLatin1(dateText(user.createdAt, DateStyle::MicrosOffset))},
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

void writeAsset(JsonWriter& out, const LibraryState& state, int index, AssetView view)
{
    const Asset& asset = state.asset(index);
    const User& owner = state.user(asset.owner);
    const QString id = LibraryState::uuidText(asset.id);
    const QString mimeType = mimeTypeOf(asset);
    const bool video = asset.type == AssetType::Video;
    const QByteArray checksum = checksumText(asset.checksum);
    const QByteArray fileCreatedAt = dateText(asset.fileCreatedAt, DateStyle::Millis);

    out.beginObject();
    out.key("id").value(id);
    out.key("createdAt").latin1(dateText(asset.createdAt, DateStyle::Millis));
    out.key("ownerId").value(owner.id);
    if (view == AssetView::Detail)
        out.key("owner").raw(QJsonDocument(userSummaryJson(owner)).toJson(QJsonDocument::Compact));
    out.key("libraryId").null();
    out.key("type").latin1(video ? "VIDEO" : "IMAGE");
    out.key("originalPath").value(originalPath(asset, owner.id, id));
    out.key("originalFileName").value(asset.originalFileName);
    out.key("originalMimeType").value(mimeType);
    // A placeholder hash for the formats the server makes previews of.
    if (mimeType == QLatin1String("image/heic") || mimeType == QLatin1String("image/heif"))
        out.key("thumbhash").null();
    else
        out.key("thumbhash").latin1(checksum.left(28));
    out.key("fileCreatedAt").latin1(fileCreatedAt);
    out.key("fileModifiedAt").latin1(dateText(asset.fileModifiedAt, DateStyle::Millis));
    // The capture's wall-clock time written as if it were UTC, as the server does.
    out.key("localDateTime")
        .latin1(asset.utcOffsetMinutes == 0
                    ? fileCreatedAt
                    : dateText(asset.fileCreatedAt + qint64(asset.utcOffsetMinutes) * 60000,
                               DateStyle::Millis));
    out.key("updatedAt").latin1(dateText(asset.updatedAt, DateStyle::Millis));
    out.key("isFavorite").boolean(asset.favorite);
    out.key("isArchived").boolean(asset.visibility == Visibility::Archive);
    out.key("isTrashed").boolean(asset.trashed);
    out.key("visibility").latin1(visibilityName(asset.visibility));
    if (video)
        out.key("duration").value(kVideoDurationMs);
    else
        out.key("duration").null();
    if (view != AssetView::SearchItem) {
        out.key("exifInfo");
        writeExif(out, asset);
    }
    out.key("livePhotoVideoId").null();
    if (view == AssetView::Detail)
        out.key("tags").beginArray().endArray();
    out.key("people").beginArray().endArray();
    out.key("checksum").latin1(checksum);
    if (view == AssetView::Detail)
        out.key("stack").null();
    out.key("isOffline").boolean(false);
    out.key("hasMetadata").boolean(true);
    out.key("duplicateId").null();
    out.key("resized").boolean(true);
    out.key("width").value(asset.width);
    out.key("height").value(asset.height);
    out.key("isEdited").boolean(false);
    out.endObject();
}

QJsonObject assetJson(const LibraryState& state, int index, AssetView view)
{
    JsonWriter out;
    writeAsset(out, state, index, view);
    return QJsonDocument::fromJson(out.bytes()).object();
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
            json.insert(QStringLiteral("startDate"),
                        QString::fromLatin1(dateText(start, DateStyle::DayStart)));
            json.insert(QStringLiteral("endDate"),
                        QString::fromLatin1(dateText(end, DateStyle::DayStart)));
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
