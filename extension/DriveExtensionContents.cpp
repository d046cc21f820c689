// Contents and thumbnails of the drive's items.

#include "DriveExtension.h"

#include "AssetNameStore.h"
#include "ContainerListing.h"
#include "FileProviderError.h"
#include "FileProviderItem.h"
#include "PedagogicalNoticeQueue.h"
#include "SharedSettings.h"
#include "SyncActivity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>
#include <QUuid>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>

#include <unistd.h>

namespace pixavella {

namespace {

using FetchContentsCompletion = FileProviderReplicatedExtension::FetchContentsCompletion;

constexpr qint64 kContentsUnits = 100;

Error noSuchItem()
{
    return fileProviderError(FileProviderErrorCode::noSuchItem);
}

// A file of its own holding the payload: the framework takes over (moves) what it is given,
// and the quarantine must keep its copy until the upload is done. A hard link when the temporary
// folder is on the same file system, else a copy.
Result<QString> handOverCopy(const QString& payload, const QString& directory)
{
    const QString suffix = QFileInfo(payload).suffix();
    const QString copy = directory + u'/' + QUuid::createUuid().toString(QUuid::WithoutBraces) +
                         (suffix.isEmpty() ? QString() : u'.' + suffix);
    if (::link(QFile::encodeName(payload).constData(), QFile::encodeName(copy).constData()) == 0)
        return copy;
    if (!QFile::copy(payload, copy)) {
        QFile::remove(copy);
        return fileError(EIO, payload);
    }
    return copy;
}

void deliverPending(UploadQuarantine& quarantine, const FPNode& node, const QString& directory,
                    const FetchContentsCompletion& completion)
{
    const std::optional<QString> payload = quarantine.payloadURL(node.entryId());
    const std::optional<UploadQuarantine::Entry> entry =
        payload ? quarantine.entry(node.entryId()) : std::nullopt;
    if (!entry)
        return completion(noSuchItem());
    Result<QString> copy = handOverCopy(*payload, directory);
    if (!copy)
        return completion(copy.error());
    completion(FileProviderFetchedContents{
        copy.value(),
        FileProviderItem::pending(*entry, pendingParent(*entry).identifier(), quarantine)});
}

// What a download waits for before it completes: the asset's record (the item handed over with
// the file) and the file itself. Both are asked for at once, so the record and the names do not
// delay the transfer.
struct DownloadJoin {
    explicit DownloadJoin(SyncActivity& activity) : activity(activity) {}

    SyncActivity& activity;
    std::mutex mutex;
    std::optional<Result<FileProviderItemRef>> item;
    std::optional<Result<QString>> file;
    std::weak_ptr<HttpTask> task;
    FetchContentsCompletion completion;

