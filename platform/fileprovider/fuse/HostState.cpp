#include "HostState.h"

#include "FreedesktopThumbnail.h"
#include "FuseHostOptions.h"
#include "FuseLog.h"
#include "TrashFolder.h"

#include <QFile>

#include <atomic>
#include <unistd.h>

namespace pixavella {

namespace {

QDateTime modificationTime(const FileProviderItemProperties& item, const QDateTime& fallback)
{
    if (item.contentModificationDate && item.contentModificationDate->isValid())
        return *item.contentModificationDate;
    if (item.creationDate && item.creationDate->isValid())
        return *item.creationDate;
    return fallback;
}

timespec timespecOf(const QDateTime& t)
{
    const qint64 ms = t.toMSecsSinceEpoch();
    timespec ts{};
    ts.tv_sec = time_t(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    ts.tv_nsec = long((ms - qint64(ts.tv_sec) * 1000) * 1'000'000);
    return ts;
}

ThumbnailSeeder::Options seederOptions(const FuseHostOptions& options)
{
    ThumbnailSeeder::Options seeder;
    seeder.concurrentRequests = options.thumbnailRequests;
    if (!options.thumbnailRetryDelays.isEmpty())
        seeder.retryDelays = options.thumbnailRetryDelays;
    return seeder;
}

} // namespace

HostState::HostState(std::shared_ptr<FileProviderReplicatedExtension> served,
                     const FuseHostOptions& options, RefreshScheduler::StartRefresh startRefresh)
    : extension(std::move(served)), mountPoint(options.mountPoint),
      thumbnailRoot(options.thumbnailDirectory), uid(::getuid()), gid(::getgid()),
      mountTime(QDateTime::currentDateTimeUtc()), kernelCacheSeconds(options.kernelCacheSeconds),
      listedWait(options.listedWait), unlistedWait(options.unlistedWait),
      thumbnailViewers(options.thumbnailViewers), thumbnailWait(options.thumbnailWait),
      replica({TrashFolder::rootName(::getuid())}),
      staging(options.cacheDirectory + QStringLiteral("/staging"), replica,
              options.dropGraceSeconds),
      contents(options.cacheDirectory + QStringLiteral("/contents")),
      negatives(options.missingCacheSeconds),
      refresher(extension, replica, deadlines, options.enumerationTimeout),
      scheduler(std::move(startRefresh), options.recentUseSeconds),
      thumbnails(extension, options.thumbnailDirectory, seederOptions(options),
                 [this](const FileProviderItemIdentifier& identifier) {
                     const std::optional<ReplicaEntry> e = replica.entry(identifier);
                     return e ? thumbnailCandidate(*e) : std::nullopt;
                 })
{
    TrashFolder::addTo(replica, uid);
    extension->setTemporaryDirectory(contents.incomingDirectory());
}

struct stat HostState::statOf(const ReplicaEntry& entry) const
{
    struct stat st {};
    st.st_ino = entry.ino;
    st.st_mode = (entry.isFolder ? S_IFDIR : S_IFREG) | entry.permissions;
    st.st_nlink = entry.isFolder ? entry.linkCount : 1;
    st.st_uid = uid;
    st.st_gid = gid;
    st.st_size = entry.isFolder ? 0 : qMax<qint64>(0, entry.item.documentSize.value_or(0));
    st.st_blksize = 4096;
    st.st_blocks = (st.st_size + 511) / 512;
    const timespec t = timespecOf(modificationTime(entry.item, mountTime));
    st.st_mtim = t;
    st.st_ctim = t;
    st.st_atim = t;
    return st;
}

struct stat HostState::statOf(const StagedFile& file) const
{
    struct stat st {};
    st.st_ino = file.ino;
    st.st_mode = S_IFREG | file.mode;
    st.st_nlink = 1;
    st.st_uid = uid;
    st.st_gid = gid;
    st.st_size = file.size;
    // Copying tools write in blocks of this size: 512 KiB requests instead of 128 KiB ones. A
    // larger block (up to the kernel's 1 MiB request) measured slower: cp's buffer and the
    // daemon's no longer stay in the processor's cache.
    st.st_blksize = 512 << 10;
    st.st_blocks = (st.st_size + 511) / 512;
    st.st_atim = file.atime;
    st.st_mtim = file.mtime;
    st.st_ctim = file.mtime;
    return st;
}

fuse_entry_param HostState::entryParam(const StagedFile& file) const
{
    fuse_entry_param ep{};
    ep.ino = file.ino;
    ep.generation = 1;
    ep.attr = statOf(file);
    // Its attributes change only through the kernel (writes, truncation, times set), which
    // keeps them up to date itself: kept for a moment, cp's checks of the file it just
    // created cost no request. The name itself is never kept.
    ep.attr_timeout = kStagedAttributeSeconds;
    return ep;
}

fuse_entry_param HostState::entryParam(const ReplicaEntry& entry) const
{
    fuse_entry_param ep{};
    ep.ino = entry.ino;
    ep.generation = 1;
    ep.attr = statOf(entry);
    ep.attr_timeout = kernelCacheSeconds;
    ep.entry_timeout = kernelCacheSeconds;
    return ep;
}

void HostState::post(const ReplicaDelta& delta)
{
    if (!notifier)
        return;
    if (delta.arrivals.isEmpty()) {
        notifier->post(delta);
        return;
    }
    // A name the kernel may hold as missing is dropped like one that changed meaning.
    ReplicaDelta sent = delta;
    sent.entries.append(negatives.takeArrived(delta.arrivals));
    sent.arrivals.clear();
    notifier->post(sent);
}

void HostState::whenCurrent(const FileProviderItemIdentifier& container,
                            std::function<void(Result<void>)> ready)
{
    if (replica.isFixedListing(container)) {
        ready(Result<void>::success());
        return;
    }
    // Answered once: by the refresh, or by the wait's end, whichever comes first.
    struct Once {
        std::atomic<bool> done{false};
        std::function<void(Result<void>)> ready;
        void operator()(const Result<void>& result)
        {
            if (!done.exchange(true))
                ready(result);
        }
    };
    auto once = std::make_shared<Once>();
    once->ready = std::move(ready);
    const bool listed = scheduler.isListed(container);
    scheduler.use(container, [once](Result<void> result) { (*once)(result); });
    if (once->done)
        return;
    // A program never waits long on the server: a folder it was shown before is answered as
    // it was, one never listed fails with ETIMEDOUT; the refresh goes on, and what it brings
    // shows at the next look.
    deadlines.schedule(listed ? listedWait : unlistedWait, [once, listed, container] {
        if (once->done)
            return;
        qCInfo(lcFuseHost).noquote() << "listing of" << container
                                     << "is slow:" << (listed ? "answered as it was" : "given up");
        (*once)(
            listed ? Result<void>::success()
                   : Result<void>(fileError(ETIMEDOUT, QStringLiteral("listing of ") + container)));
    });
}

std::optional<ThumbnailSeeder::Candidate>
HostState::thumbnailCandidate(const ReplicaEntry& entry) const
{
    const ContentType& type = entry.item.contentType;
    if (entry.isFolder ||
        !(type.conformsTo(ContentKind::image) || type.conformsTo(ContentKind::movie)))
        return std::nullopt;
    const std::optional<QByteArray> path = replica.path(entry.ino);
    if (!path)
        return std::nullopt;
    const FileProviderItemVersion& version = entry.item.itemVersion;
    return ThumbnailSeeder::Candidate{
        entry.item.itemIdentifier,
        FreedesktopThumbnail::fileUri(QFile::encodeName(mountPoint) + '/' + *path),
        qint64(statOf(entry).st_mtim.tv_sec),
        version.contentVersion() + '/' + version.metadataVersion()};
}

} // namespace pixavella
