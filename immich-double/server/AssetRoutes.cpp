#include "DateText.h"
#include "LibraryLoader.h"
#include "MediaBytes.h"
#include "MultipartForm.h"
#include "Routes.h"

#include <QUrl>

#include <algorithm>
#include <cmath>
#include <variant>

namespace immichdouble {

namespace {

ApiResponse notFound(const char* permission)
{
    return ApiResponse::message(
        400, QStringLiteral("Not found or no %1 access").arg(QLatin1String(permission)));
}

// The asset named by the path, when the user may see it.
int readableAsset(const DoubleContext& context, const ApiRequest& request)
{
    const int index = context.state.assetIndex(request.pathArgs.value(0));
    if (index < 0 || !context.state.canReadAsset(request.user, index))
        return -1;
    return index;
}

ApiResponse mediaNotFound()
{
    return ApiResponse::message(404, QStringLiteral("Asset media not found"));
}

std::optional<ApiResponse> checkPathId(const ApiRequest& request)
{
    if (QUuid(request.pathArgs.value(0)).isNull())
        return ApiResponse::validation(QStringLiteral("id"),
                                       QStringLiteral("Invalid input: expected UUID"));
    return std::nullopt;
}

ApiResponse statistics(DoubleContext& context, ApiRequest& request)
{
    const bool trashed = request.queryFlag(QStringLiteral("isTrashed"));
    const QString favorite = request.query.queryItemValue(QStringLiteral("isFavorite"));
    std::optional<Visibility> visibility;
    if (request.query.hasQueryItem(QStringLiteral("visibility"))) {
        visibility = visibilityNamed(request.query.queryItemValue(QStringLiteral("visibility")));
        if (!visibility)
            return ApiResponse::validation(QStringLiteral("visibility"),
                                           QStringLiteral("Invalid option"));
    }
    qint64 images = 0;
    qint64 videos = 0;
    const LibraryState& state = context.state;
    for (size_t i = 0; i < state.assetSlots(); ++i) {
        const Asset& asset = state.asset(int(i));
        if (asset.removed || asset.owner != request.user || asset.trashed != trashed)
            continue;
        if (!favorite.isEmpty() && asset.favorite != (favorite == QLatin1String("true")))
            continue;
        // Without a visibility the server counts the timeline and the archive.
        if (visibility ? asset.visibility != *visibility
                       : asset.visibility != Visibility::Timeline &&
                             asset.visibility != Visibility::Archive)
            continue;
        ++(asset.type == AssetType::Video ? videos : images);
    }
    return ApiResponse::json(200, QJsonObject{{QStringLiteral("images"), images},
                                              {QStringLiteral("videos"), videos},
                                              {QStringLiteral("total"), images + videos}});
}

ApiResponse getAsset(DoubleContext& context, ApiRequest& request)
{
    if (auto refusal = checkPathId(request))
        return *refusal;
    const int index = readableAsset(context, request);
    if (index < 0)
        return notFound("asset.read");
    return ApiResponse::json(200, assetJson(context.state, index, AssetView::Detail));
}

ApiResponse original(DoubleContext& context, ApiRequest& request)
{
    if (auto refusal = checkPathId(request))
        return *refusal;
    const int index = readableAsset(context, request);
    if (index < 0)
        return notFound("asset.download");
    const Asset& asset = context.state.asset(index);
    const auto kind = mediaKindForFileName(asset.originalFileName);
    ApiResponse response;
    response.contentType =
        kind ? kind->mimeType.toLatin1() : QByteArray("application/octet-stream");
    response.body = context.state.originalBytes(index);
    response.headers = {
        {"Content-Disposition",
         "inline; filename*=UTF-8''" + QUrl::toPercentEncoding(asset.originalFileName)},
        {"ETag", "\"" + QByteArray(asset.checksum.data(), 20).toHex() + "\""},
        {"Accept-Ranges", "bytes"},
        {"Cache-Control", "private, max-age=86400, no-transform"},
    };
    return response;
}

ApiResponse thumbnail(DoubleContext& context, ApiRequest& request)
{
    if (auto refusal = checkPathId(request))
        return *refusal;
    const QString size = request.query.queryItemValue(QStringLiteral("size"));
    if (!size.isEmpty() && size != QLatin1String("thumbnail") && size != QLatin1String("preview") &&
        size != QLatin1String("fullsize"))
        return ApiResponse::validation(QStringLiteral("size"), QStringLiteral("Invalid option"));
    const int index = readableAsset(context, request);
    if (index < 0)
        return notFound("asset.view");
    const Asset& asset = context.state.asset(index);
    if (LibraryState::now() < asset.thumbnailReadyAt)
        return mediaNotFound(); // the thumbnail job has not run yet

    Thumbnails::Source source;
    source.id = asset.id;
    source.bytes = context.state.originalBytes(index);
    source.type = asset.type;
    source.standIn = asset.standIn || asset.seedIndex >= 0;
    source.width = asset.width;
    source.height = asset.height;
    source.checksum = asset.checksum;
    const Thumbnails::Size which = size.isEmpty() || size == QLatin1String("thumbnail")
                                       ? Thumbnails::Size::Thumbnail
                                       : Thumbnails::Size::Preview;
    ApiResponse response;
    response.headers = {{"Cache-Control", "private, max-age=86400, no-transform"}};
    // Decoded without holding the library's lock, so one large photo stalls no other request.
    response.finish = [&thumbnails = context.thumbnails, source, which](ApiResponse& answer) {
        const auto picture = thumbnails.picture(source, which);
        if (!picture) {
            answer = mediaNotFound();
            return;
        }
        answer.contentType = picture->contentType;
        answer.body = picture->bytes;
    };
    return response;
}

// The server keeps what follows the last slash or backslash of the sent name.
QString storedFileName(const QString& sent)
{
    const qsizetype cut =
        std::max(sent.lastIndexOf(QLatin1Char('/')), sent.lastIndexOf(QLatin1Char('\\')));
    return sent.mid(cut + 1);
}

ApiResponse upload(DoubleContext& context, ApiRequest& request)
{
    const auto form = MultipartForm::parse(request.header("content-type"), request.body);
    if (!form)
        return ApiResponse::validation(QStringLiteral("assetData"),
                                       QStringLiteral("Expected a multipart/form-data body"));
    const MultipartPart* file = form->part(QStringLiteral("assetData"));
    if (!file || !file->fileName)
        return ApiResponse::validation(QStringLiteral("assetData"),
                                       QStringLiteral("Invalid input: expected file"));
    const auto created = form->field(QStringLiteral("fileCreatedAt"));
    const auto createdAt = created ? parseIsoDate(*created) : std::nullopt;
    if (!createdAt)
        return ApiResponse::validation(QStringLiteral("fileCreatedAt"),
                                       QStringLiteral("Invalid input: expected date"));
    std::optional<qint64> modifiedAt = createdAt;
    if (const auto modified = form->field(QStringLiteral("fileModifiedAt"))) {
        modifiedAt = parseIsoDate(*modified);
        if (!modifiedAt)
            return ApiResponse::validation(QStringLiteral("fileModifiedAt"),
                                           QStringLiteral("Invalid input: expected date"));
    }
    const QString fileName = storedFileName(*file->fileName);
    if (!mediaKindForFileName(fileName))
        return ApiResponse::message(400, QStringLiteral("Unsupported file type ") + fileName);

    LibraryState& state = context.state;
    const int existing = state.findByChecksum(request.user, sha1Of(file->data));
    if (existing >= 0) {
        // A duplicate in the trash stays there.
        return ApiResponse::json(
            200,
            QJsonObject{{QStringLiteral("id"), LibraryState::uuidText(state.asset(existing).id)},
                        {QStringLiteral("status"), QStringLiteral("duplicate")}});
    }
    AssetInput input;
    input.owner = request.user;
    input.fileName = fileName;
    input.bytes = file->data;
    input.fileCreatedAt = *createdAt;
    input.fileModifiedAt = *modifiedAt;
    input.exifReplacesCreationDate = true;
    const int index = state.addAsset(makeAsset(input));
    announceUpload(context, index);
    return ApiResponse::json(
        201, QJsonObject{{QStringLiteral("id"), LibraryState::uuidText(state.asset(index).id)},
                         {QStringLiteral("status"), QStringLiteral("created")}});
}

// The owned assets named by "ids", or the refusal to answer.
std::variant<std::vector<int>, ApiResponse> ownedAssets(const DoubleContext& context,
                                                        const ApiRequest& request)
{
    const auto ids = idList(request.jsonObject(), QStringLiteral("ids"));
    if (!ids)
        return ApiResponse::validation(uuidListError(QStringLiteral("ids")));
    std::vector<int> indexes;
    for (const QString& id : *ids) {
        const int index = context.state.assetIndex(id);
        if (index < 0 || context.state.asset(index).owner != request.user)
            return notFound("asset.delete");
        indexes.push_back(index);
    }
    return indexes;
}

ApiResponse deleteAssets(DoubleContext& context, ApiRequest& request)
{
    auto owned = ownedAssets(context, request);
    if (auto* refusal = std::get_if<ApiResponse>(&owned))
        return *refusal;
    const bool force = request.jsonObject().value(QLatin1String("force")).toBool();
    QStringList ids;
    for (int index : std::get<std::vector<int>>(owned)) {
        if (context.state.asset(index).removed)
            continue; // named twice
        const QString id = LibraryState::uuidText(context.state.asset(index).id);
        if (force) {
            context.state.removeAsset(index);
            announceDelete(context, request.user, id);
        } else {
            context.state.setTrashed(index, true);
            ids.append(id);
        }
    }
    announceTrash(context, request.user, ids);
    return ApiResponse::noContent();
}

ApiResponse restoreAssets(DoubleContext& context, ApiRequest& request)
{
    auto owned = ownedAssets(context, request);
    if (auto* refusal = std::get_if<ApiResponse>(&owned))
        return *refusal;
    QStringList restored;
    for (int index : std::get<std::vector<int>>(owned)) {
        if (context.state.asset(index).trashed) {
            context.state.setTrashed(index, false);
            restored.append(LibraryState::uuidText(context.state.asset(index).id));
        }
    }
    announceRestore(context, request.user, restored);
    return ApiResponse::json(200, QJsonObject{{QStringLiteral("count"), restored.size()}});
}

// Restores or empties the whole trash of the user.
ApiResponse wholeTrash(DoubleContext& context, ApiRequest& request, bool remove)
{
    QStringList ids;
    LibraryState& state = context.state;
    for (size_t i = 0; i < state.assetSlots(); ++i) {
        const Asset& asset = state.asset(int(i));
        if (asset.removed || !asset.trashed || asset.owner != request.user)
            continue;
        ids.append(LibraryState::uuidText(asset.id));
        if (remove)
            state.removeAsset(int(i));
        else
            state.setTrashed(int(i), false);
    }
    if (remove) {
        for (const QString& id : ids)
            announceDelete(context, request.user, id);
    } else {
        announceRestore(context, request.user, ids);
    }
    return ApiResponse::json(200, QJsonObject{{QStringLiteral("count"), ids.size()}});
}

// The metadata PUT assets/{id} may change, checked before any is applied.
struct AssetEdit {
    std::optional<bool> favorite;
    std::optional<Visibility> visibility;
    std::optional<QString> description;
    std::optional<qint64> dateTimeOriginal;
    int utcOffsetMinutes = 0;
    std::optional<double> latitude, longitude;
    std::optional<qint8> rating; // 0: cleared

