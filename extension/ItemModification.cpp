#include "ItemModification.h"

#include "AssetNameStore.h"
#include "DeletionTombstones.h"
#include "EnumerationSignals.h"
#include "FetchCache.h"
#include "FileProviderError.h"
#include "FileProviderItem.h"
#include "ItemRemoval.h"
#include "PedagogicalNoticeQueue.h"
#include "ReparentPlan.h"

#include <QMimeDatabase>

namespace pixavella::ItemModification {

namespace {

using Kind = FPNode::Kind;
using Plan = ReparentPlan::Kind;

// One request: the item handed in, its node, and the completion that also ends the progress.
struct Request {
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

// A photo keeps its type: a new name whose extension names another type gets the type's own.
QString nameKeepingType(const QString& name, const ContentType& type)
{
    if (type == ContentType::data() || type.conformsTo(ContentKind::folder))
        return name;
    if (ContentType::fromFilenameExtension(filenameExtension(name)) == type)
        return name;
    const QString suffix = QMimeDatabase().mimeTypeForName(type.mimeName()).preferredSuffix();
    return suffix.isEmpty() ? name : name + u'.' + suffix;
}

void renamePhoto(const Request& request)
{
    const QString name = nameKeepingType(request.item->filename(), request.item->contentType());
    AssetNameStore::shared().setName(request.assetId(), name);
    PedagogicalNoticeQueue::shared().post(PedagogicalNotice::renamephoto);
    if (name == request.item->filename())
        return request.accept();
    FileProviderItemProperties renamed = FileProviderItemProperties::of(*request.item);
    renamed.filename = name;
    request.answer(FileProviderItemSnapshot::make(std::move(renamed)));
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
        FetchCache::shared().invalidate(
            {FetchCache::kAlbums, FetchCache::albumKey(node.albumId())});
        return request.client.renameAlbum(node.albumId(), request.item->filename(),
                                          request.acceptOnSuccess());
    case Kind::sharedAlbum:
        FetchCache::shared().invalidate({FetchCache::kSharedAlbums});
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
    ItemRemoval::hide(node, request.item->itemIdentifier());
    switch (node.kind()) {
    case Kind::asset:
    case Kind::album:
    case Kind::albumItem:
    case Kind::sharedItem:
        return ItemRemoval::removeOnServer(
            request.client, node, [request, node](Result<void> removed) {
                if (!removed)
                    return request.answerError(removed.error());
                ItemRemoval::giveFeedback(request.client, node, [request] { request.accept(); });
            });
    case Kind::pending:
        ItemRemoval::cancelPendingUpload(node.entryId());
        return request.accept();
    default:
        return request.accept();
    }
}

void restoreFromTrash(const Request& request)
{
    DeletionTombstones::shared().forgetAsset(request.assetId());
    FetchCache::shared().invalidate({FetchCache::kAllAssets});
    request.client.restoreAssets({request.assetId()}, request.acceptOnSuccess());
}

// The item where it was: the framework puts it back.
void putBack(const Request& request, const ImmichAsset& asset)
{
    const FileProviderItemIdentifier identifier = request.item->itemIdentifier();
    request.answer(FileProviderItem::asset(
        asset, identifier, assetParentIdentifier(identifier, asset), ItemCaps::full));
}

void addToAlbum(const Request& request, const ImmichAsset& asset, const QString& albumId)
{
    request.client.addAssetsToAlbum(
        albumId, {asset.id}, [request, asset, albumId](Result<void> added) {
            if (!added)
                return request.answerError(added.error());
            PedagogicalNoticeQueue::shared().post(PedagogicalNotice::addtoalbum);
            FetchCache::shared().invalidate({FetchCache::albumKey(albumId)});
            request.answer(
                FileProviderItem::asset(asset, FPNode::albumItem(albumId, asset.id).identifier(),
                                        FPNode::album(albumId).identifier(), ItemCaps::full));
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
            FetchCache::shared().invalidate({FetchCache::albumKey(to)});
            request.client.removeAssetsFromAlbum(
                from, {assetId}, [request, from, to, assetId](Result<void> removed) {
                    if (!removed)
                        return request.answerError(removed.error());
                    DeletionTombstones::shared().recordItem(
                        FPNode::albumItem(from, assetId).identifier());
                    FetchCache::shared().invalidate({FetchCache::albumKey(from)});
                    EnumerationSignals::signal(FPNode::album(from).identifier());
                    EnumerationSignals::signal(FPNode::album(to).identifier());
                    // The item must now name album B: kept under A's identifier, a later move
                    // out of B would remove the photo from A and leave it in B.
                    request.client.getAsset(assetId, [request, to](Result<ImmichAsset> asset) {
                        if (!asset)
                            return request.accept();
                        request.answer(FileProviderItem::asset(
                            asset.value(), FPNode::albumItem(to, asset.value().id).identifier(),
                            FPNode::album(to).identifier(), ItemCaps::full));
                    });
                });
        });
}

void removeFromAlbum(const Request& request, const QString& albumId)
{
    const QString assetId = request.assetId();
    request.client.removeAssetsFromAlbum(
        albumId, {assetId}, [request, albumId, assetId](Result<void> removed) {
            if (!removed)
                return request.answerError(removed.error());
            const FPNode shown = FPNode::albumItem(albumId, assetId);
            DeletionTombstones::shared().recordItem(shown.identifier());
            FetchCache::shared().invalidate({FetchCache::albumKey(albumId)});
            EnumerationSignals::signal(FPNode::album(albumId).identifier());
            ItemRemoval::giveFeedback(request.client, shown, [request] { request.accept(); });
        });
}

void addToSharedAlbum(const Request& request, const ImmichAsset& asset, const QString& albumId)
{
    CurrentUserIdCache::shared().fetch(
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
                            PedagogicalNoticeQueue::shared().post(PedagogicalNotice::addtoalbum);
                            FetchCache::shared().invalidate({FetchCache::albumKey(albumId)});
                            request.answer(FileProviderItem::asset(
                                asset, FPNode::sharedItem(albumId, asset.id).identifier(),
                                FPNode::sharedAlbum(albumId).identifier(),
                                ItemCaps::sharedAlbumPhoto(access)));
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
        return removeFromAlbum(request, plan.sourceAlbumId);
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

ProgressRef modify(const ImmichClient& client, const FileProviderItemRef& item,
                   FileProviderItemFields changedFields, ChangeCompletion done)
{
    ProgressRef progress = Progress::make(1);
    const Request request{client, item, FPNode::parse(item->itemIdentifier()), progress,
                          std::move(done)};
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
