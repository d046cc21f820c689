#include "ItemRemoval.h"

#include "CancelledUploads.h"
#include "DeletionTombstones.h"
#include "FetchCache.h"
#include "LibraryMirror.h"
#include "PedagogicalNoticeQueue.h"
#include "SharedSettings.h"
#include "Signals.h"
#include "UploadJournal.h"
#include "UploadQuarantine.h"
#include "UserNoticeQueue.h"

#include <QCoreApplication>

namespace pixavella::ItemRemoval {

namespace {

using Kind = FPNode::Kind;

QString tr(const char* text)
{
    return QCoreApplication::translate("DriveExtension", text);
}

// The album's name for a removal message, or `fallback` when the server does not give it.
void albumNameThen(const ImmichClient& client, const QString& albumId, const QString& fallback,
                   std::function<void(QString)> then)
{
    client.getAlbumMeta(albumId, [fallback, then = std::move(then)](Result<AlbumMeta> album) {
        then(album ? album.value().albumName : fallback);
    });
}

} // namespace

void hide(const ExtensionStores& stores, const FPNode& node,
          const FileProviderItemIdentifier& identifier)
{
    switch (node.kind()) {
    case Kind::asset:
        stores.tombstones.recordAsset(*node.assetId());
        stores.library.markStale();
        break;
    case Kind::album:
        stores.tombstones.recordItem(identifier);
        stores.cache.invalidate({FetchCache::kAlbums, FetchCache::albumKey(node.albumId())});
        break;
    case Kind::albumItem:
    case Kind::sharedItem:
        stores.tombstones.recordItem(identifier);
        stores.cache.invalidate({FetchCache::albumKey(node.albumId())});
        break;
    default:
        break;
    }
}

void removeOnServer(const ImmichClient& client, const FPNode& node, Completion<void> done)
{
    switch (node.kind()) {
    case Kind::asset:
        return client.trashAssets({*node.assetId()}, std::move(done));
    case Kind::album:
        return client.deleteAlbum(node.albumId(), std::move(done));
    case Kind::albumItem:
    case Kind::sharedItem:
        return client.removeAssetsFromAlbum(node.albumId(), {*node.assetId()}, std::move(done));
    default:
        return done(Result<void>::success());
    }
}

void giveFeedback(const ExtensionStores& stores, const ImmichClient& client, const FPNode& node,
                  std::function<void()> then)
{
    UserNoticeQueue& messages = stores.userNotices;
    PedagogicalNoticeQueue& notices = stores.notices;
    switch (node.kind()) {
    case Kind::asset:
        messages.append(
            tr("Photo déplacée dans la corbeille Pixavella — récupérable 30 jours sur %1")
                .arg(serviceWebDomain()));
        notices.post(PedagogicalNotice::trash);
        return then();
    case Kind::album:
        notices.post(PedagogicalNotice::delalbum);
        return then();
    case Kind::albumItem:
        return albumNameThen(client, node.albumId(), tr("cet album"),
                             [&messages, &notices, then = std::move(then)](const QString& name) {
                                 messages.append(tr("Photo retirée de l'album « %1 » — toujours "
                                                    "disponible dans Mes photos")
                                                     .arg(name));
                                 notices.post(PedagogicalNotice::remove);
                                 then();
                             });
    case Kind::sharedItem:
        return albumNameThen(client, node.albumId(), tr("cet album partagé"),
                             [&messages, then = std::move(then)](const QString& name) {
                                 messages.append(
                                     tr("Photo retirée de l'album partagé « %1 »").arg(name));
                                 then();
                             });
    default:
        return then();
    }
}

void cancelPendingUpload(const ExtensionStores& stores, const QString& entryId, bool superseded)
{
    const std::optional<UploadQuarantine::Entry> entry = stores.quarantine.entry(entryId);
    // Recorded first: an upload already under way checks this list before it records success.
    stores.cancelled.add(entryId);
    (void)stores.quarantine.remove(entryId);
    Signals::post(QLatin1String(SignalName::quarantineChanged));
    if (entry && !superseded)
        stores.userNotices.append(
            tr("Envoi de « %1 » abandonné — cette photo n'a pas été sauvegardée dans "
               "Pixavella.")
                .arg(entry->filename));
}

std::optional<QString> uploadedAsset(const ExtensionStores& stores, const QString& entryId)
{
    if (stores.quarantine.entry(entryId))
        return std::nullopt;
    UploadJournal& journal = stores.journal;
    QMutexLocker locker(&journal.lock());
    for (const UploadJournal::Event& event : journal.loadEvents())
        if (event.id == entryId && event.outcome == UploadJournal::Outcome::uploaded)
            return event.assetId;
    return std::nullopt;
}

} // namespace pixavella::ItemRemoval
