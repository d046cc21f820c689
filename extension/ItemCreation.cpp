#include "ItemCreation.h"

#include "DedupIndex.h"
#include "ExifCaptureDate.h"
#include "ExtensionLog.h"
#include "FetchCache.h"
#include "FileProviderError.h"
#include "FileProviderItem.h"
#include "PedagogicalNoticeQueue.h"
#include "UploadQuarantine.h"
#include "UserNoticeQueue.h"

#include <QCoreApplication>

namespace pixavella::ItemCreation {

namespace {

using Kind = FPNode::Kind;
using Target = UploadQuarantine::Target;

Result<FileProviderItemChange> created(FileProviderItemRef item)
{
    return FileProviderItemChange{std::move(item)};
}

// Answered with neither item nor error: the framework drops what the user made.
Result<FileProviderItemChange> nothingCreated()
{
    return FileProviderItemChange{};
}

// Where a new folder may become an album, and the notice that explains where it went.
struct AlbumPlace {
    bool allowed = false;
    std::optional<PedagogicalNotice> notice;
};

AlbumPlace albumPlace(const std::optional<FPNode>& parent)
{
    if (!parent)
        return {};
    switch (parent->kind()) {
    case Kind::root:
    case Kind::photos:
        return {true, PedagogicalNotice::newfolder};
    case Kind::albums:
        return {true, PedagogicalNotice::albumready};
    case Kind::year:
    case Kind::month:
    case Kind::album:
        return {true, std::nullopt};
    default:
        return {};
    }
}

// A template without a precise type is typed by its name; no type at all passes as media.
bool isMedia(const FileProviderItemProtocol& itemTemplate)
{
    std::optional<ContentType> type = itemTemplate.contentType();
    if (*type == ContentType::data())
        type = ContentType::fromFilenameExtension(filenameExtension(itemTemplate.filename()));
    return !type || type->conformsTo(ContentKind::image) || type->conformsTo(ContentKind::movie) ||
           type->conformsTo(ContentKind::audiovisual);
}

// Same name, same capture month and same bytes as a photo the library already holds.
bool isDuplicate(const QString& path, const QString& filename,
                 const std::optional<QDateTime>& capturedAt)
{
    if (!capturedAt)
        return false;
    const QDate day = capturedAt->toUTC().date();
    const QSet<QString> known = DedupIndex::shared().checksums(filename, day.year(), day.month());
    if (known.isEmpty())
        return false;
    const std::optional<QString> checksum = DedupIndex::fileChecksum(path);
    return checksum && known.contains(*checksum);
}

std::optional<QString> cachedAlbumName(const Target& target)
{
    const QString key =
        target.kind == Target::Kind::album ? FetchCache::kAlbums : FetchCache::kSharedAlbums;
    const std::optional<QList<ImmichAlbum>> albums =
        FetchCache::shared().fetch<QList<ImmichAlbum>>(key);
    if (!albums)
        return std::nullopt;
    for (const ImmichAlbum& album : *albums) {
        if (album.id == target.albumId)
            return album.albumName;
    }
    return std::nullopt;
}

void enqueue(const QString& path, const QString& filename,
             const std::optional<QDateTime>& capturedAt, const Target& target,
             const ProgressRef& progress, const ChangeCompletion& done)
{
    const std::optional<QString> albumName =
        target.kind == Target::Kind::library ? std::nullopt : cachedAlbumName(target);
    // The contents file is the host's staging copy, never written again: a hard link takes
    // it in without a second copy of the bytes.
    Result<UploadQuarantine::Entry> entry = UploadQuarantine::shared().enqueue(
        path, filename, capturedAt, target, albumName, UploadQuarantine::Intake::link);
    if (!entry) {
        qCCritical(lcUpload).noquote() << QStringLiteral("Quarantine enqueue failed for %1: %2")
                                              .arg(filename, entry.error().description);
        return done(entry.error());
    }
    FetchCache::shared().invalidate({FetchCache::kAllAssets});
    progress->setCompletedUnitCount(progress->totalUnitCount());
    done(created(
        FileProviderItem::pending(entry.value(), pendingParent(entry.value()).identifier())));
}

} // namespace

void createAlbum(const ImmichClient& client, const std::optional<FPNode>& parent,
                 const QString& name, ChangeCompletion done)
{
    const AlbumPlace place = albumPlace(parent);
    // The freedesktop trash folders of the volume are never albums.
    if (!place.allowed || name.startsWith(QLatin1String(".Trash")))
        return done(nothingCreated());
    FetchCache::shared().invalidate({FetchCache::kAlbums});
    client.createAlbum(name, [name, notice = place.notice, done](Result<QString> albumId) {
        if (!albumId)
            return done(albumId.error());
        if (notice) {
            UserNoticeQueue::shared().append(
                QCoreApplication::translate("DriveExtension",
                                            "Album « %1 » créé — les photos sont aussi dans "
                                            "Mes photos.")
                    .arg(name));
            PedagogicalNoticeQueue::shared().post(*notice);
        }
        done(created(FileProviderItem::folder(FPNode::album(albumId.value()), name,
                                              FPNode::albums(), 0, true)));
    });
}

ProgressRef createFile(const ImmichClient& client, const std::optional<FPNode>& parent,
                       const FileProviderItemProtocol& itemTemplate,
                       const std::optional<QString>& contents, ChangeCompletion done)
{
    if (!contents) {
        done(unsupportedOperationError());
        return Progress::make();
    }
    ProgressRef progress = Progress::make(100);
    const QString filename = itemTemplate.filename();
    if (!isMedia(itemTemplate)) {
        PedagogicalNoticeQueue::shared().post(PedagogicalNotice::nonmedia);
        done(nothingCreated());
        return progress;
    }
    // An unknown parent files the photo in the library, as the root does.
    const Kind kind = parent ? parent->kind() : Kind::root;
    if (kind == Kind::albums || kind == Kind::shared) {
        done(nothingCreated());
        return progress;
    }
    const QString path = *contents;
    if (kind == Kind::album) {
        enqueue(path, filename, dropCaptureDate(path), Target::album(parent->albumId()), progress,
                done);
        return progress;
    }
    if (kind == Kind::sharedAlbum) {
        const QString albumId = parent->albumId();
        CurrentUserIdCache::shared().fetch(
            client, [client, albumId, path, filename, progress, done](Result<QString> me) {
                if (!me)
                    return done(nothingCreated());
                client.getAlbumMeta(albumId, [me = me.value(), albumId, path, filename, progress,
                                              done](Result<AlbumMeta> album) {
                    if (!album || albumAccess(album.value(), me) == AlbumAccess::viewer)
                        return done(nothingCreated());
                    enqueue(path, filename, dropCaptureDate(path), Target::sharedAlbum(albumId),
                            progress, done);
                });
            });
        return progress;
    }
    const std::optional<QDateTime> capturedAt = dropCaptureDate(path);
    if (isDuplicate(path, filename, capturedAt)) {
        PedagogicalNoticeQueue::shared().post(PedagogicalNotice::duplicate);
        done(nothingCreated());
        return progress;
    }
    enqueue(path, filename, capturedAt, Target::library(), progress, done);
    return progress;
}

} // namespace pixavella::ItemCreation
