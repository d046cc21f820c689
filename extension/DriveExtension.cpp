#include "DriveExtension.h"

#include "LibraryMirror.h"

#include "AssetNameStore.h"
#include "ContainerListing.h"
#include "DeletionTombstones.h"
#include "FileProviderEnumerator.h"
#include "FileProviderError.h"
#include "ItemModification.h"
#include "SharedSettings.h"

namespace pixavella {

namespace {

using Kind = FPNode::Kind;
using ItemCompletion = FileProviderReplicatedExtension::ItemCompletion;

Error noSuchItem()
{
    return fileProviderError(FileProviderErrorCode::noSuchItem);
}

// The fixed folders, "failed" and pending uploads resolve from the node and the local stores
// alone; nothing for every other node.
std::optional<Result<FileProviderItemRef>> localItem(const ExtensionStores& stores,
                                                     const FPNode& node)
{
    switch (node.kind()) {
    case Kind::root:
    case Kind::photos:
    case Kind::albums:
    case Kind::shared:
        return FileProviderItemRef(FileProviderItem::standardFolder(node));
    case Kind::failed:
        if (!PhotoFolders::hasGivenUpEntries(stores.quarantine.list()))
            return noSuchItem();
        return FileProviderItemRef(FileProviderItem::standardFolder(node));
    case Kind::pending: {
        const std::optional<UploadQuarantine::Entry> entry =
            stores.quarantine.entry(node.entryId());
        if (!entry)
            return noSuchItem();
        return FileProviderItemRef(
            FileProviderItem::pending(*entry, pendingParent(*entry).identifier(),
                                      stores.quarantine));
    }
    default:
        return std::nullopt;
    }
}

// A year or month folder exists exactly when the "Mes photos" listings show it.
void lookUpDateFolder(const ExtensionStores& stores, const ImmichClient& client, const FPNode& node,
                      ItemCompletion done)
{
    stores.library.sync(
        client, LibraryMirror::Need::known, [stores, node, done](Result<void> synced) {
            if (!synced)
                return done(noSuchItem());
            const LibraryMirror& library = stores.library;
            const QList<UploadQuarantine::Entry> entries = stores.quarantine.recentList();
            bool exists = false;
            if (node.is(Kind::year)) {
                exists = PhotoFolders::years(library.years(), entries).contains(node.year());
            } else {
                bool ok = false;
                const int year = node.year().toInt(&ok);
                const QSet<int> months = ok && QString::number(year) == node.year()
                                             ? library.monthsOf(year)
                                             : QSet<int>();
                exists = PhotoFolders::months(node.year(), months, entries).contains(node.month());
            }
            if (!exists)
                return done(noSuchItem());
            done(FileProviderItemRef(FileProviderItem::standardFolder(node)));
        });
}

void lookUpAsset(const ExtensionStores& stores, const ImmichClient& client, const FPNode& node,
                 const FileProviderItemIdentifier& identifier, ItemCompletion done)
{
    client.getAsset(*node.assetId(), [&names = stores.names, node, identifier,
                                      done](Result<ImmichAsset> asset) {
        if (!asset)
            return done(noSuchItem());
        const bool library = node.is(Kind::asset);
        if (library && asset.value().isTrashed.value_or(false))
            return done(noSuchItem());
        const FileProviderItemIdentifier parent =
            library ? assetParentIdentifier(identifier, asset.value())
                    : FPNode::album(node.albumId()).identifier();
        done(FileProviderItemRef(
            FileProviderItem::asset(asset.value(), identifier, parent, ItemCaps::full, names)));
    });
}

void lookUpAlbum(const ImmichClient& client, const FPNode& node, ItemCompletion done)
{
    client.getAlbumMeta(node.albumId(), [node, done](Result<AlbumMeta> album) {
        if (!album)
            return done(noSuchItem());
        done(FileProviderItemRef(
            FileProviderItem::folder(node, album.value().albumName, FPNode::albums(), 0, true)));
    });
}

// A shared album, or one of its photos, with the capabilities the user's role gives.
void lookUpShared(const ExtensionStores& stores, const ImmichClient& client, const FPNode& node,
                  const FileProviderItemIdentifier& identifier, ItemCompletion done)
{
    stores.currentUser.fetch(client, [&names = stores.names, client, node, identifier,
                                      done](Result<QString> me) {
        if (!me)
            return done(noSuchItem());
        if (node.is(Kind::sharedAlbum)) {
            return client.getAlbumMeta(
                node.albumId(), [node, me = me.value(), done](Result<AlbumMeta> album) {
                    if (!album)
                        return done(noSuchItem());
                    done(FileProviderItemRef(FileProviderItem::folder(
                        node, album.value().albumName, FPNode::sharedAlbumsFolder(),
                        ItemCaps::sharedAlbumLookedUp(albumAccess(album.value(), me)), false)));
                });
        }
        client.getAlbum(node.albumId(), [&names, node, identifier, me = me.value(),
                                         done](Result<ImmichAlbumDetail> album) {
            if (!album)
                return done(noSuchItem());
            for (const ImmichAsset& asset : album.value().assets) {
                if (asset.id != *node.assetId())
                    continue;
                return done(FileProviderItemRef(FileProviderItem::asset(
                    asset, identifier, FPNode::sharedAlbum(node.albumId()).identifier(),
                    ItemCaps::sharedAlbumPhoto(albumAccess(album.value(), me)), names)));
            }
            done(noSuchItem());
        });
    });
}

} // namespace

DriveExtension::DriveExtension(FileProviderDomain domain, ExtensionStores stores)
    : m_domain(std::move(domain)), m_stores(stores)
{
    ItemModification::showRefusedRenames(m_stores);
    // Renames left queued by an earlier run, or by the application, go now.
    m_stores.names.sendQueued();
}

Result<FileProviderEnumeratorRef>
DriveExtension::enumeratorForContainer(const FileProviderItemIdentifier& containerIdentifier)
{
    return FileProviderEnumeratorRef(
        std::make_shared<FileProviderEnumerator>(containerIdentifier, m_stores));
}

ProgressRef DriveExtension::itemForIdentifier(const FileProviderItemIdentifier& identifier,
                                              ItemCompletion completion)
{
    const std::optional<FPNode> node = FPNode::parse(identifier);
    if (!node) {
        completion(noSuchItem());
        return Progress::make();
    }
    // Just deleted: the server or a cached listing may still have it for a moment.
    if (m_stores.tombstones.isHidden(identifier, node->assetId())) {
        completion(noSuchItem());
        return Progress::make();
    }
    if (std::optional<Result<FileProviderItemRef>> local = localItem(m_stores, *node)) {
        completion(std::move(*local));
        return Progress::make();
    }
    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    if (!client) {
        completion(fileProviderError(FileProviderErrorCode::notAuthenticated));
        return Progress::make();
    }
    m_stores.names.refresh(false, ContainerListing::kNameRefreshWait);

    ProgressRef progress = Progress::make(1);
    ItemCompletion done = [progress,
                           completion = std::move(completion)](Result<FileProviderItemRef> item) {
        progress->setCompletedUnitCount(1);
        completion(std::move(item));
    };
    switch (node->kind()) {
    case Kind::year:
    case Kind::month:
        lookUpDateFolder(m_stores, *client, *node, std::move(done));
        break;
    case Kind::asset:
    case Kind::albumItem:
        lookUpAsset(m_stores, *client, *node, identifier, std::move(done));
        break;
    case Kind::album:
        lookUpAlbum(*client, *node, std::move(done));
        break;
    case Kind::sharedAlbum:
    case Kind::sharedItem:
        lookUpShared(m_stores, *client, *node, identifier, std::move(done));
        break;
    default:
        done(noSuchItem());
        break;
    }
    return progress;
}

} // namespace pixavella
