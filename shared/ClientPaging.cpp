// Listings: the paged metadata search, albums and the current user id they depend on.

#include "ImmichClient.h"

#include "ClientAnswers.h"
#include "SearchPageReader.h"

#include <QJsonArray>

namespace pixavella {

using namespace client;

namespace {

constexpr int kPageSize = 1000;

struct SearchChain {
    ImmichClient client;
    std::optional<QString> albumId;
    QList<ImmichAsset> assets; // touched by one page completion at a time
    Completion<QList<ImmichAsset>> done;
};

void requestPage(const std::shared_ptr<SearchChain>& chain, int page)
{
    QJsonObject body{{QStringLiteral("page"), page},
                     {QStringLiteral("size"), kPageSize},
                     {QStringLiteral("withExif"), true},
                     {QStringLiteral("order"), QStringLiteral("desc")}};
    if (chain->albumId)
        body.insert(QStringLiteral("albumIds"), QJsonArray{*chain->albumId});
    send(chain->client.makeRequest(QStringLiteral("search/metadata"), "POST", body),
         [chain, page](const HttpReply& reply) {
             if (std::optional<Error> failure = recordFailure(reply))
                 return chain->done(*failure);
             Result<SearchResponse> response = readSearchPage(reply.body);
             if (!response)
                 return chain->done(response.error());
             AssetsPage& assets = response.value().assets;
             if (chain->assets.isEmpty())
                 chain->assets = std::move(assets.items);
             else
                 chain->assets.append(std::move(assets.items));
             if (const std::optional<int> next = assets.nextPageNumber()) {
                 // A server that does not move forward would keep the chain going forever;
                 // a partial list must not pass for the whole library either.
                 if (*next <= page)
                     return chain->done(decodingError(
                         QStringLiteral("assets.nextPage: %1 after page %2").arg(*next).arg(page)));
                 return requestPage(chain, *next);
             }
             chain->assets.squeeze();
             chain->done(std::move(chain->assets));
         });
}

void search(const ImmichClient& client, std::optional<QString> albumId,
            Completion<QList<ImmichAsset>> done)
{
    auto chain =
        std::make_shared<SearchChain>(SearchChain{client, std::move(albumId), {}, std::move(done)});
    requestPage(chain, 1);
}

} // namespace

void ImmichClient::searchAssets(Completion<QList<ImmichAsset>> done) const
{
    search(*this, std::nullopt, std::move(done));
}

void ImmichClient::searchAlbumAssets(const QString& albumId,
                                     Completion<QList<ImmichAsset>> done) const
{
    search(*this, albumId, std::move(done));
}

void ImmichClient::listAlbums(bool shared, Completion<QList<ImmichAlbum>> done) const
{
    const ImmichClient client = *this;
    CurrentUserIdCache::shared().fetch(client, [client, shared, done](Result<QString> userId) {
        if (!userId)
            return done(userId.error());
        HttpRequest request;
        request.url = client.makeRequest(QStringLiteral("albums"), "GET").url;
        if (shared)
            request.url.setQuery(QStringLiteral("shared=true"));
        request.timeoutMs = 60'000;
        request.setHeader("x-api-key", client.apiKey().toUtf8());
        request.setHeader("Accept", "application/json");
        send(std::move(request), [shared, done, me = userId.value()](const HttpReply& reply) {
            Result<QList<ImmichAlbum>> albums = decodeRecord<QList<ImmichAlbum>>(
                reply, [](const QJsonValue& json) { return ImmichAlbum::listFromJson(json); });
            if (!albums)
                return done(albums.error());
            QList<ImmichAlbum> kept;
            for (ImmichAlbum& album : albums.value()) {
                const bool mine = album.ownerId && *album.ownerId == me;
                const bool unknownOwner = !album.ownerId;
                if (shared ? !mine : (mine || unknownOwner))
                    kept.append(std::move(album));
            }
            done(std::move(kept));
        });
    });
}

void ImmichClient::getAlbum(const QString& albumId, Completion<ImmichAlbumDetail> done) const
{
    const ImmichClient client = *this;
    send(makeRequest(QStringLiteral("albums/") + pathSegment(albumId), "GET"),
         [client, albumId, done](const HttpReply& reply) {
             Result<QJsonValue> body = recordBody(reply);
             if (!body)
                 return done(body.error());
             if (ImmichAlbumDetail::hasAssets(body.value()))
                 return done(ImmichAlbumDetail::fromJson(body.value()));
             // Current servers leave the assets out of the album: list them by search.
             Result<AlbumMeta> meta = AlbumMeta::fromJson(body.value());
             if (!meta)
                 return done(meta.error());
             client.searchAlbumAssets(
                 albumId, [meta = meta.value(), done](Result<QList<ImmichAsset>> assets) {
                     if (!assets)
                         return done(assets.error());
                     done(ImmichAlbumDetail::fromMetaAndAssets(meta, std::move(assets).value()));
                 });
         });
}

void ImmichClient::getAlbumMeta(const QString& albumId, Completion<AlbumMeta> done) const
{
    send(makeRequest(QStringLiteral("albums/") + pathSegment(albumId), "GET"),
         [done](const HttpReply& reply) {
             done(decodeRecord<AlbumMeta>(
                 reply, [](const QJsonValue& json) { return AlbumMeta::fromJson(json); }));
         });
}

CurrentUserIdCache& CurrentUserIdCache::shared()
{
    static CurrentUserIdCache cache;
    return cache;
}

QString CurrentUserIdCache::keyOf(const ImmichClient& client)
{
    return client.baseURL().toString() + u'\n' + client.apiKey();
}

std::optional<QString> CurrentUserIdCache::get(const ImmichClient& client) const
{
    QMutexLocker lock(&m_mutex);
    const auto found = m_ids.constFind(keyOf(client));
    if (found == m_ids.cend())
        return std::nullopt;
    return *found;
}

void CurrentUserIdCache::set(const ImmichClient& client, const QString& userId)
{
    QMutexLocker lock(&m_mutex);
    m_ids.insert(keyOf(client), userId);
}

void CurrentUserIdCache::clear()
{
    QMutexLocker lock(&m_mutex);
    m_ids.clear();
}

void CurrentUserIdCache::fetch(const ImmichClient& client, Completion<QString> done)
{
    if (std::optional<QString> id = get(client)) {
        HttpSession::shared().dispatch([done, id = *id] { done(id); });
        return;
    }
    client.fetchCurrentUserId([this, client, done](Result<QString> id) {
        if (id)
            set(client, id.value());
        done(std::move(id));
    });
}

} // namespace pixavella
