#include "DateText.h"
#include "LibraryLoader.h"
#include "Routes.h"

#include <QUrl>

namespace immichdouble {

namespace {

ApiResponse ok(const QJsonObject& body = {})
{
    return ApiResponse::json(200, body);
}

ApiResponse refuse(const QString& text)
{
    return ApiResponse::message(400, text);
}

// The owner named by "owner" (an e-mail), the main user when absent.
int ownerOf(const LibraryState& state, const QJsonObject& body)
{
    if (!body.contains(QLatin1String("owner")))
        return 0;
    return state.userByEmail(body.value(QLatin1String("owner")).toString());
}

ApiResponse addAsset(DoubleContext& context, const QJsonObject& body)
{
    LibraryState& state = context.state;
    AssetInput input;
    input.owner = ownerOf(state, body);
    if (input.owner < 0)
        return refuse(QStringLiteral("unknown owner"));
    input.fileName = body.value(QLatin1String("originalFileName")).toString();
    if (input.fileName.isEmpty())
        return refuse(QStringLiteral("originalFileName is required"));
    const auto decoded =
        QByteArray::fromBase64Encoding(body.value(QLatin1String("base64")).toString().toLatin1(),
                                       QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return refuse(QStringLiteral("base64 is not valid Base64"));
    input.bytes = *decoded;

    const QJsonValue created = body.value(QLatin1String("fileCreatedAt"));
    if (created.isUndefined()) {
        input.fileCreatedAt = LibraryState::now();
    } else if (const auto parsed = parseIsoDate(created.toString())) {
        input.fileCreatedAt = *parsed;
    } else {
        return refuse(QStringLiteral("fileCreatedAt is not an ISO 8601 date"));
    }
    input.fileModifiedAt = input.fileCreatedAt;
    if (body.contains(QLatin1String("fileModifiedAt"))) {
        const auto parsed = parseIsoDate(body.value(QLatin1String("fileModifiedAt")).toString());
        if (!parsed)
            return refuse(QStringLiteral("fileModifiedAt is not an ISO 8601 date"));
        input.fileModifiedAt = *parsed;
    }
    if (body.contains(QLatin1String("dateTimeOriginal"))) {
        const auto parsed = parseIsoDate(body.value(QLatin1String("dateTimeOriginal")).toString());
        if (!parsed)
            return refuse(QStringLiteral("dateTimeOriginal is not an ISO 8601 date"));
        input.dateTimeOriginal = parsed;
    }
    const QString type = body.value(QLatin1String("type")).toString();
    if (type == QLatin1String("IMAGE"))
        input.type = AssetType::Image;
    else if (type == QLatin1String("VIDEO"))
        input.type = AssetType::Video;
    else if (!type.isEmpty())
        return refuse(QStringLiteral("type must be IMAGE or VIDEO"));
    input.trashed = body.value(QLatin1String("isTrashed")).toBool();

    Asset asset = makeAsset(input);
    // Tests give any bytes for a photo: those that do not decode still get a thumbnail.
    asset.standIn = true;
    const int index = state.addAsset(std::move(asset));
    announceUpload(context, index);
    return ok({{QStringLiteral("id"), LibraryState::uuidText(state.asset(index).id)}});
}

ApiResponse addAlbum(DoubleContext& context, const QJsonObject& body)
{
    LibraryState& state = context.state;
    Album album;
    album.owner = ownerOf(state, body);
    if (album.owner < 0)
        return refuse(QStringLiteral("unknown owner"));
    album.name = body.value(QLatin1String("albumName")).toString();
    album.description = body.value(QLatin1String("description")).toString();
    for (const QJsonValue& id : body.value(QLatin1String("assetIds")).toArray()) {
        const int index = state.assetIndex(id.toString());
        if (index < 0)
            return refuse(QStringLiteral("unknown asset ") + id.toString());
        album.assets.push_back(index);
    }
    for (const QJsonValue& value : body.value(QLatin1String("members")).toArray()) {
        const QJsonObject member = value.toObject();
        const int user = state.userByEmail(member.value(QLatin1String("email")).toString());
        if (user < 0 || user == album.owner)
            return refuse(QStringLiteral("unknown member ") +
                          member.value(QLatin1String("email")).toString());
        const QString role = member.value(QLatin1String("role")).toString(QStringLiteral("viewer"));
        if (role != QLatin1String("editor") && role != QLatin1String("viewer"))
            return refuse(QStringLiteral("role must be editor or viewer"));
        album.members.push_back(
            {user, role == QLatin1String("editor") ? AlbumRole::Editor : AlbumRole::Viewer});
    }
    const int index = state.addAlbum(std::move(album));
    return ok({{QStringLiteral("id"), LibraryState::uuidText(state.album(index).id)}});
}

QJsonObject eventsJson(const DoubleContext& context)
{
    return QJsonObject{{QStringLiteral("channel"), EventChannel::modeName(context.events.mode())},
                       {QStringLiteral("emit"), context.events.emitting()},
                       {QStringLiteral("connections"), context.events.connections()}};
}

ApiResponse setEvents(DoubleContext& context, const QJsonObject& body)
{
    std::optional<EventChannel::Mode> mode;
    if (body.contains(QLatin1String("channel"))) {
        mode = EventChannel::modeNamed(body.value(QLatin1String("channel")).toString());
        if (!mode)
            return refuse(QStringLiteral("channel takes open, 404, 400 or 200"));
    }
    if (body.contains(QLatin1String("emit")) && !body.value(QLatin1String("emit")).isBool())
        return refuse(QStringLiteral("emit takes true or false"));
    if (mode)
        context.events.setMode(*mode);
    if (body.contains(QLatin1String("emit")))
        context.events.setEmitting(body.value(QLatin1String("emit")).toBool());
    return ok(eventsJson(context));
}

QJsonArray usersJson(const LibraryState& state)
{
    QJsonArray users;
    for (size_t i = 0; i < state.users().size(); ++i) {
        QJsonArray keys;
        for (const QByteArray& secret : state.apiKeySecrets(int(i)))
            keys.append(QString::fromLatin1(secret));
        users.append(QJsonObject{{QStringLiteral("id"), state.users()[i].id},
                                 {QStringLiteral("email"), state.users()[i].email},
                                 {QStringLiteral("apiKeys"), keys}});
    }
    return users;
}

} // namespace

void addControlRoutes(Router& router, DoubleContext& context)
{
    using Access = Router::Access;
    router.add("POST", QStringLiteral("/_double/reset"), Access::Public, [&context](ApiRequest&) {
        context.faults.reset();
        context.log.clear();
        context.events.setMode(context.options.eventChannel);
        context.events.setEmitting(context.options.emitEvents);
        return ok();
    });
    router.add("GET", QStringLiteral("/_double/events"), Access::Public,
               [&context](ApiRequest&) { return ok(eventsJson(context)); });
    router.add(
        "POST", QStringLiteral("/_double/events"), Access::Public,
        [&context](ApiRequest& request) { return setEvents(context, request.jsonObject()); });
    router.add("POST", QStringLiteral("/_double/events/drop"), Access::Public,
               [&context](ApiRequest&) {
                   context.events.dropAll();
                   return ok();
               });
    router.add(
        "POST", QStringLiteral("/_double/fail"), Access::Public, [&context](ApiRequest& request) {
            const QJsonObject body = request.jsonObject();
            context.faults.addFailure(body.value(QLatin1String("status")).toInt(500),
                                      body.value(QLatin1String("count")).toInt(1),
                                      body.value(QLatin1String("path")).toString(),
                                      body.value(QLatin1String("method")).toString().toLatin1());
            return ok();
        });
    router.add(
        "POST", QStringLiteral("/_double/drop"), Access::Public, [&context](ApiRequest& request) {
            const QJsonObject body = request.jsonObject();
            context.faults.addDrop(body.value(QLatin1String("count")).toInt(1),
                                   body.value(QLatin1String("path")).toString(),
                                   body.value(QLatin1String("method")).toString().toLatin1());
            return ok();
        });
    router.add("POST", QStringLiteral("/_double/latency"), Access::Public,
               [&context](ApiRequest& request) {
                   context.faults.setLatency(
                       request.jsonObject().value(QLatin1String("ms")).toInt());
                   return ok();
               });
    router.add("POST", QStringLiteral("/_double/assets"), Access::Public,
               [&context](ApiRequest& request) { return addAsset(context, request.jsonObject()); });
    router.add("POST", QStringLiteral("/_double/albums"), Access::Public,
               [&context](ApiRequest& request) { return addAlbum(context, request.jsonObject()); });
    router.add("POST", QStringLiteral("/_double/forward"), Access::Public,
               [&context](ApiRequest& request) {
                   const QJsonObject body = request.jsonObject();
                   const QString prefix = body.value(QLatin1String("prefix")).toString();
                   const QUrl url(body.value(QLatin1String("url")).toString());
                   if (!prefix.startsWith(QLatin1Char('/')) ||
                       prefix.startsWith(QLatin1String("/api")) ||
                       prefix.startsWith(QLatin1String("/_double")) ||
                       url.scheme() != QLatin1String("http") || url.host().isEmpty())
                       return refuse(QStringLiteral("forward takes a prefix outside /api and "
                                                    "/_double and an http:// url"));
                   context.proxy.add(prefix, url);
                   return ok();
               });
    router.add("GET", QStringLiteral("/_double/requests"), Access::Public,
               [&context](ApiRequest&) { return ApiResponse::json(200, context.log.entries()); });
    router.add("GET", QStringLiteral("/_double/traffic"), Access::Public,
               [&context](ApiRequest& request) {
                   return ok(context.log.traffic(
                       request.query.queryItemValue(QStringLiteral("method")).toLatin1(),
                       request.query.queryItemValue(QStringLiteral("path"), QUrl::FullyDecoded)));
               });
    router.add("GET", QStringLiteral("/_double/users"), Access::Public, [&context](ApiRequest&) {
        return ApiResponse::json(200, usersJson(context.state));
    });
}

} // namespace immichdouble
