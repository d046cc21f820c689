#include "WorkingSetListing.h"

#include "AssetNameStore.h"
#include "LibraryMirror.h"

#include <QHash>
#include <QMutex>
#include <QSet>
#include <QThreadPool>

#include <atomic>

namespace pixavella {

namespace {

struct AlbumPiece {
    ImmichAlbum album;
    std::optional<ImmichAlbumDetail> detail;
};

// What the parallel fetches brought back. Fields are written under `lock`; the build reads
// them only after the last fetch has left.
struct Gathered {
    QMutex lock;
    std::optional<Result<void>> assets; // the library is current in LibraryMirror
    QList<AlbumPiece> own;
    QList<AlbumPiece> shared;
    std::optional<QString> me;

    // One count for the launching code, one per fetch in flight.
    std::atomic<int> outstanding{1};
    std::function<void()> whenComplete;

    void enter() { outstanding.fetch_add(1); }
    void leave()
    {
        if (outstanding.fetch_sub(1) == 1)
            QThreadPool::globalInstance()->start(whenComplete);
    }
};

using GatheredRef = std::shared_ptr<Gathered>;

void gatherAlbums(FetchCache& cache, const ImmichClient& client, bool shared, FetchCache::Mode mode,
                  const GatheredRef& g)
{
    g->enter();
    cache.albums(client, shared, mode,
                 [&cache, client, shared, mode, g](Result<QList<ImmichAlbum>> albums) {
                     if (albums) {
                         {
                             QMutexLocker lock(&g->lock);
                             QList<AlbumPiece>& pieces = shared ? g->shared : g->own;
                             for (const ImmichAlbum& album : albums.value())
                                 pieces.append(AlbumPiece{album, std::nullopt});
                         }
                         for (qsizetype i = 0; i < albums.value().size(); ++i) {
                             g->enter();
                             cache.albumDetail(client, albums.value()[i].id, mode,
                                               [g, shared, i](Result<ImmichAlbumDetail> detail) {
                                                   if (detail) {
                                                       QMutexLocker lock(&g->lock);
                                                       (shared ? g->shared : g->own)[i].detail =
                                                           detail.value();
                                                   }
                                                   g->leave();
                                               });
                         }
                     }
                     g->leave();
                 });
}

class WorkingSetBuilder {
public:
    WorkingSetBuilder(const QList<UploadQuarantine::Entry>& entries, UploadQuarantine& quarantine,
                      const AssetNameStore& names)
        : m_entries(entries), m_quarantine(quarantine), m_names(names)
    {
    }

    ItemList build(const QList<ImmichAsset>& assets, const QList<AlbumPiece>& own,
                   const QList<AlbumPiece>& shared, const std::optional<QString>& me)
    {
        add(FileProviderItem::standardFolder(FPNode::photos()));
        add(FileProviderItem::standardFolder(FPNode::albums()));
        add(FileProviderItem::standardFolder(FPNode::sharedAlbumsFolder()));
        for (const QString& year : PhotoFolders::years(assets, m_entries))
            add(FileProviderItem::standardFolder(FPNode::year(year)));
        for (const ImmichAsset& asset : assets) {
            const std::optional<MonthKey> key = monthKey(asset);
            if (!key)
                continue;
            const FPNode month = FPNode::month(*key);
            addMonth(month);
            add(FileProviderItem::asset(asset, FPNode::asset(asset.id).identifier(),
                                        month.identifier(), ItemCaps::full, m_names));
        }
        for (const AlbumPiece& piece : own) {
            const FPNode album = FPNode::album(piece.album.id);
            add(FileProviderItem::folder(album, piece.album.albumName, FPNode::albums(), 0, true));
            if (piece.detail)
                addAlbumAssets(*piece.detail, album, ItemCaps::full);
        }
        for (const AlbumPiece& piece : shared) {
            const FPNode album = FPNode::sharedAlbum(piece.album.id);
            const std::optional<AlbumAccess> access =
                me ? std::optional(albumAccess(piece.album, *me)) : std::nullopt;
            add(FileProviderItem::folder(
                album, piece.album.albumName, FPNode::sharedAlbumsFolder(),
                access ? ItemCaps::sharedAlbumListed(*access) : ItemCaps::readOnly, false));
            if (piece.detail)
                addAlbumAssets(*piece.detail, album,
                               access ? ItemCaps::sharedAlbumPhoto(*access) : ItemCaps::readOnly);
        }
        for (const UploadQuarantine::Entry& entry : m_entries) {
            if (const std::optional<MonthKey> key = PhotoFolders::pendingLibraryKey(entry))
                addMonth(FPNode::month(*key));
            add(FileProviderItem::pending(entry, pendingParent(entry).identifier(), m_quarantine));
        }
        if (PhotoFolders::hasGivenUpEntries(m_entries))
            add(FileProviderItem::standardFolder(FPNode::failed()));
        return m_items;
    }

private:
    void add(FileProviderItemRef item) { m_items.append(std::move(item)); }
    void addMonth(const FPNode& month)
    {
        if (!m_months.contains(month.identifier())) {
            m_months.insert(month.identifier());
            add(FileProviderItem::standardFolder(month));
        }
    }
    void addAlbumAssets(const ImmichAlbumDetail& detail, const FPNode& album,
                        FileProviderItemCapabilities caps)
    {
        const bool own = album.is(FPNode::Kind::album);
        for (const ImmichAsset& asset : detail.assets) {
            const FPNode node = own ? FPNode::albumItem(detail.id, asset.id)
                                    : FPNode::sharedItem(detail.id, asset.id);
            add(FileProviderItem::asset(asset, node.identifier(), album.identifier(), caps,
                                        m_names));
        }
    }

    const QList<UploadQuarantine::Entry>& m_entries;
    UploadQuarantine& m_quarantine;
    const AssetNameStore& m_names;
    QSet<QString> m_months;
    ItemList m_items;
};

} // namespace

void listWorkingSet(const ExtensionStores& stores, const ImmichClient& client,
                    FetchCache::Mode mode, Completion<ItemList> done)
{
    auto g = std::make_shared<Gathered>();
    // Runs once, on the global pool (which holds its own copy), after every fetch has left;
    // the reference cycle through `whenComplete` is broken there.
    g->whenComplete = [stores, g, done] {
        g->whenComplete = nullptr;
        const Result<void> synced = std::move(*g->assets);
        if (!synced && !stores.library.isLoaded())
            return done(synced.error());
        const QList<UploadQuarantine::Entry> entries = stores.quarantine.list();
        done(WorkingSetBuilder(entries, stores.quarantine, stores.names)
                 .build(stores.library.assets(), g->own, g->shared, g->me));
    };

    g->enter();
    stores.library.sync(client,
                        mode == FetchCache::Mode::refresh ? LibraryMirror::Need::current
                                                          : LibraryMirror::Need::known,
                        [g](Result<void> synced) {
                            {
                                QMutexLocker lock(&g->lock);
                                g->assets.emplace(std::move(synced));
                            }
                            g->leave();
                        });
    // Both album listings need the user id: asked once, before them.
    g->enter();
    stores.currentUser.fetch(client, [&cache = stores.cache, client, mode, g](Result<QString> me) {
        if (me) {
            QMutexLocker lock(&g->lock);
            g->me = me.value();
        }
        gatherAlbums(cache, client, false, mode, g);
        gatherAlbums(cache, client, true, mode, g);
        g->leave();
    });
    g->leave();
}

} // namespace pixavella