    // The fields the server writes to the photo's XMP sidecar.
    bool writesSidecar() const
    {
        return description || dateTimeOriginal || latitude || longitude || rating;
    }
};

std::variant<AssetEdit, ApiResponse> readEdit(const QJsonObject& body)
{
    AssetEdit edit;
    QJsonArray errors;
    const auto invalid = [&errors](const char* field, const QString& text) {
        errors.append(QJsonObject{{QStringLiteral("path"), QJsonArray{QLatin1String(field)}},
                                  {QStringLiteral("message"), text}});
    };
    const auto present = [&body](const char* field) { return body.contains(QLatin1String(field)); };
    const auto value = [&body](const char* field) { return body.value(QLatin1String(field)); };

    if (present("isFavorite")) {
        if (value("isFavorite").isBool())
            edit.favorite = value("isFavorite").toBool();
        else
            invalid("isFavorite", QStringLiteral("Invalid input: expected boolean"));
    }
    if (present("visibility")) {
        edit.visibility = visibilityNamed(value("visibility").toString());
        if (!edit.visibility)
            invalid("visibility", QStringLiteral("Invalid option: expected one of "
                                                 "\"archive\"|\"timeline\"|\"hidden\"|\"locked\""));
    }
    if (present("description")) {
        if (value("description").isString())
            edit.description = value("description").toString();
        else
            invalid("description", QStringLiteral("Invalid input: expected string"));
    }
    if (present("dateTimeOriginal")) {
        const QString text = value("dateTimeOriginal").toString();
        edit.dateTimeOriginal = parseIsoDate(text);
        if (!edit.dateTimeOriginal)
            invalid("dateTimeOriginal", QStringLiteral("Invalid input: expected date"));
        else
            edit.utcOffsetMinutes = isoUtcOffsetMinutes(text);
    }
    const auto coordinate = [&](const char* field, double limit, std::optional<double>& out) {
        if (!present(field))
            return;
        if (value(field).isDouble() && std::abs(value(field).toDouble()) <= limit)
            out = value(field).toDouble();
        else
            invalid(field,
                    QStringLiteral("Invalid input: expected number between -%1 and %1").arg(limit));
    };
    coordinate("latitude", 90, edit.latitude);
    coordinate("longitude", 180, edit.longitude);
    if (present("rating")) {
        const QJsonValue rating = value("rating");
        if (rating.isNull())
            edit.rating = 0;
        else if (rating.isDouble() && rating.toDouble() == double(rating.toInt()) &&
                 rating.toInt() >= 1 && rating.toInt() <= 5)
            edit.rating = qint8(rating.toInt());
        else
            invalid("rating", QStringLiteral("Invalid input: expected a whole number from 1 to 5"));
    }
    if (present("livePhotoVideoId") && !value("livePhotoVideoId").isNull() &&
        QUuid(value("livePhotoVideoId").toString()).isNull())
        invalid("livePhotoVideoId", QStringLiteral("Invalid input: expected UUID"));
    if (!errors.isEmpty())
        return ApiResponse::validation(errors);
    return edit;
}

// The server's metadata extraction after a sidecar was written or copied: a capture date set
// there becomes fileCreatedAt (and so localDateTime, and the month the photo is listed in).
void extractMetadata(DoubleContext& context, int index, bool newCaptureDate, bool announce)
{
    const QUuid id = context.state.asset(index).id;
    context.jobs.run(context.options.metadataDelayMs, [&context, id, newCaptureDate, announce] {
        const int at = context.state.assetIndex(LibraryState::uuidText(id));
        if (at < 0)
            return;
        Asset& asset = context.state.asset(at);
        if (newCaptureDate) {
            asset.utcOffsetMinutes = asset.pendingUtcOffsetMinutes;
            context.state.setFileCreatedAt(at, asset.dateTimeOriginal);
        } else {
            context.state.touch(at);
        }
        if (announce)
            announceUpdate(context, at);
    });
}

ApiResponse updateAsset(DoubleContext& context, ApiRequest& request)
{
    if (auto refusal = checkPathId(request))
        return *refusal;
    LibraryState& state = context.state;
    const int index = state.assetIndex(request.pathArgs.value(0));
    if (index < 0 || state.asset(index).owner != request.user)
        return notFound("asset.update");
    auto parsed = readEdit(request.jsonObject());
    if (auto* refusal = std::get_if<ApiResponse>(&parsed))
        return *refusal;
    const AssetEdit& edit = std::get<AssetEdit>(parsed);

    Asset& asset = state.asset(index);
    const bool hiddenBefore = asset.visibility == Visibility::Hidden;
    if (edit.favorite)
        asset.favorite = *edit.favorite;
    if (edit.visibility)
        asset.visibility = *edit.visibility;
    if (edit.description)
        asset.description = *edit.description;
    if (edit.latitude)
        asset.latitude = *edit.latitude;
    if (edit.longitude)
        asset.longitude = *edit.longitude;
    if (edit.rating)
        asset.rating = *edit.rating;
    if (edit.dateTimeOriginal) {
        asset.dateTimeOriginal = *edit.dateTimeOriginal;
        asset.pendingUtcOffsetMinutes = qint16(edit.utcOffsetMinutes);
    }
    state.touch(index);
    if (edit.writesSidecar()) {
        asset.hasSidecar = true;
        extractMetadata(context, index, edit.dateTimeOriginal.has_value(), true);
    }
    if (!hiddenBefore && asset.visibility == Visibility::Hidden)
        announceHidden(context, asset.owner, LibraryState::uuidText(asset.id));
    return ApiResponse::json(200, assetJson(state, index, AssetView::Detail));
}

// The server's own way of replacing a photo: the new upload takes over what belonged to the
// old one.
ApiResponse copyAsset(DoubleContext& context, ApiRequest& request)
{
    const QJsonObject body = request.jsonObject();
    QJsonArray errors;
    for (const char* field : {"sourceId", "targetId"}) {
        if (QUuid(body.value(QLatin1String(field)).toString()).isNull())
            errors.append(QJsonObject{
                {QStringLiteral("path"), QJsonArray{QLatin1String(field)}},
                {QStringLiteral("message"), QStringLiteral("Invalid input: expected UUID")}});
    }
    for (const char* field : {"albums", "favorite", "sharedLinks", "sidecar", "stack"}) {
        const QJsonValue value = body.value(QLatin1String(field));
        if (!value.isUndefined() && !value.isBool())
            errors.append(QJsonObject{
                {QStringLiteral("path"), QJsonArray{QLatin1String(field)}},
                {QStringLiteral("message"), QStringLiteral("Invalid input: expected boolean")}});
    }
    if (!errors.isEmpty())
        return ApiResponse::validation(errors);

    LibraryState& state = context.state;
    const QString sourceId = body.value(QLatin1String("sourceId")).toString();
    const QString targetId = body.value(QLatin1String("targetId")).toString();
    const int source = state.assetIndex(sourceId);
    const int target = state.assetIndex(targetId);
    if (source < 0 || target < 0 || state.asset(source).owner != request.user ||
        state.asset(target).owner != request.user)
        return notFound("asset.copy");
    if (source == target)
        return ApiResponse::message(400, QStringLiteral("Source and target id must be distinct"));
    const auto flag = [&body](const char* field) {
        return body.value(QLatin1String(field)).toBool(true);
    };

    if (flag("albums")) {
        for (size_t i = 0; i < state.albums().size(); ++i) {
            Album& album = state.album(int(i));
            if (album.removed ||
                std::find(album.assets.begin(), album.assets.end(), source) == album.assets.end() ||
                std::find(album.assets.begin(), album.assets.end(), target) != album.assets.end())
                continue;
            album.assets.push_back(target);
            album.updatedAt = LibraryState::now();
        }
    }
    const Asset& from = state.asset(source);
    Asset& to = state.asset(target);
    if (flag("favorite")) {
        to.favorite = from.favorite;
        state.touch(target);
    }
    if (flag("sidecar") && from.hasSidecar) {
        to.description = from.description;
        to.latitude = from.latitude;
        to.longitude = from.longitude;
        to.rating = from.rating;
        to.dateTimeOriginal = from.dateTimeOriginal;
        to.pendingUtcOffsetMinutes = from.pendingUtcOffsetMinutes;
        to.hasSidecar = true;
        extractMetadata(context, target, true, false);
    }
    return ApiResponse::noContent();
}

} // namespace

void addAssetRoutes(Router& router, DoubleContext& context)
{
    using Access = Router::Access;
    const auto route = [&](const QByteArray& method, const QString& pattern,
                           ApiResponse (*handler)(DoubleContext&, ApiRequest&)) {
        router.add(method, pattern, Access::User,
                   [&context, handler](ApiRequest& request) { return handler(context, request); });
    };
    route("GET", QStringLiteral("/api/assets/statistics"), statistics);
    route("PUT", QStringLiteral("/api/assets/copy"), copyAsset);
    route("PUT", QStringLiteral("/api/assets/:id"), updateAsset);
    route("GET", QStringLiteral("/api/assets/:id"), getAsset);
    route("GET", QStringLiteral("/api/assets/:id/original"), original);
    route("GET", QStringLiteral("/api/assets/:id/thumbnail"), thumbnail);
    route("POST", QStringLiteral("/api/assets"), upload);
    route("DELETE", QStringLiteral("/api/assets"), deleteAssets);
    route("POST", QStringLiteral("/api/trash/restore/assets"), restoreAssets);
    route("POST", QStringLiteral("/api/trash/restore"),
          [](DoubleContext& c, ApiRequest& r) { return wholeTrash(c, r, false); });
    route("POST", QStringLiteral("/api/trash/empty"),
          [](DoubleContext& c, ApiRequest& r) { return wholeTrash(c, r, true); });
}

} // namespace immichdouble
