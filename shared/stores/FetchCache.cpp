#include "FetchCache.h"

#include "Clock.h"
#include "DedupIndex.h"

namespace pixavella {

namespace {

// Completes from the cache when it may and holds a value, else asks `load`, stores what it
// brings back and hands it to `fetched`.
template <typename T, typename Load>
void cachedListing(FetchCache& cache, const QString& key, FetchCache::Mode mode, Completion<T> done,
                   Load load, std::function<void(const T&)> fetched = {})
{
    if (mode == FetchCache::Mode::normal) {
        if (std::optional<T> cached = cache.fetch<T>(key)) {
            done(std::move(*cached));
            return;
        }
    }
    load([&cache, key, done = std::move(done), fetched](Result<T> result) {
        if (result.ok()) {
            cache.store<T>(key, result.value());
            if (fetched)
                fetched(result.value());
        }
        done(std::move(result));
    });
}

} // namespace

QString FetchCache::albumKey(const QString& albumId)
{
    return QStringLiteral("album:") + albumId;
}

FetchCache::FetchCache(CurrentUserIdCache& currentUser, DedupIndex* dedupIndex)
    : m_currentUser(currentUser), m_dedupIndex(dedupIndex)
{
}

void FetchCache::storeAny(const QString& key, std::any value)
{
    const QDateTime now = Clock::now();
    QMutexLocker lock(&m_lock);
    m_entries.insert(key, Entry{now, std::move(value)});
}

std::optional<std::any> FetchCache::fetchAny(const QString& key) const
{
    const QDateTime now = Clock::now();
    QMutexLocker lock(&m_lock);
    const auto it = m_entries.constFind(key);
    if (it == m_entries.cend())
        return std::nullopt;
    // An expired entry stays until the next store overwrites it.
    if (double(it->storedAt.msecsTo(now)) / 1000.0 >= kLifetime)
        return std::nullopt;
    return it->value;
}

void FetchCache::invalidate(const QStringList& keys)
{
    QMutexLocker lock(&m_lock);
    for (const QString& key : keys) {
        m_entries.remove(key);
        if (key.startsWith(QLatin1String("album:")))
            m_detailStamps.remove(key.mid(6));
    }
}

void FetchCache::allAssets(const ImmichClient& client, Mode mode,
                           Completion<QList<ImmichAsset>> done)
{
    // The index is gathered while later pages are still on their way, and written once the
    // listing has been answered.
    const auto builder =
        m_dedupIndex ? m_dedupIndex->newBuilder() : std::shared_ptr<DedupIndex::Builder>();
    cachedListing<QList<ImmichAsset>>(
        *this, kAllAssets, mode, std::move(done),
        [client, builder](Completion<QList<ImmichAsset>> loaded) {
            ImmichClient::PageObserver onPage;
            if (builder)
                onPage = [builder](const QList<ImmichAsset>& page) { builder->add(page); };
            client.searchAssets(std::move(loaded), std::move(onPage));
        },
        [index = m_dedupIndex, builder](const QList<ImmichAsset>&) {
            if (index)
                index->storeInBackground(builder);
        });
}

QString FetchCache::stampOf(const ImmichAlbum& album)
{
    if (!album.updatedAt)
        return {};
    return *album.updatedAt + u'/' + QString::number(album.assetCount.value_or(-1));
}

void FetchCache::noteStamps(const QList<ImmichAlbum>& albums)
{
    QMutexLocker lock(&m_lock);
    for (const ImmichAlbum& album : albums)
        m_albumStamps.insert(album.id, stampOf(album));
}

void FetchCache::albums(const ImmichClient& client, bool shared, Mode mode,
                        Completion<QList<ImmichAlbum>> done)
{
    cachedListing<QList<ImmichAlbum>>(
        *this, shared ? kSharedAlbums : kAlbums, mode, std::move(done),
        [client, shared, &me = m_currentUser](Completion<QList<ImmichAlbum>> loaded) {
            client.listAlbums(shared, me, std::move(loaded));
        },
        [this](const QList<ImmichAlbum>& albums) { noteStamps(albums); });
}

void FetchCache::albumDetail(const ImmichClient& client, const QString& albumId, Mode mode,
                             Completion<ImmichAlbumDetail> done)
{
    const QString key = albumKey(albumId);
    QString stamp;
    {
        QMutexLocker lock(&m_lock);
        stamp = m_albumStamps.value(albumId);
        const auto cached = m_entries.constFind(key);
        if (mode == Mode::refresh && !stamp.isEmpty() && cached != m_entries.cend() &&
            m_detailStamps.value(albumId) == stamp) {
            if (const auto* detail = std::any_cast<ImmichAlbumDetail>(&cached->value)) {
                const ImmichAlbumDetail unchanged = *detail;
                lock.unlock();
                done(unchanged);
                return;
            }
        }
    }
    cachedListing<ImmichAlbumDetail>(
        *this, key, mode, std::move(done),
        [client, albumId](Completion<ImmichAlbumDetail> loaded) {
            client.getAlbum(albumId, std::move(loaded));
        },
        // The stamp known when the photos were asked for: a later change is not covered.
        [this, albumId, stamp](const ImmichAlbumDetail&) {
            QMutexLocker lock(&m_lock);
            m_detailStamps.insert(albumId, stamp);
        });
}

} // namespace pixavella
