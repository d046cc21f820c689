// Listings: the paged metadata search, albums and the current user id they depend on.

#include "ImmichClient.h"

#include "ClientAnswers.h"
#include "SearchPageReader.h"

#include <QJsonArray>
#include <QSet>

#include <malloc.h>

namespace pixavella {

using namespace client;

namespace {

constexpr int kPageSize = 1000;

// The pages of one search. The next two pages are asked for as soon as a page's answer
// arrives (the next one's number read from the end of the body), so the server prepares them
// while this one travels and is decoded; pages are then taken in the order the server chains
// them, whatever order their decoding ends in. A guess the decoded page contradicts costs
// unused requests.
struct SearchChain {
    explicit SearchChain(ImmichClient c) : client(std::move(c)) {}

    ImmichClient client;
    std::optional<QString> albumId;
    // Only assets changed from then on, the trashed ones included (marked isTrashed).
    std::optional<QDateTime> updatedAfter;
    Completion<QList<ImmichAsset>> done;
    ImmichClient::PageObserver onPage;

    QMutex lock; // guards the fields below
    QSet<int> requested;
    QHash<int, Result<SearchResponse>> arrived;
    int expected = 1;
    bool taking = false; // one thread at a time takes arrived pages
    bool finished = false;
    std::optional<QDateTime> serverTime; // the Date of the first page's answer
    QList<ImmichAsset> assets;           // written by the thread taking pages, outside the lock
};
using ChainRef = std::shared_ptr<SearchChain>;

void requestPage(const ChainRef& chain, int page);

// Asks for `page` unless it was asked for already or the chain is over.
void requestOnce(const ChainRef& chain, int page)
{
    {
        QMutexLocker lock(&chain->lock);
        if (chain->finished || chain->requested.contains(page))
            return;
        chain->requested.insert(page);
    }
    requestPage(chain, page);
}

// One page taken in order: nothing more to do, or the page that must follow it.
std::optional<Result<QList<ImmichAsset>>> takePage(const ChainRef& chain, int page,
                                                   Result<SearchResponse> response)
{
    if (!response)
        return Result<QList<ImmichAsset>>(response.error());
    AssetsPage& assets = response.value().assets;
    if (chain->onPage)
        chain->onPage(assets.items);
    if (chain->assets.isEmpty())
        chain->assets = std::move(assets.items);
    else
        chain->assets.append(std::move(assets.items));
    const std::optional<int> next = assets.nextPageNumber();
    if (!next) {
        chain->assets.squeeze();
        // The answers and the decoding of a whole library leave tens of megabytes free in the
        // heap; they go back to the system rather than stay with the process.
        malloc_trim(0);
        return Result<QList<ImmichAsset>>(std::move(chain->assets));
    }
    // A server that does not move forward would keep the chain going forever; a partial
    // list must not pass for the whole library either.
    if (*next <= page)
        return Result<QList<ImmichAsset>>(decodingError(
            QStringLiteral("assets.nextPage: %1 after page %2").arg(*next).arg(page)));
    {
        QMutexLocker lock(&chain->lock);
        chain->expected = *next;
    }
    requestOnce(chain, *next);
    return std::nullopt;
}

void arrive(const ChainRef& chain, int page, Result<SearchResponse> response)
{
    QMutexLocker lock(&chain->lock);
    if (chain->finished)
        return;
    chain->arrived.insert(page, std::move(response));
    if (chain->taking)
        return;
    chain->taking = true;
    for (;;) {
        const auto found = chain->arrived.find(chain->expected);
        if (found == chain->arrived.end())
            break;
        const int number = found.key();
        Result<SearchResponse> taken = std::move(found.value());
        chain->arrived.erase(found);
        lock.unlock();
        std::optional<Result<QList<ImmichAsset>>> outcome =
            takePage(chain, number, std::move(taken));
        lock.relock();
        if (outcome) {
            chain->finished = true;
            chain->arrived.clear();
            lock.unlock();
            chain->done(std::move(*outcome));
            return;
        }
    }
    chain->taking = false;
}

void requestPage(const ChainRef& chain, int page)
{
    QJsonObject body{{QStringLiteral("page"), page},
                     {QStringLiteral("size"), kPageSize},
                     {QStringLiteral("withExif"), true},
                     {QStringLiteral("order"), QStringLiteral("desc")}};
    if (chain->albumId)
        body.insert(QStringLiteral("albumIds"), QJsonArray{*chain->albumId});
    if (chain->updatedAfter) {
        body.insert(QStringLiteral("updatedAfter"),
                    chain->updatedAfter->toUTC().toString(Qt::ISODateWithMs));
        body.insert(QStringLiteral("withDeleted"), true);
    }
    send(chain->client.makeRequest(QStringLiteral("search/metadata"), "POST", body),
         [chain, page](const HttpReply& reply) {
             if (std::optional<Error> failure = recordFailure(reply))
                 return arrive(chain, page, *failure);
             if (page == 1) {
                 const QDateTime date = QDateTime::fromString(
                     QString::fromLatin1(reply.header("Date")), Qt::RFC2822Date);
                 QMutexLocker lock(&chain->lock);
                 if (date.isValid())
                     chain->serverTime = date.toUTC();
             }
             if (const std::optional<int> next = peekNextPage(reply.body); next && *next > page) {
                 requestOnce(chain, *next);
                 // One more in flight keeps the server busy while this answer travels and
                 // is decoded; past the end it costs one empty page.
                 requestOnce(chain, *next + (*next - page));
             }
             arrive(chain, page, readSearchPage(reply.body));
         });
}

ChainRef search(const ImmichClient& client, std::optional<QString> albumId,
                Completion<QList<ImmichAsset>> done, ImmichClient::PageObserver onPage = {},
                std::optional<QDateTime> updatedAfter = std::nullopt)
{
    auto chain = std::make_shared<SearchChain>(client);
    chain->albumId = std::move(albumId);
    chain->updatedAfter = std::move(updatedAfter);
    chain->done = std::move(done);
    chain->onPage = std::move(onPage);
    requestOnce(chain, 1);
    return chain;
}

} // namespace

void ImmichClient::searchAssets(Completion<QList<ImmichAsset>> done, PageObserver onPage) const
{
    search(*this, std::nullopt, std::move(done), std::move(onPage));
}

void ImmichClient::searchAssetChanges(const std::optional<QDateTime>& updatedAfter,
                                      Completion<AssetListing> done, PageObserver onPage) const
{
    // The chain's own completion reads the server time it noted; the chain outlives it.
    auto chain = std::make_shared<std::weak_ptr<SearchChain>>();
    *chain = search(
        *this, std::nullopt,
        [chain, done](Result<QList<ImmichAsset>> assets) {
            if (!assets)
                return done(assets.error());
            AssetListing listing;
            listing.assets = std::move(assets.value());
            if (const std::shared_ptr<SearchChain> c = chain->lock()) {
                QMutexLocker lock(&c->lock);
                listing.serverTime = c->serverTime;
            }
            done(std::move(listing));
        },
        std::move(onPage), updatedAfter);
}

void ImmichClient::searchAlbumAssets(const QString& albumId,
                                     Completion<QList<ImmichAsset>> done) const
{
    search(*this, albumId, std::move(done));
}

void ImmichClient::listAlbums(bool shared, CurrentUserIdCache& me,
                              Completion<QList<ImmichAlbum>> done) const
{
    const ImmichClient client = *this;
    me.fetch(client, [client, shared, done](Result<QString> userId) {
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
