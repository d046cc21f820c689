#include "ImmichClient.h"

#include "ClientAnswers.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrlQuery>
#include <QUuid>

#include <cerrno>
#include <cstdio>

namespace pixavella {

using namespace client;

namespace {

constexpr int kTimeoutMs = 60'000;
// The whole answer of a JSON call, however slowly it trickles; transfers of files have none.
constexpr int kAnswerDeadlineMs = 60'000;

// `base` + "/api/" + the encoded `path`, or an invalid URL when a segment of `path` would
// change what the path names once decoded (empty, "." or "..").
QUrl apiUrl(const QUrl& base, const QString& path)
{
    const QStringList segments = path.split(u'/');
    for (const QString& segment : segments) {
        const QString decoded = QUrl::fromPercentEncoding(segment.toUtf8());
        if (decoded.isEmpty() || decoded == u"." || decoded == u"..")
            return {};
    }
    QString basePath = base.path(QUrl::FullyEncoded);
    while (basePath.endsWith(u'/'))
        basePath.chop(1);
    QUrl url = base;
    url.setPath(basePath + QStringLiteral("/api/") + path, QUrl::TolerantMode);
    return url;
}

QByteArray jsonBytes(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString freshUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

// Requests made before a key exists (sign-in, key creation).
HttpRequest keylessRequest(const QUrl& server, const QString& path, const QJsonObject& body)
{
    HttpRequest request;
    request.url = apiUrl(server, path);
    request.method = "POST";
    request.timeoutMs = kTimeoutMs;
    request.setHeader("Content-Type", "application/json");
    request.setHeader("Accept", "application/json");
    request.body = jsonBytes(body);
    return request;
}

} // namespace

ImmichClient::ImmichClient(QUrl baseURL, QString apiKey)
    : m_baseURL(std::move(baseURL)), m_apiKey(std::move(apiKey))
{
}

QString ImmichClient::pathSegment(const QString& id)
{
    // Sub-delimiters, ":" and "@" are legal inside a segment and stay as they are.
    return QString::fromLatin1(QUrl::toPercentEncoding(id, "!$&'()*+,;=:@"));
}

HttpRequest ImmichClient::makeRequest(const QString& path, const QByteArray& method,
                                      const std::optional<QJsonObject>& body) const
{
    HttpRequest request;
    request.url = apiUrl(m_baseURL, path);
    request.method = method;
    request.timeoutMs = kTimeoutMs;
    request.deadlineMs = kAnswerDeadlineMs;
    request.setHeader("x-api-key", m_apiKey.toUtf8());
    request.setHeader("Accept", "application/json");
    if (method != "GET")
        request.setHeader("Content-Type", "application/json");
    if (body)
        request.body = jsonBytes(*body);
    return request;
}

void ImmichClient::fetchCurrentUser(Completion<CurrentUser> done) const
{
    send(makeRequest(QStringLiteral("users/me"), "GET"), [done](const HttpReply& reply) {
        Result<QJsonObject> object = statusFirstObject(reply);
        if (!object)
            return done(object.error());
        const std::optional<QString> id = textOf(object.value(), QStringLiteral("id"));
        if (!id)
            return done(ClientError::noData());
        done(CurrentUser{*id, textOf(object.value(), QStringLiteral("email")).value_or(QString())});
    });
}

void ImmichClient::fetchCurrentUserId(Completion<QString> done) const
{
    fetchCurrentUser([done](Result<CurrentUser> user) {
        if (!user)
            return done(user.error());
        done(user.value().id);
    });
}

void ImmichClient::getAsset(const QString& assetId, Completion<ImmichAsset> done) const
{
    send(makeRequest(QStringLiteral("assets/") + pathSegment(assetId), "GET"),
         [done](const HttpReply& reply) {
             done(decodeRecord<ImmichAsset>(
                 reply, [](const QJsonValue& json) { return ImmichAsset::fromJson(json); }));
         });
}

std::shared_ptr<HttpTask> ImmichClient::downloadOriginal(const QString& assetId,
                                                         Completion<QString> done,
                                                         HttpProgress progress,
                                                         const QString& directory) const
{
    HttpRequest request = makeRequest(
        QStringLiteral("assets/") + pathSegment(assetId) + QStringLiteral("/original"), "GET");
    const QString target =
        QDir(directory.isEmpty() ? QDir::tempPath() : directory).filePath(freshUuid());
    request.downloadFile = target + QStringLiteral(".partial");
    request.deadlineMs = 0;
    return send(
        std::move(request),
        [done, target](const HttpReply& reply) {
            if (reply.transportError)
                return done(*reply.transportError);
            if (!reply.isSuccess() || reply.downloadedFile.isEmpty())
                return done(ClientError::http(reply.status));
            if (std::rename(QFile::encodeName(reply.downloadedFile).constData(),
                            QFile::encodeName(target).constData()) != 0) {
                const Error error = fileError(errno, target);
                QFile::remove(reply.downloadedFile);
                return done(error);
            }
            done(target);
        },
        std::move(progress));
}

void ImmichClient::fetchThumbnail(const QString& assetId, Completion<QByteArray> done) const
{
    HttpRequest request;
    request.url = apiUrl(m_baseURL, QStringLiteral("assets/") + pathSegment(assetId) +
                                        QStringLiteral("/thumbnail"));
    if (request.url.isValid())
        request.url.setQuery(QStringLiteral("size=thumbnail"));
    request.timeoutMs = kTimeoutMs;
    request.setHeader("x-api-key", m_apiKey.toUtf8());
    send(std::move(request), [done](const HttpReply& reply) {
        if (reply.transportError)
            return done(*reply.transportError);
        // An empty image is no thumbnail: it fails like an answer without body.
        if (!reply.isSuccess() || reply.body.isEmpty())
            return done(ClientError::http(reply.status));
        done(reply.body);
    });
}

void ImmichClient::createAlbum(const QString& name, Completion<QString> done) const
{
    send(makeRequest(QStringLiteral("albums"), "POST",
                     QJsonObject{{QStringLiteral("albumName"), name}}),
         [done](const HttpReply& reply) {
             if (reply.transportError)
                 return done(*reply.transportError);
             // The id decides, whatever the status.
             const std::optional<QJsonValue> body = parseJson(reply.body);
             if (body && body->isObject()) {
                 if (auto id = textOf(body->toObject(), QStringLiteral("id")))
                     return done(*id);
             }
             done(ClientError::http(reply.status));
         });
}

namespace {

void sendStatusOnly(HttpRequest request, Completion<void> done)
{
    send(std::move(request), [done](const HttpReply& reply) { done(statusOnly(reply)); });
}

} // namespace

void ImmichClient::renameAlbum(const QString& albumId, const QString& name,
                               Completion<void> done) const
{
    sendStatusOnly(makeRequest(QStringLiteral("albums/") + pathSegment(albumId), "PATCH",
                               QJsonObject{{QStringLiteral("albumName"), name}}),
                   std::move(done));
}

void ImmichClient::deleteAlbum(const QString& albumId, Completion<void> done) const
{
    sendStatusOnly(makeRequest(QStringLiteral("albums/") + pathSegment(albumId), "DELETE"),
                   std::move(done));
}

void ImmichClient::addAssetsToAlbum(const QString& albumId, const QStringList& assetIds,
                                    Completion<void> done) const
{
    sendStatusOnly(
        makeRequest(QStringLiteral("albums/") + pathSegment(albumId) + QStringLiteral("/assets"),
                    "PUT", idsBody(assetIds)),
        std::move(done));
}

void ImmichClient::removeAssetsFromAlbum(const QString& albumId, const QStringList& assetIds,
                                         Completion<void> done) const
{
    sendStatusOnly(
        makeRequest(QStringLiteral("albums/") + pathSegment(albumId) + QStringLiteral("/assets"),
                    "DELETE", idsBody(assetIds)),
        std::move(done));
}

void ImmichClient::removeAssetFromAlbum(const QString& albumId, const QString& assetId,
                                        Completion<bool> done) const
{
    send(makeRequest(QStringLiteral("albums/") + pathSegment(albumId) + QStringLiteral("/assets"),
                     "DELETE", idsBody({assetId})),
         [done, assetId](const HttpReply& reply) {
             if (reply.transportError)
                 return done(*reply.transportError);
             if (reply.hasResponse() && !reply.isSuccess())
                 return done(ClientError::http(reply.status));
             const std::optional<QJsonValue> body = parseJson(reply.body);
             if (body && body->isArray()) {
                 const QJsonArray results = body->toArray();
                 for (const QJsonValue& entry : results) {
                     const QJsonObject object = entry.toObject();
                     if (textOf(object, QStringLiteral("id")) != assetId)
                         continue;
                     return done(object.value(QStringLiteral("success")).toBool(false));
                 }
             }
             done(ClientError::http(reply.status));
         });
}

void ImmichClient::trashAssets(const QStringList& assetIds, Completion<void> done) const
{
    QJsonObject body = idsBody(assetIds);
    body.insert(QStringLiteral("force"), false);
    sendStatusOnly(makeRequest(QStringLiteral("assets"), "DELETE", body), std::move(done));
}

void ImmichClient::restoreAssets(const QStringList& assetIds, Completion<void> done) const
{
    sendStatusOnly(makeRequest(QStringLiteral("trash/restore/assets"), "POST", idsBody(assetIds)),
                   std::move(done));
}

void ImmichClient::copyAssetProperties(const QString& sourceId, const QString& targetId,
                                       Completion<void> done) const
{
    sendStatusOnly(makeRequest(QStringLiteral("assets/copy"), "PUT",
                               QJsonObject{{QStringLiteral("sourceId"), sourceId},
                                           {QStringLiteral("targetId"), targetId}}),
                   std::move(done));
}

void ImmichClient::setCaptureDate(const QString& assetId, const QDateTime& capturedAt,
                                  Completion<void> done) const
{
    sendStatusOnly(
        makeRequest(QStringLiteral("assets/") + pathSegment(assetId), "PUT",
                    QJsonObject{{QStringLiteral("dateTimeOriginal"),
                                 capturedAt.toUTC().toString(Qt::ISODate)}}),
        std::move(done));
}

void ImmichClient::fetchStorage(Completion<ImmichServerStorage> done) const
{
    send(makeRequest(QStringLiteral("server/storage"), "GET"), [done](const HttpReply& reply) {
        done(decodeRecord<ImmichServerStorage>(
            reply, [](const QJsonValue& json) { return ImmichServerStorage::fromJson(json); }));
    });
}

void ImmichClient::fetchStatistics(Completion<ImmichAssetStatistics> done) const
{
    send(makeRequest(QStringLiteral("assets/statistics"), "GET"), [done](const HttpReply& reply) {
        done(decodeRecord<ImmichAssetStatistics>(
            reply, [](const QJsonValue& json) { return ImmichAssetStatistics::fromJson(json); }));
    });
}

void ImmichClient::deleteApiKey(const QString& keyId, Completion<void> done) const
{
    sendStatusOnly(makeRequest(QStringLiteral("api-keys/") + pathSegment(keyId), "DELETE"),
                   std::move(done));
}

void ImmichClient::login(const QUrl& server, const QString& email, const QString& password,
                         Completion<LoginResult> done)
{
    const QJsonObject body{{QStringLiteral("email"), email},
                           {QStringLiteral("password"), password}};
    send(keylessRequest(server, QStringLiteral("auth/login"), body),
         [done, email](const HttpReply& reply) {
             Result<QJsonObject> object = statusFirstObject(reply);
             if (!object)
                 return done(object.error());
             const QJsonObject& o = object.value();
             const std::optional<QString> token = textOf(o, QStringLiteral("accessToken"));
             if (!token)
                 return done(ClientError::noData());
             done(LoginResult{*token, textOf(o, QStringLiteral("userEmail")).value_or(email),
                              textOf(o, QStringLiteral("userId")).value_or(QString()),
                              textOf(o, QStringLiteral("name")).value_or(QString())});
         });
}

void ImmichClient::createApiKey(const QUrl& server, const QString& accessToken, const QString& name,
                                Completion<CreatedApiKey> done)
{
    const QJsonObject body{{QStringLiteral("name"), name},
                           {QStringLiteral("permissions"), QJsonArray{QStringLiteral("all")}}};
    HttpRequest request = keylessRequest(server, QStringLiteral("api-keys"), body);
    request.setHeader("Authorization", "Bearer " + accessToken.toUtf8());
    send(std::move(request), [done](const HttpReply& reply) {
        Result<QJsonObject> object = statusFirstObject(reply);
        if (!object)
            return done(object.error());
        const std::optional<QString> secret = textOf(object.value(), QStringLiteral("secret"));
        const std::optional<QString> id =
            textOf(object.value().value(QStringLiteral("apiKey")).toObject(), QStringLiteral("id"));
        if (!secret || !id)
            return done(ClientError::noData());
        done(CreatedApiKey{*secret, *id});
    });
}

} // namespace pixavella
