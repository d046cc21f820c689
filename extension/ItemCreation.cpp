#include "ItemCreation.h"

#include "DedupIndex.h"
#include "ExifCaptureDate.h"
#include "FileBytes.h"
#include "ExtensionLog.h"
#include "FetchCache.h"
#include "FileProviderError.h"
#include "FileProviderItem.h"
#include "ItemRedating.h"
#include "ItemRemoval.h"
#include "MediaCompleteness.h"
#include "PedagogicalNoticeQueue.h"
#include "UploadQuarantine.h"
#include "UserNoticeQueue.h"

#include <QCoreApplication>
#include <QFile>
#include <QMimeDatabase>

namespace pixavella::ItemCreation {

namespace {

using Kind = FPNode::Kind;
using Target = UploadQuarantine::Target;

Result<FileProviderItemChange> created(FileProviderItemRef item)
{
    return FileProviderItemChange{std::move(item)};
}

// Answered with neither item nor error: the framework drops what the user made. Only for
// folders, which hold nothing yet; a file is refused with an error, so that the program that
// wrote it keeps its copy.
Result<FileProviderItemChange> nothingCreated()
{
    return FileProviderItemChange{};
}

// A file the drive does not take where it was made (not a photo or video, or a place that
// holds no files).
Error notTakenHere()
{
    return fileProviderError(FileProviderErrorCode::excludedFromSync);
}

bool isTransportError(const Error& error)
{
    return error.domain == ErrorDomain::Network;
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

// Whether `head` starts the way JPEG, PNG and HEIF photos do. The mime database runs every
// magic rule it knows, a tenth of what dropping a small photo costs; these signatures are what
// almost every photo starts with, and nothing else starts that way.
bool hasPhotoSignature(const QByteArray& head)
{
    static const QByteArray png = QByteArrayLiteral("\x89PNG\r\n\x1a\n");
    if (head.startsWith("\xff\xd8\xff") || head.startsWith(png))
        return true;
    const QByteArray brand = head.mid(8, 4);
    return head.mid(4, 4) == "ftyp" &&
           (brand == "heic" || brand == "heix" || brand == "mif1" || brand == "avif");
}

// What the file's own bytes say it is, when they say anything: a text or a PDF named like a
// photo is not one. Bytes the database does not recognise leave the name to decide.
bool isMediaContent(const FileBytes& file, const QString& path)
{
    if (hasPhotoSignature(file.at(0, 12)))
        return true;
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchContent);
    if (!type.isValid() || type.isDefault() ||
        type.name() == QLatin1String("application/x-zerosize"))
        return true;
    const ContentType content(type.name());
    return content.conformsTo(ContentKind::image) || content.conformsTo(ContentKind::movie) ||
           content.conformsTo(ContentKind::audiovisual);
}

// Same name, same capture month and same bytes as a photo the library already holds.
struct DuplicateCheck {
    bool duplicate = false;
    std::optional<QString> checksum; // computed only when the index knows the name and month
};

DuplicateCheck checkDuplicate(const DedupIndex& dedup, const QString& path, const QString& filename,
                              const std::optional<QDateTime>& capturedAt)
{
    if (!capturedAt)
        return {};
    const QDate day = capturedAt->toUTC().date();
    const QSet<QString> known = dedup.checksums(filename, day.year(), day.month());
    if (known.isEmpty())
        return {};
    const std::optional<QString> checksum = DedupIndex::fileChecksum(path);
    return {checksum && known.contains(*checksum), checksum};
}

std::optional<QString> cachedAlbumName(FetchCache& cache, const Target& target)
{
    const QString key =
        target.kind == Target::Kind::album ? FetchCache::kAlbums : FetchCache::kSharedAlbums;
    const std::optional<QList<ImmichAlbum>> albums = cache.fetch<QList<ImmichAlbum>>(key);
    if (!albums)
        return std::nullopt;
    for (const ImmichAlbum& album : *albums) {
        if (album.id == target.albumId)
            return album.albumName;
    }
    return std::nullopt;
}

// A payload that is not whole (its writer was killed, or its own structure ends short) waits
// in the failed folder instead of being uploaded: the server keeps whatever it is sent.
UploadQuarantine::DropFacts dropFacts(const FileBytes& file, FileProviderCreateOptions options,
                                      std::optional<QString> checksum)
{
    UploadQuarantine::DropFacts facts;
    facts.durable = options & FileProviderCreateOption::contentsMustBeDurable;
    facts.checksum = std::move(checksum);
    if ((options & FileProviderCreateOption::contentsMayBeIncomplete) ||
        !MediaCompleteness::isComplete(file))
        facts.givenUpReason =
            QCoreApplication::translate("ItemCreation", "fichier incomplet",
                                        "Raison d'un envoi abandonné : le fichier est tronqué");
    return facts;
}

void enqueue(const ExtensionStores& stores, const QString& path, const QString& filename,
             const DropDate& date, const Target& target, const UploadQuarantine::DropFacts& facts,
             const ProgressRef& progress, const ChangeCompletion& done)
{
    const std::optional<QString> albumName =
        target.kind == Target::Kind::library ? std::nullopt : cachedAlbumName(stores.cache, target);
    if (facts.givenUpReason)
        qCWarning(lcUpload).noquote()
            << QStringLiteral("%1 is not whole: kept with the failed uploads").arg(filename);
    // The contents file is the host's staging copy, never written again: a hard link takes
    // it in without a second copy of the bytes.
    Result<UploadQuarantine::Entry> entry = stores.quarantine.enqueue(
        path, filename, date.at, target, albumName, UploadQuarantine::Intake::link, facts);
    if (!entry) {
        qCCritical(lcUpload).noquote() << QStringLiteral("Quarantine enqueue failed for %1: %2")
                                              .arg(filename, entry.error().description);
        return done(entry.error());
    }
    if (date.fromFileTime)
        ItemRedating::noteDatedByFileTime(entry.value().id);
    progress->setCompletedUnitCount(progress->totalUnitCount());
    done(created(
        FileProviderItem::pending(entry.value(), pendingParent(entry.value()).identifier(),
                                  stores.quarantine)));
}

} // namespace

void createAlbum(const ExtensionStores& stores, const ImmichClient& client,
                 const std::optional<FPNode>& parent, const QString& name, ChangeCompletion done)
{
    const AlbumPlace place = albumPlace(parent);
    // The freedesktop trash folders of the volume are never albums.
    if (!place.allowed || name.startsWith(QLatin1String(".Trash")))
        return done(nothingCreated());
    stores.cache.invalidate({FetchCache::kAlbums});
    client.createAlbum(name, [&userNotices = stores.userNotices, &notices = stores.notices, name,
                              notice = place.notice, done](Result<QString> albumId) {
        if (!albumId)
            return done(albumId.error());
        if (notice) {
            userNotices.append(
                QCoreApplication::translate("DriveExtension",
                                            "Album « %1 » créé — les photos sont aussi dans "
                                            "Mes photos.")
                    .arg(name));
            notices.post(*notice);
        }
        done(created(FileProviderItem::folder(FPNode::album(albumId.value()), name,
                                              FPNode::albums(), 0, true)));
    });
}

Result<void> checkFile(const ExtensionStores& stores, const std::optional<FPNode>& parent,
                       const FileProviderItemProtocol& itemTemplate)
{
    if (!isMedia(itemTemplate)) {
        stores.notices.post(PedagogicalNotice::nonmedia);
        return notTakenHere();
    }
    // Files cannot live directly in the album roots.
    const Kind kind = parent ? parent->kind() : Kind::root;
    if (kind == Kind::albums || kind == Kind::shared)
        return notTakenHere();
    return Result<void>::success();
}

ProgressRef createFile(const ExtensionStores& stores, const ImmichClient& client,
                       const std::optional<FPNode>& parent,
                       const FileProviderItemProtocol& itemTemplate,
                       const std::optional<QString>& contents, FileProviderCreateOptions options,
                       ChangeCompletion done)
{
    if (!contents) {
        done(unsupportedOperationError());
        return Progress::make();
    }
    ProgressRef progress = Progress::make(100);
    const QString filename = itemTemplate.filename();
    if (const Result<void> checked = checkFile(stores, parent, itemTemplate); !checked) {
        done(checked.error());
        return progress;
    }
    const QString path = *contents;
    // Opened once for the type, the date and the completeness checks.
    const FileBytes file(path);
    if (!isMediaContent(file, path)) {
        stores.notices.post(PedagogicalNotice::nonmedia);
        done(notTakenHere());
        return progress;
    }
    // An unknown parent files the photo in the library, as the root does.
    const Kind kind = parent ? parent->kind() : Kind::root;
    if (kind == Kind::album) {
        enqueue(stores, path, filename, dropDate(file, path), Target::album(parent->albumId()),
                dropFacts(file, options, std::nullopt), progress, done);
        return progress;
    }
    if (kind == Kind::sharedAlbum) {
        const QString albumId = parent->albumId();
        // Without an answer about the album the drop cannot be placed: the writer is told why
        // (an unreachable server) and keeps its file.
        auto refused = [](const Error& error) {
            return isTransportError(error) ? error : notTakenHere();
        };
        stores.currentUser.fetch(client, [stores, client, albumId, path, filename, options,
                                          progress, done, refused](Result<QString> me) {
            if (!me)
                return done(refused(me.error()));
            client.getAlbumMeta(albumId, [stores, me = me.value(), albumId, path, filename, options,
                                          progress, done, refused](Result<AlbumMeta> album) {
                if (!album)
                    return done(refused(album.error()));
                if (albumAccess(album.value(), me) == AlbumAccess::viewer)
                    return done(notTakenHere());
                // Answered later: the file is read again, its first opening long closed.
                const FileBytes again(path);
                enqueue(stores, path, filename, dropDate(again, path),
                        Target::sharedAlbum(albumId), dropFacts(again, options, std::nullopt),
                        progress, done);
            });
        });
        return progress;
    }
    const DropDate date = dropDate(file, path);
    const DuplicateCheck duplicate = checkDuplicate(stores.dedup, path, filename, date.at);
    if (duplicate.duplicate) {
        stores.notices.post(PedagogicalNotice::duplicate);
        done(fileProviderError(FileProviderErrorCode::filenameCollision));
        return progress;
    }
    enqueue(stores, path, filename, date, Target::library(),
            dropFacts(file, options, duplicate.checksum), progress, done);
    return progress;
}

ProgressRef replaceFile(const ExtensionStores& stores, const ImmichClient& client,
                        const FileProviderItemProtocol& item, const QString& contents,
                        ChangeCompletion done)
{
    Q_UNUSED(client);
    ProgressRef progress = Progress::make(100);
    const FileBytes file(contents);
    if (!isMediaContent(file, contents)) {
        stores.notices.post(PedagogicalNotice::nonmedia);
        done(notTakenHere());
        return progress;
    }
    const std::optional<FPNode> node = FPNode::parse(item.itemIdentifier());
    std::optional<QString> replaced;
    Target target = Target::library();
    std::optional<QString> supersededEntry;
    if (node && (node->is(Kind::asset) || node->is(Kind::albumItem))) {
        replaced = node->assetId();
        if (node->is(Kind::albumItem))
            target = Target::album(node->albumId());
    } else if (node && node->is(Kind::pending)) {
        // Saved again before its upload: the new bytes take the waiting entry's place.
        // Once uploaded, the asset it became is what the new bytes replace.
        const std::optional<UploadQuarantine::Entry> entry =
            stores.quarantine.entry(node->entryId());
        if (entry) {
            replaced = entry->replacesAssetId;
            target = entry->target;
            supersededEntry = entry->id;
        } else {
            replaced = ItemRemoval::uploadedAsset(stores, node->entryId());
        }
    } else {
        done(notTakenHere());
        return progress;
    }
    DropDate date = dropDate(file, contents);
    if (date.fromFileTime && item.creationDate()) {
        date.at = item.creationDate();
        date.fromFileTime = false;
    }
    // Always flushed: the photo it replaces leaves the listing on the strength of this entry.
    UploadQuarantine::DropFacts facts =
        dropFacts(file, FileProviderCreateOption::contentsMustBeDurable, std::nullopt);
    facts.replacesAssetId = replaced;
    enqueue(stores, contents, item.filename(), date, target, facts, progress,
            [stores, supersededEntry, done](Result<FileProviderItemChange> change) {
                if (change && supersededEntry)
                    ItemRemoval::cancelPendingUpload(stores, *supersededEntry, true);
                done(std::move(change));
            });
    return progress;
}

} // namespace pixavella::ItemCreation