    // Completes once both halves are known, after releasing the caller's lock.
    void settle(std::unique_lock<std::mutex> lock)
    {
        if (!item || !file || !completion)
            return;
        FetchContentsCompletion done = std::move(completion);
        completion = nullptr;
        const Result<FileProviderItemRef> record = *item;
        const Result<QString> delivered = *file;
        lock.unlock();
        activity.downloadFinished();
        if (!record) {
            // Nothing describes the file: it is dropped, never handed over.
            if (delivered && !delivered.value().isEmpty())
                QFile::remove(delivered.value());
            return done(record.error());
        }
        if (!delivered)
            return done(delivered.error());
        if (delivered.value().isEmpty())
            return done(fileProviderError(FileProviderErrorCode::serverUnreachable));
        done(FileProviderFetchedContents{delivered.value(), record.value()});
    }
};

// Downloads the original of `assetId`, described as `identifier`. The download's own progress
// is a child of `progress` worth all of its units.
void downloadOriginal(const ExtensionStores& stores, const ImmichClient& client,
                      const FileProviderItemIdentifier& identifier, const QString& assetId,
                      const QString& directory, const ProgressRef& progress,
                      FetchContentsCompletion completion)
{
    auto join = std::make_shared<DownloadJoin>(stores.activity);
    join->completion = std::move(completion);
    ProgressRef transfer = Progress::make(0);
    const std::shared_ptr<HttpTask> task = client.downloadOriginal(
        assetId,
        [join, transfer](Result<QString> file) {
            if (file && !file.value().isEmpty())
                transfer->setCompletedUnitCount(transfer->totalUnitCount());
            std::unique_lock lock(join->mutex);
            join->file = std::move(file);
            join->settle(std::move(lock));
        },
        [transfer](qint64 done, qint64 total) {
            if (total > 0)
                transfer->setTotalUnitCount(total);
            transfer->setCompletedUnitCount(done);
        },
        directory);
    {
        std::lock_guard lock(join->mutex);
        join->task = task;
    }
    std::weak_ptr<HttpTask> weakTask = task;
    transfer->setCancellationHandler([weakTask] {
        if (const std::shared_ptr<HttpTask> t = weakTask.lock())
            t->cancel();
    });
    // Cancels the transfer at once when the request was cancelled meanwhile.
    progress->addChild(transfer, kContentsUnits);

    client.getAsset(assetId, [&names = stores.names, join, identifier](Result<ImmichAsset> asset) {
        // An unreachable server says nothing about the photo: the reader is told the server
        // is out of reach, never that the photo is gone.
        Result<FileProviderItemRef> item = !asset && asset.error().domain == ErrorDomain::Network
                                               ? Result<FileProviderItemRef>(asset.error())
                                               : noSuchItem();
        if (asset) {
            names.refresh(false, ContainerListing::kNameRefreshWait);
            item = FileProviderItemRef(FileProviderItem::asset(
                asset.value(), identifier, assetParentIdentifier(identifier, asset.value()),
                ItemCaps::full, names));
        }
        std::unique_lock lock(join->mutex);
        join->item = std::move(item);
        // An asset the server does not know has no contents worth waiting for.
        const std::shared_ptr<HttpTask> transfer = asset ? nullptr : join->task.lock();
        if (transfer)
            transfer->cancel();
        join->settle(std::move(lock));
    });
}

} // namespace

QString DriveExtension::temporaryDirectory() const
{
    return m_temporaryDirectory.isEmpty() ? QDir::tempPath() : m_temporaryDirectory;
}

ProgressRef DriveExtension::fetchContents(const FileProviderItemIdentifier& identifier,
                                          const std::optional<FileProviderItemVersion>&,
                                          const FileProviderRequest& request,
                                          FetchContentsCompletion completion)
{
    const std::optional<FPNode> node = FPNode::parse(identifier);
    if (node && node->is(FPNode::Kind::pending)) {
        deliverPending(m_stores.quarantine, *node, temporaryDirectory(), completion);
        return Progress::make();
    }
    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    if (!client) {
        completion(fileProviderError(FileProviderErrorCode::notAuthenticated));
        return Progress::make();
    }
    const std::optional<QString> assetId = node ? node->assetId() : std::nullopt;
    if (!assetId) {
        completion(noSuchItem());
        return Progress::make();
    }
    ProgressRef progress = Progress::make(kContentsUnits);
    m_stores.activity.downloadStarted();
    // A thumbnailer reading a photo is no one opening it: nothing to explain.
    if (!request.isSystemRequest)
        m_stores.notices.post(PedagogicalNotice::materialize);
    downloadOriginal(m_stores, *client, identifier, *assetId, temporaryDirectory(), progress,
                     std::move(completion));
    return progress;
}

ProgressRef DriveExtension::fetchThumbnails(const QList<FileProviderItemIdentifier>& identifiers,
                                            const QSize&, PerThumbnailCompletion perThumbnail,
                                            ThumbnailsCompletion completion)
{
    ProgressRef progress = Progress::make(identifiers.size());
    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    if (!client) {
        completion(fileProviderError(FileProviderErrorCode::notAuthenticated));
        return progress;
    }
    // One count for this loop and one per thumbnail in flight; whoever leaves last calls the
    // final completion, once, on the global pool.
    struct Group {
        std::atomic<int> outstanding{1};
        ThumbnailsCompletion completion;
        void leave()
        {
            if (outstanding.fetch_sub(1) == 1)
                QThreadPool::globalInstance()->start(
                    [done = std::move(completion)] { done(Result<void>::success()); });
        }
    };
    auto group = std::make_shared<Group>();
    group->completion = std::move(completion);

    for (const FileProviderItemIdentifier& identifier : identifiers) {
        const std::optional<FPNode> node = FPNode::parse(identifier);
        const std::optional<QString> assetId = node ? node->assetId() : std::nullopt;
        if (!assetId) {
            perThumbnail(identifier, QByteArray());
            progress->addCompletedUnitCount(1);
            continue;
        }
        group->outstanding.fetch_add(1);
        client->fetchThumbnail(*assetId, [identifier, perThumbnail, progress,
                                          group](Result<QByteArray> bytes) {
            // 404: the server's thumbnail job has not run yet; the host asks again later.
            if (!bytes && bytes.error().domain == ErrorDomain::Client && bytes.error().code == 404)
                bytes = QByteArray();
            perThumbnail(identifier, std::move(bytes));
            progress->addCompletedUnitCount(1);
            group->leave();
        });
    }
    group->leave();
    return progress;
}

} // namespace pixavella
