#include "DateText.h"
#include "LibraryLoader.h"
#include "MediaBytes.h"
#include "MultipartForm.h"
#include "Routes.h"

#include <QUrl>

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
    qint64 images = 0;
    qint64 videos = 0;
    const LibraryState& state = context.state;
    for (size_t i = 0; i < state.assetSlots(); ++i) {
        const Asset& asset = state.asset(int(i));
        if (asset.removed || asset.owner != request.user || asset.trashed != trashed)
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
    ApiResponse response;
    response.headers = {{"Cache-Control", "private, max-age=86400, no-transform"}};
    if (size.isEmpty() || size == QLatin1String("thumbnail")) {
        response.contentType = "image/webp";
        response.body = thumbnailWebp();
    } else {
        // No real previews: a JPEG original stands for its own preview.
        response.contentType = "image/jpeg";
        const QByteArray bytes = context.state.originalBytes(index);
        response.body =
            bytes.startsWith("\xff\xd8") ? bytes : generatedPayload(index, AssetType::Image);
    }
    return response;
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
    if (!mediaKindForFileName(*file->fileName))
        return ApiResponse::message(400,
                                    QStringLiteral("Unsupported file type ") + *file->fileName);

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
    input.fileName = *file->fileName;
    input.bytes = file->data;
    input.fileCreatedAt = *createdAt;
    input.fileModifiedAt = *modifiedAt;
    input.exifReplacesCreationDate = true;
    const int index = state.addAsset(makeAsset(input));
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
    for (int index : std::get<std::vector<int>>(owned)) {
        if (context.state.asset(index).removed)
            continue; // named twice
        if (force)
            context.state.removeAsset(index);
        else
            context.state.setTrashed(index, true);
    }
    return ApiResponse::noContent();
}

ApiResponse restoreAssets(DoubleContext& context, ApiRequest& request)
{
    auto owned = ownedAssets(context, request);
    if (auto* refusal = std::get_if<ApiResponse>(&owned))
        return *refusal;
    int count = 0;
    for (int index : std::get<std::vector<int>>(owned)) {
        if (context.state.asset(index).trashed) {
            context.state.setTrashed(index, false);
            ++count;
        }
    }
    return ApiResponse::json(200, QJsonObject{{QStringLiteral("count"), count}});
}

// Restores or empties the whole trash of the user.
ApiResponse wholeTrash(DoubleContext& context, ApiRequest& request, bool remove)
{
    int count = 0;
    LibraryState& state = context.state;
    for (size_t i = 0; i < state.assetSlots(); ++i) {
        const Asset& asset = state.asset(int(i));
        if (asset.removed || !asset.trashed || asset.owner != request.user)
            continue;
        if (remove)
            state.removeAsset(int(i));
        else
            state.setTrashed(int(i), false);
        ++count;
    }
    return ApiResponse::json(200, QJsonObject{{QStringLiteral("count"), count}});
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
