#include "ItemModification.h"

#include "AssetNameStore.h"
#include "DeletionTombstones.h"
#include "EnumerationSignals.h"
#include "FetchCache.h"
#include "FileProviderError.h"
#include "FileProviderItem.h"
#include "ItemRedating.h"
#include "ItemRemoval.h"
#include "LibraryMirror.h"
#include "PedagogicalNoticeQueue.h"
#include "ReparentPlan.h"

#include <QHash>
#include <QMutex>

namespace pixavella::ItemModification {

namespace {

using Kind = FPNode::Kind;
using Plan = ReparentPlan::Kind;

// One request: the item handed in, its node, and the completion that also ends the progress.
struct Request {
    ExtensionStores stores;
    ImmichClient client;
    FileProviderItemRef item;
    std::optional<FPNode> node;
    ProgressRef progress;
    ChangeCompletion completion;

    void answer(Result<FileProviderItemChange> change) const
    {
        progress->setCompletedUnitCount(1);
        completion(std::move(change));
    }
    void answer(FileProviderItemRef changed) const
    {
        answer(FileProviderItemChange{std::move(changed)});
    }
    void accept() const { answer(item); }
    void answerError(const Error& error) const { answer(Result<FileProviderItemChange>(error)); }
    // The item as handed in on success, else the error.
    Completion<void> acceptOnSuccess() const
    {
        return [self = *this](Result<void> done) {
            done ? self.accept() : self.answerError(done.error());
        };
    }
    QString assetId() const { return *node->assetId(); }
};

bool isTransportFailure(const Error& error)
{
    return error.domain == ErrorDomain::Network ||
           (error.domain == ErrorDomain::Client && error.code == -1);
}

// A photo keeps its type: a new name whose extension names another type (or none) would show
// the photo under a name other than the one asked for, so it is refused.
bool keepsType(const QString& name, const ContentType& type)
{
    if (type == ContentType::data() || type.conformsTo(ContentKind::folder))
        return true;
    return ContentType::fromFilenameExtension(filenameExtension(name)) == type;
}

// The folder each photo was last renamed in, so that an undone rename is shown there too (an
// album, where the month listing would not reach).
struct RenamedIn {
    QMutex lock;
    QHash<QString, FileProviderItemIdentifier> folders;
};

RenamedIn& renamedIn()
{
    static auto* instance = new RenamedIn;
    return *instance;
}

void renamePhoto(const Request& request)
{
    const QString name = request.item->filename();
    if (!keepsType(name, request.item->contentType()))
        return request.answerError(fileProviderError(FileProviderErrorCode::excludedFromSync));
    {
        QMutexLocker locker(&renamedIn().lock);
        renamedIn().folders.insert(request.assetId(), request.item->parentItemIdentifier());
    }
    request.stores.names.setName(request.assetId(), name);
    request.stores.notices.post(PedagogicalNotice::renamephoto);
    request.accept();
}

void rename(const Request& request)
{
    if (!request.node)
        return request.answerError(unsupportedOperationError());
    const FPNode& node = *request.node;
    switch (node.kind()) {
    case Kind::asset:
    case Kind::albumItem:
        return renamePhoto(request);
    case Kind::album:
        request.stores.cache.invalidate(
            {FetchCache::kAlbums, FetchCache::albumKey(node.albumId())});
        return request.client.renameAlbum(node.albumId(), request.item->filename(),
                                          request.acceptOnSuccess());
    case Kind::sharedAlbum:
        request.stores.cache.invalidate({FetchCache::kSharedAlbums});
        return request.client.renameAlbum(node.albumId(), request.item->filename(),
                                          request.acceptOnSuccess());
    default:
        return request.answerError(unsupportedOperationError());
    }
}

void moveToTrash(const Request& request)
{
    if (!request.node)
        return request.accept();
    const FPNode node = *request.node;
    ItemRemoval::hide(request.stores, node, request.item->itemIdentifier());
    switch (node.kind()) {
    case Kind::asset:
    case Kind::album:
    case Kind::albumItem:
    case Kind::sharedItem:
        return ItemRemoval::removeOnServer(
            request.client, node, [request, node](Result<void> removed) {
                if (!removed)
                    return request.answerError(removed.error());
                ItemRemoval::giveFeedback(request.stores, request.client, node,
                                          [request] { request.accept(); });
            });
    case Kind::pending:
        ItemRemoval::cancelPendingUpload(request.stores, node.entryId());
        return request.accept();
    default:
        return request.accept();
    }
}

void restoreFromTrash(const Request& request)
{
    request.stores.tombstones.forgetAsset(request.assetId());
    request.stores.library.markStale();
    request.client.restoreAssets({request.assetId()}, request.acceptOnSuccess());
}

// The item where it was: the framework puts it back.
void putBack(const Request& request, const ImmichAsset& asset)
{
    const FileProviderItemIdentifier identifier = request.item->itemIdentifier();
    request.answer(FileProviderItem::asset(asset, identifier,
                                           assetParentIdentifier(identifier, asset), ItemCaps::full,
                                           request.stores.names));
}

void addToAlbum(const Request& request, const ImmichAsset& asset, const QString& albumId)
{
    request.client.addAssetsToAlbum(
        albumId, {asset.id}, [request, asset, albumId](Result<void> added) {
            if (!added)
                return request.answerError(added.error());
            request.stores.notices.post(PedagogicalNotice::addtoalbum);
            request.stores.cache.invalidate({FetchCache::albumKey(albumId)});
            request.answer(FileProviderItem::asset(
                asset, FPNode::albumItem(albumId, asset.id).identifier(),
                FPNode::album(albumId).identifier(), ItemCaps::full, request.stores.names));
            // The photo left its month folder in the framework's eyes; it is still there.
            EnumerationSignals::signal(monthFolderOf(monthKey(asset)).identifier());
        });
}

void moveBetweenAlbums(const Request& request, const QString& from, const QString& to)
{
    const QString assetId = request.assetId();
    request.client.addAssetsToAlbum(
        to, {assetId}, [request, from, to, assetId](Result<void> added) {
            if (!added)
                return request.answerError(added.error());
            request.stores.cache.invalidate({FetchCache::albumKey(to)});
            request.client.removeAssetsFromAlbum(
                from, {assetId}, [request, from, to, assetId](Result<void> removed) {
                    if (!removed)
                        return request.answerError(removed.error());
                    request.stores.tombstones.recordItem(
                        FPNode::albumItem(from, assetId).identifier());
                    request.stores.cache.invalidate({FetchCache::albumKey(from)});
                    EnumerationSignals::signal(FPNode::album(from).identifier());
                    EnumerationSignals::signal(FPNode::album(to).identifier());
                    // The item must now name album B: kept under A's identifier, a later move
                    // out of B would remove the photo from A and leave it in B.
                    request.client.getAsset(assetId, [request, from, to](Result<ImmichAsset> asset) {
                        if (!asset)
                            return request.accept();
                        FileProviderItemChange change{FileProviderItem::asset(
                            asset.value(), FPNode::albumItem(to, asset.value().id).identifier(),
                            FPNode::album(to).identifier(), ItemCaps::full, request.stores.names)};
                        change.removedIdentifiers = {
                            FPNode::albumItem(from, asset.value().id).identifier()};
                        request.answer(std::move(change));
                    });
                });
        });
}

// The photo is then where it always was, in its month: that item is the answer, and the
// album's entry is gone (answering the moved entry would show it in "Mes photos" itself).
void removeFromAlbum(const Request& request, const ImmichAsset& asset, const QString& albumId)
{
    const QString assetId = request.assetId();
    request.client.removeAssetsFromAlbum(
        albumId, {assetId}, [request, asset, albumId, assetId](Result<void> removed) {
            if (!removed)
                return request.answerError(removed.error());
            const FPNode shown = FPNode::albumItem(albumId, assetId);
            request.stores.tombstones.recordItem(shown.identifier());
            request.stores.cache.invalidate({FetchCache::albumKey(albumId)});
            EnumerationSignals::signal(FPNode::album(albumId).identifier());
            ItemRemoval::giveFeedback(
                request.stores, request.client, shown, [request, asset, shown] {
                    const FileProviderItemIdentifier library = FPNode::asset(asset.id).identifier();
                    FileProviderItemChange change{FileProviderItem::asset(
                        asset, library, assetParentIdentifier(library, asset), ItemCaps::full,
                        request.stores.names)};
                    change.removedIdentifiers = {shown.identifier()};
                    request.answer(std::move(change));
                });
        });
}

void addToSharedAlbum(const Request& request, const ImmichAsset& asset, const QString& albumId)
{
    request.stores.currentUser.fetch(
        request.client, [request, asset, albumId](Result<QString> me) {
            if (!me)
                return putBack(request, asset);
            request.client.getAlbumMeta(
                albumId, [request, asset, albumId, me = me.value()](Result<AlbumMeta> album) {
                    if (!album || albumAccess(album.value(), me) == AlbumAccess::viewer)
                        return putBack(request, asset);
                    const AlbumAccess access = albumAccess(album.value(), me);
                    request.client.addAssetsToAlbum(
                        albumId, {asset.id}, [request, asset, albumId, access](Result<void> added) {
                            if (!added)
                                return request.answerError(added.error());
                            request.stores.notices.post(PedagogicalNotice::addtoalbum);
                            request.stores.cache.invalidate({FetchCache::albumKey(albumId)});
                            request.answer(FileProviderItem::asset(
                                asset, FPNode::sharedItem(albumId, asset.id).identifier(),
                                FPNode::sharedAlbum(albumId).identifier(),
                                ItemCaps::sharedAlbumPhoto(access), request.stores.names));
                        });
                });
        });
}

void carryOut(const Request& request, const ImmichAsset& asset, const ReparentPlan& plan)
{
    switch (plan.kind) {
    case Plan::addToAlbum:
        return addToAlbum(request, asset, plan.targetAlbumId);
    case Plan::move:
        return moveBetweenAlbums(request, plan.sourceAlbumId, plan.targetAlbumId);
    case Plan::removeFromAlbum:
        return removeFromAlbum(request, asset, plan.sourceAlbumId);
    case Plan::addToSharedAlbum:
        return addToSharedAlbum(request, asset, plan.targetAlbumId);
    case Plan::noop:
    case Plan::refuse:
        return putBack(request, asset);
    }
}

void moveToFolder(const Request& request, FileProviderItemFields changedFields)
{
    const bool photo =
        request.node && (request.node->is(Kind::asset) || request.node->is(Kind::albumItem) ||
                         request.node->is(Kind::sharedItem));
    if (!photo) {
        // Folders keep their place: an album exists only in its list, years and months follow
        // the photos' dates. Anything else would show a move the server never made.
        if (request.node && !request.node->is(Kind::pending))
            return request.answerError(
                fileProviderError(FileProviderErrorCode::excludedFromSync));
        if (changedFields & FileProviderItemField::filename)
            return rename(request);
        return request.accept();
    }
    request.client.getAsset(request.assetId(), [request](Result<ImmichAsset> asset) {
        if (!asset) {
            if (isTransportFailure(asset.error()))
                return request.answerError(
                    fileProviderError(FileProviderErrorCode::serverUnreachable));
            return request.accept();
        }
        if (asset.value().isTrashed.value_or(false))
            return restoreFromTrash(request);
        const ReparentPlan plan = ReparentPlan::decide(
            *request.node, FPNode::parse(request.item->parentItemIdentifier()));
        carryOut(request, asset.value(), plan);
    });
}

} // namespace

void showRefusedRenames(const ExtensionStores& stores)
{
    stores.names.setRefusalListener([&library = stores.library](const QString& assetId) {
        std::optional<FileProviderItemIdentifier> folder;
        {
            QMutexLocker locker(&renamedIn().lock);
            if (const auto it = renamedIn().folders.constFind(assetId);
                it != renamedIn().folders.constEnd())
                folder = *it;
        }
        if (folder)
            EnumerationSignals::signal(*folder);
        if (const std::optional<ImmichAsset> asset = library.asset(assetId)) {
            const FileProviderItemIdentifier month = monthFolderOf(monthKey(*asset)).identifier();
            if (month != folder)
                EnumerationSignals::signal(month);
        }
    });
}

ProgressRef modify(const ExtensionStores& stores, const ImmichClient& client,
                   const FileProviderItemRef& item, FileProviderItemFields changedFields,
                   ChangeCompletion done)
{
    using namespace FileProviderItemField;
    if ((changedFields & contentModificationDate) &&
        !(changedFields & (parentItemIdentifier | filename)))
        return ItemRedating::redate(stores, client, item, std::move(done));
    ProgressRef progress = Progress::make(1);
    const Request request{stores,   client,         item, FPNode::parse(item->itemIdentifier()),
                          progress, std::move(done)};
    if (changedFields & FileProviderItemField::parentItemIdentifier) {
        if (item->parentItemIdentifier() == FileProviderContainer::trash)
            moveToTrash(request);
        else
            moveToFolder(request, changedFields);
    } else if (changedFields & FileProviderItemField::filename) {
        rename(request);
    } else {
        request.accept();
    }
    return progress;
}

} // namespace pixavella::ItemModification
