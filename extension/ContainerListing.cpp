#include "ContainerListing.h"

#include "AssetNameStore.h"
#include "DeletionTombstones.h"
#include "LibraryMirror.h"
#include "PromotedPendingList.h"
#include "SharedSettings.h"
#include "WorkingSetListing.h"

namespace pixavella::ContainerListing {

namespace {

using Kind = FPNode::Kind;
using Entries = QList<UploadQuarantine::Entry>;

// The waiting uploads as one listing reads them: read once, when first needed, however many
// of the listing's steps look (a long queue costs a system call per entry).
class QueueSnapshot {
public:
    explicit QueueSnapshot(UploadQuarantine& quarantine) : m_quarantine(quarantine) {}
    const Entries& entries()
    {
        if (!m_entries)
            m_entries = m_quarantine.recentList();
        return *m_entries;
    }

private:
    UploadQuarantine& m_quarantine;
    std::optional<Entries> m_entries;
};
using Queue = std::shared_ptr<QueueSnapshot>;

ItemList photosListing(const LibraryMirror& library, const Entries& entries,
                       UploadQuarantine& quarantine)
{
    ItemList items;
    for (const QString& year : PhotoFolders::years(library.years(), entries))
        items.append(FileProviderItem::standardFolder(FPNode::year(year)));
    items.append(PhotoFolders::pendingItemsIn(FPNode::photos(), entries, quarantine));
    if (PhotoFolders::hasGivenUpEntries(entries))
        items.append(FileProviderItem::standardFolder(FPNode::failed()));
    return items;
}

ItemList yearListing(const QString& year, const LibraryMirror& library, const Entries& entries)
{
    bool ok = false;
    const int number = year.toInt(&ok);
    const QSet<int> months =
        ok && QString::number(number) == year ? library.monthsOf(number) : QSet<int>();
    ItemList items;
    for (const QString& month : PhotoFolders::months(year, months, entries))
        items.append(FileProviderItem::standardFolder(FPNode::month(year, month)));
    return items;
}

ItemList failedListing(const Entries& entries, UploadQuarantine& quarantine)
{
    ItemList items;
    for (const UploadQuarantine::Entry& entry : entries) {
        if (entry.attempts >= kUploadAttemptLimit)
            items.append(FileProviderItem::pending(entry, FPNode::failed().identifier(), quarantine));
    }
    return items;
}

// Listings built from the whole library: photos, year and month. A refresh asks the server
// what changed; a first look uses what is known.
void listLibrary(const ExtensionStores& stores, const ImmichClient& client, const FPNode& node,
                 const Queue& queue,
                 FetchCache::Mode mode, Completion<ItemList> done)
{
    const LibraryMirror::Need need = mode == FetchCache::Mode::refresh
                                         ? LibraryMirror::Need::current
                                         : LibraryMirror::Need::known;
    stores.library.sync(client, need, [stores, node, mode, queue, done](Result<void> synced) {
        // A first look shows what is known when the server cannot be asked; a refresh that
        // failed reports it, and the folder stays as it was shown.
        if (!synced && (mode == FetchCache::Mode::refresh || !stores.library.isLoaded()))
            return done(synced.error());
        const LibraryMirror& library = stores.library;
        const Entries& entries = queue->entries();
        switch (node.kind()) {
        case Kind::photos:
            return done(photosListing(library, entries, stores.quarantine));
        case Kind::year:
            return done(yearListing(node.year(), library, entries));
        default: {
            const std::optional<YearMonth> month =
                PhotoFolders::folderMonth(node.year(), node.month());
            ItemList items =
                month ? PhotoFolders::assetItems(node, library.assetsOf(*month), stores.names)
                      : ItemList();
            items.append(PhotoFolders::pendingItemsIn(node, entries, stores.quarantine));
            return done(std::move(items));
        }
        }
    });
}

void listAlbums(const ExtensionStores& stores, const ImmichClient& client, FetchCache::Mode mode,
                Completion<ItemList> done)
{
    stores.cache.albums(client, false, mode, [done](Result<QList<ImmichAlbum>> albums) {
        if (!albums)
            return done(albums.error());
        ItemList items;
        for (const ImmichAlbum& album : albums.value())
            items.append(FileProviderItem::folder(FPNode::album(album.id), album.albumName,
                                                  FPNode::albums(), 0, true));
        done(std::move(items));
    });
}

void listAlbum(const ExtensionStores& stores, const ImmichClient& client, const FPNode& node,
               const Queue& queue, FetchCache::Mode mode, Completion<ItemList> done)
{
    stores.cache.albumDetail(
        client, node.albumId(), mode,
        [stores, node, queue, done](Result<ImmichAlbumDetail> detail) {
            if (!detail)
                return done(detail.error());
            ItemList items;
            const FileProviderItemIdentifier parent = node.identifier();
            const AssetNameStore& names = stores.names;
            for (const ImmichAsset& asset : detail.value().assets)
                items.append(FileProviderItem::asset(
                    asset, FPNode::albumItem(node.albumId(), asset.id).identifier(), parent,
                    ItemCaps::full, names));
            items.append(
                PhotoFolders::pendingItemsIn(node, queue->entries(), stores.quarantine));
            done(std::move(items));
        });
}

void listShared(const ExtensionStores& stores, const ImmichClient& client, FetchCache::Mode mode,
                Completion<ItemList> done)
{
    stores.currentUser.fetch(client, [&cache = stores.cache, client, mode,
                                      done](Result<QString> me) {
        if (!me)
            return done(me.error());
        cache.albums(client, true, mode,
                     [me = me.value(), done](Result<QList<ImmichAlbum>> albums) {
                         if (!albums)
                             return done(albums.error());
                         ItemList items;
                         for (const ImmichAlbum& album : albums.value())
                             items.append(FileProviderItem::folder(
                                 FPNode::sharedAlbum(album.id), album.albumName,
                                 FPNode::sharedAlbumsFolder(),
                                 ItemCaps::sharedAlbumListed(albumAccess(album, me)), false));
                         done(std::move(items));
                     });
    });
}

// A viewer cannot add to the album, so uploads waiting for it are never listed here.
void listSharedAlbum(const ExtensionStores& stores, const ImmichClient& client, const FPNode& node,
                     FetchCache::Mode mode, Completion<ItemList> done)
{
    stores.currentUser.fetch(client, [stores, client, node, mode, done](Result<QString> me) {
        if (!me)
            return done(me.error());
        stores.cache.albumDetail(
            client, node.albumId(), mode,
            [&names = stores.names, node, me = me.value(), done](Result<ImmichAlbumDetail> detail) {
                if (!detail)
                    return done(detail.error());
                const FileProviderItemCapabilities caps =
                    ItemCaps::sharedAlbumPhoto(albumAccess(detail.value(), me));
                ItemList items;
                const FileProviderItemIdentifier parent = node.identifier();
                for (const ImmichAsset& asset : detail.value().assets)
                    items.append(FileProviderItem::asset(
                        asset, FPNode::sharedItem(node.albumId(), asset.id).identifier(), parent,
                        caps, names));
                done(std::move(items));
            });
    });
}

void listNode(const ExtensionStores& stores, const ImmichClient& client, const FPNode& node,
              const Queue& queue, FetchCache::Mode mode, Completion<ItemList> done)
{
    switch (node.kind()) {
    case Kind::root:
        return done(ItemList{FileProviderItem::standardFolder(FPNode::photos()),
                             FileProviderItem::standardFolder(FPNode::albums()),
                             FileProviderItem::standardFolder(FPNode::sharedAlbumsFolder())});
    case Kind::photos:
    case Kind::year:
    case Kind::month:
        return listLibrary(stores, client, node, queue, mode, std::move(done));
    case Kind::albums:
        return listAlbums(stores, client, mode, std::move(done));
    case Kind::album:
        return listAlbum(stores, client, node, queue, mode, std::move(done));
    case Kind::shared:
        return listShared(stores, client, mode, std::move(done));
    case Kind::sharedAlbum:
        return listSharedAlbum(stores, client, node, mode, std::move(done));
    case Kind::failed:
        return done(failedListing(queue->entries(), stores.quarantine));
    case Kind::asset:
    case Kind::albumItem:
    case Kind::sharedItem:
    case Kind::pending:
        return done(ItemList{});
    }
    Q_UNREACHABLE();
}

} // namespace

namespace {

ItemList filteredWith(const ExtensionStores& stores, const ItemList& items, QueueSnapshot& queue)
{
    const QSet<QString> promoted = stores.promoted.hiddenPendingIdentifiers();
    // A photo saved over shows its new bytes (the pending item) only; once they are uploaded the
    // old asset goes to the trash. A replacement given up leaves the old photo as it was.
    QSet<QString> replaced;
    for (const UploadQuarantine::Entry& entry : queue.entries())
        if (entry.replacesAssetId && entry.attempts < kUploadAttemptLimit)
            replaced.insert(*entry.replacesAssetId);
    ItemList kept;
    kept.reserve(items.size());
    for (const FileProviderItemRef& item : items) {
        if (promoted.contains(item->itemIdentifier()))
            continue;
        if (!replaced.isEmpty()) {
            const std::optional<FPNode> node = FPNode::parse(item->itemIdentifier());
            const std::optional<QString> assetId = node ? node->assetId() : std::nullopt;
            if (assetId && replaced.contains(*assetId))
                continue;
        }
        kept.append(item);
    }
    return stores.tombstones.filter(
        kept, [](const FileProviderItemRef& item) { return item->itemIdentifier(); },
        [](const FileProviderItemRef& item) -> std::optional<QString> {
            if (const std::optional<FPNode> node = FPNode::parse(item->itemIdentifier()))
                return node->assetId();
            return std::nullopt;
        });
}

} // namespace

ItemList deletionFiltered(const ExtensionStores& stores, const ItemList& items)
{
    QueueSnapshot queue(stores.quarantine);
    return filteredWith(stores, items, queue);
}

void list(const ExtensionStores& stores, const FileProviderItemIdentifier& container,
          FetchCache::Mode mode, Completion<ItemList> done)
{
    const Queue queue = std::make_shared<QueueSnapshot>(stores.quarantine);
    Completion<ItemList> filtered = [stores, queue, done = std::move(done)](Result<ItemList> items) {
        if (!items)
            return done(items.error());
        done(filteredWith(stores, items.value(), *queue));
    };
    const bool workingSet = container == FileProviderContainer::workingSet;
    const std::optional<FPNode> node = workingSet ? std::nullopt : FPNode::parse(container);
    if (!workingSet && !node)
        return filtered(ItemList{});
    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    if (!client)
        return filtered(ItemList{});
    stores.names.refresh(mode == FetchCache::Mode::refresh, kNameRefreshWait);
    if (workingSet)
        return listWorkingSet(stores, *client, mode, std::move(filtered));
    listNode(stores, *client, *node, queue, mode, std::move(filtered));
}

} // namespace pixavella::ContainerListing
