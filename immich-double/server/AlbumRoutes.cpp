#include "Routes.h"

#include <algorithm>

namespace immichdouble {

namespace {

ApiResponse notFound(const char* permission)
{
    return ApiResponse::message(
        400, QStringLiteral("Not found or no %1 access").arg(QLatin1String(permission)));
}

// The album named by the path when the user holds one of `roles` on it, else -1.
int albumFor(const DoubleContext& context, const ApiRequest& request,
             std::initializer_list<AlbumRole> roles)
{
    const int index = context.state.albumIndex(request.pathArgs.value(0));
    if (index < 0)
        return -1;
    const AlbumRole role = context.state.role(context.state.album(index), request.user);
    return std::find(roles.begin(), roles.end(), role) != roles.end() ? index : -1;
}

bool wanted(const DoubleContext& context, const ApiRequest& request, const Album& album)
{
    const LibraryState& state = context.state;
    const AlbumRole role = state.role(album, request.user);
    if (album.removed || role == AlbumRole::None)
        return false;
    const bool owned = role == AlbumRole::Owner;
    const bool shared = !album.members.empty();
    if (context.dialect == Dialect::Classic) {
        const QString sharedFilter = request.query.queryItemValue(QStringLiteral("shared"));
        if (sharedFilter == QLatin1String("true"))
            return shared;
        if (sharedFilter == QLatin1String("false"))
            return owned && !shared;
        return owned;
    }
    // Current servers ignore "shared" and filter with isOwned, isShared and assetId.
    const QString isOwned = request.query.queryItemValue(QStringLiteral("isOwned"));
    if (!isOwned.isEmpty() && owned != (isOwned == QLatin1String("true")))
        return false;
    const QString isShared = request.query.queryItemValue(QStringLiteral("isShared"));
    if (!isShared.isEmpty() && shared != (isShared == QLatin1String("true")))
        return false;
    const QString assetId = request.query.queryItemValue(QStringLiteral("assetId"));
    if (!assetId.isEmpty()) {
        const int asset = state.assetIndex(assetId);
        if (std::find(album.assets.begin(), album.assets.end(), asset) == album.assets.end())
            return false;
    }
    return true;
}

ApiResponse listAlbums(DoubleContext& context, ApiRequest& request)
{
    QJsonArray albums;
    const auto& all = context.state.albums();
    // Newest first, as the server sorts by creation.
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (wanted(context, request, *it))
            albums.append(albumJson(context.state, *it, context.dialect, AlbumView::Listed));
    }
    return ApiResponse::json(200, albums);
}

ApiResponse getAlbum(DoubleContext& context, ApiRequest& request)
{
    const int index =
        albumFor(context, request, {AlbumRole::Owner, AlbumRole::Editor, AlbumRole::Viewer});
    if (index < 0)
        return notFound("album.read");
    const bool withAssets = !request.queryFlag(QStringLiteral("withoutAssets"));
    return ApiResponse::json(200, albumJson(context.state, context.state.album(index),
                                            context.dialect, AlbumView::Detail, withAssets));
}

ApiResponse createAlbum(DoubleContext& context, ApiRequest& request)
{
    const QJsonObject body = request.jsonObject();
    const QJsonValue name = body.value(QLatin1String("albumName"));
    if (!name.isString())
        return ApiResponse::validation(QStringLiteral("albumName"),
                                       QStringLiteral("Invalid input: expected string"));
    LibraryState& state = context.state;
    Album album;
    album.owner = request.user;
    album.name = name.toString();
    album.description = body.value(QLatin1String("description")).toString();
    if (body.contains(QLatin1String("assetIds"))) {
        const auto ids = idList(body, QStringLiteral("assetIds"));
        if (!ids)
            return ApiResponse::validation(uuidListError(QStringLiteral("assetIds")));
        for (const QString& id : *ids) {
            const int index = state.assetIndex(id);
            if (index < 0 || !state.canReadAsset(request.user, index))
                return notFound("asset.share");
            if (std::find(album.assets.begin(), album.assets.end(), index) == album.assets.end())
                album.assets.push_back(index);
        }
    }
    for (const QJsonValue& value : body.value(QLatin1String("albumUsers")).toArray()) {
        const QJsonObject member = value.toObject();
        const int user = state.userById(member.value(QLatin1String("userId")).toString());
        if (user < 0 || user == request.user)
            return ApiResponse::message(400, QStringLiteral("User not found"));
        const bool editor =
            member.value(QLatin1String("role")).toString() == QLatin1String("editor");
        album.members.push_back({user, editor ? AlbumRole::Editor : AlbumRole::Viewer});
    }
    const int index = state.addAlbum(std::move(album));
    return ApiResponse::json(
        201, albumJson(state, state.album(index), context.dialect, AlbumView::Listed));
}

ApiResponse updateAlbum(DoubleContext& context, ApiRequest& request)
{
    const int index = albumFor(context, request, {AlbumRole::Owner});
    if (index < 0)
        return notFound("album.update");
    const QJsonObject body = request.jsonObject();
    for (const char* key : {"albumName", "description"}) {
        const QJsonValue value = body.value(QLatin1String(key));
        if (!value.isUndefined() && !value.isString())
            return ApiResponse::validation(QLatin1String(key),
                                           QStringLiteral("Invalid input: expected string"));
    }
    Album& album = context.state.album(index);
    if (body.contains(QLatin1String("albumName")))
        album.name = body.value(QLatin1String("albumName")).toString();
    if (body.contains(QLatin1String("description")))
        album.description = body.value(QLatin1String("description")).toString();
    album.updatedAt = LibraryState::now();
    return ApiResponse::json(200,
                             albumJson(context.state, album, context.dialect, AlbumView::Updated));
}

ApiResponse deleteAlbum(DoubleContext& context, ApiRequest& request)
{
    const int index = albumFor(context, request, {AlbumRole::Owner});
    if (index < 0)
        return notFound("album.delete");
    context.state.removeAlbum(index);
    return ApiResponse::noContent();
}

QJsonObject itemResult(const QString& id, const char* error = nullptr)
{
    QJsonObject result{{QStringLiteral("id"), id}, {QStringLiteral("success"), error == nullptr}};
    if (error)
        result.insert(QStringLiteral("error"), QLatin1String(error));
    return result;
}

ApiResponse addAssets(DoubleContext& context, ApiRequest& request)
{
    const auto ids = idList(request.jsonObject(), QStringLiteral("ids"));
    if (!ids)
        return ApiResponse::validation(uuidListError(QStringLiteral("ids")));
    const int albumIndex = albumFor(context, request, {AlbumRole::Owner, AlbumRole::Editor});
    if (albumIndex < 0)
        return notFound("albumAsset.create");
    LibraryState& state = context.state;
    Album& album = state.album(albumIndex);
    QJsonArray results;
    for (const QString& id : *ids) {
        const int index = state.assetIndex(id);
        if (index >= 0 &&
            std::find(album.assets.begin(), album.assets.end(), index) != album.assets.end()) {
            results.append(itemResult(id, "duplicate"));
        } else if (index < 0 || !state.canReadAsset(request.user, index)) {
            results.append(itemResult(id, "no_permission"));
        } else {
            album.assets.push_back(index);
            album.updatedAt = LibraryState::now();
            results.append(itemResult(id));
        }
    }
    return ApiResponse::json(200, results);
}

ApiResponse removeAssets(DoubleContext& context, ApiRequest& request)
{
    const auto ids = idList(request.jsonObject(), QStringLiteral("ids"));
    if (!ids)
        return ApiResponse::validation(uuidListError(QStringLiteral("ids")));
    const int albumIndex = albumFor(context, request, {AlbumRole::Owner, AlbumRole::Editor});
    if (albumIndex < 0)
        return notFound("albumAsset.delete");
    LibraryState& state = context.state;
    Album& album = state.album(albumIndex);
    const bool owner = album.owner == request.user;
    QJsonArray results;
    for (const QString& id : *ids) {
        const int index = state.assetIndex(id);
        const auto it = std::find(album.assets.begin(), album.assets.end(), index);
        if (index < 0 || it == album.assets.end()) {
            results.append(itemResult(id, "not_found"));
        } else if (!owner && state.asset(index).owner != request.user) {
            // An editor takes out only what is theirs.
            results.append(itemResult(id, "no_permission"));
        } else {
            album.assets.erase(it);
            album.updatedAt = LibraryState::now();
            results.append(itemResult(id));
        }
    }
    return ApiResponse::json(200, results);
}

} // namespace

void addAlbumRoutes(Router& router, DoubleContext& context)
{
    const auto route = [&](const QByteArray& method, const QString& pattern,
                           ApiResponse (*handler)(DoubleContext&, ApiRequest&)) {
        router.add(method, pattern, Router::Access::User,
                   [&context, handler](ApiRequest& request) { return handler(context, request); });
    };
    route("GET", QStringLiteral("/api/albums"), listAlbums);
    route("POST", QStringLiteral("/api/albums"), createAlbum);
    route("GET", QStringLiteral("/api/albums/:id"), getAlbum);
    route("PATCH", QStringLiteral("/api/albums/:id"), updateAlbum);
    route("DELETE", QStringLiteral("/api/albums/:id"), deleteAlbum);
    route("PUT", QStringLiteral("/api/albums/:id/assets"), addAssets);
    route("DELETE", QStringLiteral("/api/albums/:id/assets"), removeAssets);
}

} // namespace immichdouble
